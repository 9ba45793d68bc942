#include "entry/Configuration.h"

#include "platform/Json.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

using ovl::test::TempDir;
using ovl::test::WriteBytes;

constexpr char const* ValidDocument =
    R"({"RuntimeVersion3": "8.0.11", "InstallRuntime": false, "InstallApp": true, "AppMilestone": "Beta", "Test": true})";

// What a read gave: a configuration, a runtime error's message, or a WinRT
// error's code and message.
struct Result {
    std::optional<Configuration> Value;
    std::string RuntimeError;
    std::optional<winrt::hresult> Hresult;
    std::wstring HresultMessage;
};

template <typename F>
Result Capture(F f)
{
    Result r;
    try {
        r.Value = f();
    } catch (std::runtime_error const& e) {
        r.RuntimeError = e.what();
    } catch (winrt::hresult_error const& e) {
        r.Hresult = e.code();
        r.HresultMessage = e.message();
    }
    return r;
}

Result Parse(std::wstring const& text) { return Capture([&] { return ParseConfiguration(text); }); }

TEST(Configuration, ReadsAllFiveKeys)
{
    TempDir dir;
    auto const path = dir.File(ConfigurationFileName);
    WriteBytes(path, ValidDocument);
    Configuration const c = ReadConfiguration(path);
    EXPECT_EQ(c.RuntimeVersion3, (Version3{8, 0, 11}));
    EXPECT_FALSE(c.InstallRuntime);
    EXPECT_TRUE(c.InstallApp);
    EXPECT_EQ(c.AppMilestone, AppMilestone::Beta);
    EXPECT_TRUE(c.Test);
}

TEST(Configuration, ByteOrderMarkReadsTheSame)
{
    TempDir dir;
    WriteBytes(dir.File(L"plain.json"), ValidDocument);
    WriteBytes(dir.File(L"bom.json"), std::string("\xEF\xBB\xBF") + ValidDocument);
    Configuration const plain = ReadConfiguration(dir.File(L"plain.json"));
    Configuration const bom = ReadConfiguration(dir.File(L"bom.json"));
    EXPECT_EQ(plain.RuntimeVersion3, bom.RuntimeVersion3);
    EXPECT_EQ(plain.InstallApp, bom.InstallApp);
    EXPECT_EQ(plain.AppMilestone, bom.AppMilestone);
    EXPECT_EQ(plain.Test, bom.Test);
}

TEST(Configuration, FileFailures)
{
    TempDir dir;
    struct Row {
        char const* Description;
        std::optional<std::string> Content; // nullopt: no file
        char const* Message;
    } const rows[] = {
        {"missing file", std::nullopt, "Could not open configuration file"},
        {"empty file", std::string(), "Failed to convert configuration file to UTF-16"},
        {"only the byte order mark", std::string("\xEF\xBB\xBF"), "Failed to convert configuration file to UTF-16"},
    };
    for (auto const& row : rows) {
        auto const path = dir.File(L"c.json");
        DeleteFileW(path.c_str());
        if (row.Content)
            WriteBytes(path, *row.Content);
        auto const r = Capture([&] { return ReadConfiguration(path); });
        EXPECT_EQ(r.RuntimeError, row.Message) << row.Description;
    }
    // A folder is not a file.
    auto const r = Capture([&] { return ReadConfiguration(dir.Path().wstring()); });
    EXPECT_EQ(r.RuntimeError, "Could not open configuration file");
}

TEST(Configuration, TwoBytesOfAByteOrderMarkAreNotDropped)
{
    TempDir dir;
    WriteBytes(dir.File(L"c.json"), std::string("\xEF\xBB") + ValidDocument);
    auto const r = Capture([&] { return ReadConfiguration(dir.File(L"c.json")); });
    ASSERT_TRUE(r.Hresult.has_value());
    EXPECT_EQ(*r.Hresult, winrt::WebInvalidJsonString);
}

TEST(Configuration, SharingWithOtherHandles)
{
    TempDir dir;
    auto const path = dir.File(L"c.json");
    WriteBytes(path, ValidDocument);

    // Another handle open for writing, sharing reads and writes: still readable.
    HANDLE writer = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Capture([&] { return ReadConfiguration(path); }).Value.has_value());
    CloseHandle(writer);

    // A handle that denies reading: cannot be opened.
    HANDLE locker = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(locker, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Capture([&] { return ReadConfiguration(path); }).RuntimeError, "Could not open configuration file");
    CloseHandle(locker);
}

TEST(Configuration, InvalidUtf8BecomesReplacementCharacters)
{
    TempDir dir;
    auto const path = dir.File(L"c.json");
    WriteBytes(path, R"({"RuntimeVersion3": "1.2.3", "InstallRuntime": true, "InstallApp": true, "Test": false, )"
                     "\"AppMilestone\": \"Sta\xFF" "ble\", \"note\": \"\xC0\"}");
    // The bad byte survives as U+FFFD, so the milestone does not match.
    EXPECT_EQ(Capture([&] { return ReadConfiguration(path); }).RuntimeError,
              "Unknown AppMilestone value in configuration");
}

struct ParseCase {
    char const* Description;
    std::wstring Document;
    char const* RuntimeError;          // expected runtime error, or nullptr
    winrt::hresult Hresult;            // expected WinRT error code when RuntimeError is nullptr and nonzero
    wchar_t const* HresultMessagePart; // names the failing key
};

class ParseConfigurationFailureTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseConfigurationFailureTest, FirstFailingKeyInReadOrderWins)
{
    auto const& c = GetParam();
    auto const r = Parse(c.Document);
    EXPECT_FALSE(r.Value.has_value()) << c.Description;
    if (c.RuntimeError) {
        EXPECT_EQ(r.RuntimeError, c.RuntimeError) << c.Description;
    } else {
        ASSERT_TRUE(r.Hresult.has_value()) << c.Description << ": " << r.RuntimeError;
        EXPECT_EQ(*r.Hresult, c.Hresult) << c.Description;
        EXPECT_NE(r.HresultMessage.find(c.HresultMessagePart), std::wstring::npos)
            << c.Description << ": " << r.HresultMessage.c_str();
    }
}

std::wstring Doc(wchar_t const* runtime, wchar_t const* installRuntime, wchar_t const* installApp,
                 wchar_t const* milestone, wchar_t const* test)
{
    std::wstring d = L"{";
    auto add = [&](wchar_t const* key, wchar_t const* value) {
        if (!value)
            return;
        if (d.size() > 1)
            d += L", ";
        d += L"\"" + std::wstring(key) + L"\": " + value;
    };
    add(L"RuntimeVersion3", runtime);
    add(L"InstallRuntime", installRuntime);
    add(L"InstallApp", installApp);
    add(L"AppMilestone", milestone);
    add(L"Test", test);
    return d + L"}";
}

INSTANTIATE_TEST_SUITE_P(Table, ParseConfigurationFailureTest, ::testing::Values(
    ParseCase{"not JSON", L"RuntimeVersion3=1.2.3", nullptr, winrt::WebInvalidJsonString, L"Invalid JSON"},
    ParseCase{"not an object", L"[]", nullptr, winrt::WebInvalidJsonString, L"not an object"},
    ParseCase{"runtime version missing", Doc(nullptr, L"true", L"true", L"\"All\"", L"false"), nullptr,
              winrt::WebJsonValueNotFound, L"\"RuntimeVersion3\""},
    ParseCase{"runtime version a number", Doc(L"8", L"true", L"true", L"\"All\"", L"false"), nullptr,
              winrt::IllegalMethodCall, L"\"RuntimeVersion3\""},
    ParseCase{"runtime version with two parts", Doc(L"\"1.2\"", L"true", L"true", L"\"All\"", L"false"),
              "Version3 must have exactly 3 parts", 0, nullptr},
    ParseCase{"runtime version with four parts", Doc(L"\"1.2.3.4\"", L"true", L"true", L"\"All\"", L"false"),
              "Version3 must have exactly 3 parts", 0, nullptr},
    ParseCase{"runtime version invalid field", Doc(L"\"1.x.3\"", L"true", L"true", L"\"All\"", L"false"),
              "Invalid version string", 0, nullptr},
    ParseCase{"install runtime missing though unused", Doc(L"\"1.2.3\"", nullptr, L"true", L"\"All\"", L"false"),
              nullptr, winrt::WebJsonValueNotFound, L"\"InstallRuntime\""},
    ParseCase{"install app as a string", Doc(L"\"1.2.3\"", L"true", L"\"true\"", L"\"All\"", L"false"), nullptr,
              winrt::IllegalMethodCall, L"\"InstallApp\""},
    ParseCase{"test missing", Doc(L"\"1.2.3\"", L"true", L"true", L"\"All\"", nullptr), nullptr,
              winrt::WebJsonValueNotFound, L"\"Test\""},
    ParseCase{"milestone missing", Doc(L"\"1.2.3\"", L"true", L"true", nullptr, L"false"), nullptr,
              winrt::WebJsonValueNotFound, L"\"AppMilestone\""},
    ParseCase{"milestone unknown", Doc(L"\"1.2.3\"", L"true", L"true", L"\"Gamma\"", L"false"),
              "Unknown AppMilestone value in configuration", 0, nullptr},
    ParseCase{"milestone with a trailing blank", Doc(L"\"1.2.3\"", L"true", L"true", L"\"Stable \"", L"false"),
              "Unknown AppMilestone value in configuration", 0, nullptr},
    ParseCase{"milestone as a number", Doc(L"\"1.2.3\"", L"true", L"true", L"1000", L"false"), nullptr,
              winrt::IllegalMethodCall, L"\"AppMilestone\""},
    ParseCase{"key names are case-sensitive", L"{\"runtimeversion3\": \"1.2.3\"}", nullptr, winrt::WebJsonValueNotFound,
              L"\"RuntimeVersion3\""},
    // Several wrong: the first in read order (RuntimeVersion3, InstallRuntime,
    // InstallApp, Test, AppMilestone) is reported.
    ParseCase{"bad milestone and missing test: test first", Doc(L"\"1.2.3\"", L"true", L"true", L"\"x\"", nullptr),
              nullptr, winrt::WebJsonValueNotFound, L"\"Test\""},
    ParseCase{"bad version and everything else missing", Doc(L"\"1.2\"", nullptr, nullptr, nullptr, nullptr),
              "Version3 must have exactly 3 parts", 0, nullptr},
    ParseCase{"wrong install app and missing install runtime", Doc(L"\"1.2.3\"", nullptr, L"1", L"\"x\"", L"false"),
              nullptr, winrt::WebJsonValueNotFound, L"\"InstallRuntime\""}));

TEST(Configuration, MilestoneSpellings)
{
    struct Row {
        wchar_t const* Text;
        AppMilestone Expected;
    } const rows[] = {
        {L"\"stable\"", AppMilestone::Stable}, {L"\"STABLE\"", AppMilestone::Stable},
        {L"\"Stable\"", AppMilestone::Stable}, {L"\"all\"", AppMilestone::All},
        {L"\"NIGHTLY\"", AppMilestone::Nightly}, {L"\"aLpHa\"", AppMilestone::Alpha},
        {L"\"beta\"", AppMilestone::Beta},
    };
    for (auto const& row : rows) {
        auto const r = Parse(Doc(L"\"1.2.3\"", L"true", L"true", row.Text, L"false"));
        ASSERT_TRUE(r.Value.has_value()) << r.RuntimeError;
        EXPECT_EQ(r.Value->AppMilestone, row.Expected);
    }
}

TEST(Configuration, ExtraKeysAreIgnored)
{
    auto const r = Parse(LR"({"Comment": "x", "RuntimeVersion3": "1.2.3", "InstallRuntime": true, "InstallApp": false,
                             "AppMilestone": "Nightly", "Test": false, "Nested": {"InstallApp": true}})");
    ASSERT_TRUE(r.Value.has_value());
    EXPECT_FALSE(r.Value->InstallApp);
    EXPECT_TRUE(r.Value->InstallRuntime);
    EXPECT_EQ(r.Value->AppMilestone, AppMilestone::Nightly);
}

} // namespace
} // namespace ovl::setup

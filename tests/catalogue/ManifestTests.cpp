#include "catalogue/Manifest.h"

#include "platform/Json.h"
#include "platform/Text.h"

#include <gtest/gtest.h>

#include <optional>
#include <set>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

constexpr wchar_t RealisticManifest[] = LR"({
  "product-name": "Orvelle",
  "website-url": "https://www.orvelle.example/",
  "download-page-url": "https://www.orvelle.example/download",
  "notes": "keys that are not listed are ignored",
  "releases": [
    {
      "display-name": "Orvelle 5.0.2",
      "version": "5.0.2",
      "milestone": "stable",
      "more-info-url": "https://www.orvelle.example/releases/5.0.2",
      "runtime-version": "8.0.4",
      "notes": "first stable",
      "files": [
        {"architecture": "x64", "mirror-urls": ["https://m1.example/5.0.2-x64.zip", "https://m2.example/5.0.2-x64.zip"]},
        {"architecture": "ARM64", "mirror-urls": ["https://m1.example/5.0.2-arm64.zip"]}
      ]
    },
    {
      "display-name": "Orvelle 5.1 Beta",
      "version": "5.1",
      "milestone": "Beta",
      "more-info-url": "https://www.orvelle.example/releases/5.1",
      "runtime-version": "n/a",
      "files": [
        {"architecture": "anycpu", "mirror-urls": []},
        {"architecture": "X64", "mirror-urls": ["https://m3.example/5.1-x64.zip"]}
      ]
    },
    {
      "display-name": "Orvelle Nightly",
      "version": "5.2.0.1234",
      "milestone": "NIGHTLY",
      "more-info-url": "",
      "runtime-version": "9.0.x.1",
      "files": []
    }
  ]
})";

TEST(Manifest, ParsesARealisticManifestInDocumentOrder)
{
    ReleaseManifest const m = ParseManifest(RealisticManifest);
    EXPECT_EQ(m.ProductName, L"Orvelle");
    EXPECT_EQ(m.WebsiteUrl, L"https://www.orvelle.example/");
    EXPECT_EQ(m.DownloadPageUrl, L"https://www.orvelle.example/download");
    ASSERT_EQ(m.Releases.size(), 3u);

    Release const& stable = m.Releases[0];
    EXPECT_EQ(stable.DisplayName, L"Orvelle 5.0.2");
    EXPECT_EQ(stable.Version, (Version{5, 0, 2, 0}));
    EXPECT_EQ(stable.Milestone, AppMilestone::Stable);
    EXPECT_EQ(stable.MoreInfoUrl, L"https://www.orvelle.example/releases/5.0.2");
    EXPECT_EQ(stable.RuntimeVersion, (Version3{8, 0, 4}));
    ASSERT_EQ(stable.Files.size(), 2u);
    EXPECT_EQ(stable.Files[0].Architecture, ReleaseArchitecture::X64);
    EXPECT_EQ(stable.Files[0].MirrorUrls,
              (std::vector<std::wstring>{L"https://m1.example/5.0.2-x64.zip", L"https://m2.example/5.0.2-x64.zip"}));
    EXPECT_EQ(stable.Files[1].Architecture, ReleaseArchitecture::Arm64);

    Release const& beta = m.Releases[1];
    EXPECT_EQ(beta.Version, (Version{5, 1, 0, 0}));
    EXPECT_EQ(beta.Milestone, AppMilestone::Beta);
    EXPECT_EQ(beta.RuntimeVersion, (Version3{0, 0, 0}));
    ASSERT_EQ(beta.Files.size(), 2u);
    EXPECT_EQ(beta.Files[0].Architecture, ReleaseArchitecture::AnyCpu);
    EXPECT_TRUE(beta.Files[0].MirrorUrls.empty());

    Release const& nightly = m.Releases[2];
    EXPECT_EQ(nightly.Version, (Version{5, 2, 0, 1234}));
    EXPECT_EQ(nightly.Milestone, AppMilestone::Nightly);
    EXPECT_EQ(nightly.RuntimeVersion, (Version3{9, 0, 1}));
    EXPECT_TRUE(nightly.Files.empty());
}

TEST(Manifest, EmptyArraysParse)
{
    auto const m = ParseManifest(LR"({"product-name": "", "website-url": "", "download-page-url": "", "releases": []})");
    EXPECT_TRUE(m.Releases.empty());
}

TEST(Manifest, MilestoneAndArchitectureTexts)
{
    struct MilestoneRow {
        wchar_t const* Text;
        AppMilestone Value;
    } const milestones[] = {
        {L"all", AppMilestone::All},       {L"Nightly", AppMilestone::Nightly}, {L"ALPHA", AppMilestone::Alpha},
        {L"beta", AppMilestone::Beta},     {L"Stable", AppMilestone::Stable},   {L"STABLE", AppMilestone::Stable},
        {L"stable", AppMilestone::Stable},
    };
    for (auto const& row : milestones)
        EXPECT_EQ(ParseMilestone(row.Text), row.Value);
    for (auto const text : {L"", L"stable ", L"release", L"st\u0430ble"}) {
        try {
            ParseMilestone(text);
            ADD_FAILURE() << "accepted";
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "Unknown milestone in manifest");
        }
    }

    struct ArchitectureRow {
        wchar_t const* Text;
        ReleaseArchitecture Value;
    } const architectures[] = {
        {L"anycpu", ReleaseArchitecture::AnyCpu}, {L"AnyCPU", ReleaseArchitecture::AnyCpu},
        {L"x64", ReleaseArchitecture::X64},       {L"X64", ReleaseArchitecture::X64},
        {L"x86", ReleaseArchitecture::X86},       {L"Arm64", ReleaseArchitecture::Arm64},
    };
    for (auto const& row : architectures)
        EXPECT_EQ(ParseReleaseArchitecture(row.Text), row.Value);
    for (auto const text : {L"arm", L"amd64", L"", L"x64 "}) {
        try {
            ParseReleaseArchitecture(text);
            ADD_FAILURE() << "accepted";
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "Unknown architecture in manifest");
        }
    }
}

// What ParseManifest gave: the manifest, a runtime error's message, or a WinRT
// error's code and message.
struct Outcome {
    std::optional<ReleaseManifest> Value;
    std::string RuntimeError;
    winrt::hresult Hresult = 0;
    std::wstring HresultMessage;
};

Outcome Parse(std::wstring_view text)
{
    Outcome o;
    try {
        o.Value = ParseManifest(text);
    } catch (std::runtime_error const& e) {
        o.RuntimeError = e.what();
    } catch (winrt::hresult_error const& e) {
        o.Hresult = e.code();
        o.HresultMessage = e.message();
    }
    return o;
}

// A manifest with one release and one file, with the given replacements of
// its values (each a JSON text) and keys left out where the value is null.
std::wstring OneRelease(std::wstring release, std::wstring file = LR"({"architecture": "x64", "mirror-urls": ["u"]})")
{
    return LR"({"product-name": "P", "website-url": "W", "download-page-url": "D", "releases": [)" +
           (release.empty() ? LR"({"display-name": "N", "version": "1.0", "milestone": "stable", "more-info-url": "M",
                                  "runtime-version": "1.2.3", "files": [)" + file + L"]}"
                            : release) +
           L"]}";
}

struct FailureCase {
    char const* Description;
    std::wstring Document;
    char const* RuntimeError;
    winrt::hresult Hresult;
    wchar_t const* MessagePart;
};

class ManifestFailureTest : public ::testing::TestWithParam<FailureCase> {};

TEST_P(ManifestFailureTest, ReportsTheFirstBadValueInDocumentOrder)
{
    auto const& c = GetParam();
    auto const o = Parse(c.Document);
    EXPECT_FALSE(o.Value.has_value()) << c.Description;
    if (c.RuntimeError) {
        EXPECT_EQ(o.RuntimeError, c.RuntimeError) << c.Description;
    } else {
        EXPECT_EQ(o.Hresult, c.Hresult) << c.Description << ": " << o.RuntimeError;
        EXPECT_NE(o.HresultMessage.find(c.MessagePart), std::wstring::npos)
            << c.Description << ": " << o.HresultMessage.c_str();
    }
}

std::wstring Release(wchar_t const* version, wchar_t const* milestone, wchar_t const* files = L"[]",
                     wchar_t const* runtime = L"\"1.2.3\"")
{
    return std::wstring(LR"({"display-name": "N", "version": )") + version + L", \"milestone\": " + milestone +
           LR"(, "more-info-url": "M", "runtime-version": )" + runtime + L", \"files\": " + files + L"}";
}

INSTANTIATE_TEST_SUITE_P(Table, ManifestFailureTest, ::testing::Values(
    FailureCase{"not JSON", L"<html>", nullptr, winrt::WebInvalidJsonString, L"Invalid JSON"},
    FailureCase{"empty document", L"", nullptr, winrt::WebInvalidJsonString, L"Invalid JSON"},
    FailureCase{"top level an array", L"[{}]", nullptr, winrt::WebInvalidJsonString, L"not an object"},
    FailureCase{"product name missing", LR"({"website-url": "W"})", nullptr, winrt::WebJsonValueNotFound,
                L"\"product-name\""},
    FailureCase{"download page missing though unused",
                LR"({"product-name": "P", "website-url": "W", "releases": []})", nullptr, winrt::WebJsonValueNotFound,
                L"\"download-page-url\""},
    FailureCase{"releases an object",
                LR"({"product-name": "P", "website-url": "W", "download-page-url": "D", "releases": {}})", nullptr,
                winrt::IllegalMethodCall, L"\"releases\""},
    FailureCase{"release not an object", OneRelease(L"\"r\""), nullptr, winrt::IllegalMethodCall, L"index 0"},
    FailureCase{"version a number", OneRelease(Release(L"5.1", L"\"stable\"")), nullptr, winrt::IllegalMethodCall,
                L"\"version\""},
    FailureCase{"version one part", OneRelease(Release(L"\"5\"", L"\"stable\"")),
                "Version must have at least 2 parts", 0, nullptr},
    FailureCase{"version malformed before milestone unknown", OneRelease(Release(L"\"5.x\"", L"\"gamma\"")),
                "Invalid version field", 0, nullptr},
    FailureCase{"milestone unknown", OneRelease(Release(L"\"5.1\"", L"\"gamma\"")), "Unknown milestone in manifest",
                0, nullptr},
    FailureCase{"runtime version a number", OneRelease(Release(L"\"5.1\"", L"\"beta\"", L"[]", L"8")), nullptr,
                winrt::IllegalMethodCall, L"\"runtime-version\""},
    FailureCase{"files an object", OneRelease(Release(L"\"5.1\"", L"\"beta\"", L"{}")), nullptr,
                winrt::IllegalMethodCall, L"\"files\""},
    FailureCase{"file not an object", OneRelease(Release(L"\"5.1\"", L"\"beta\"", L"[[]]")), nullptr,
                winrt::IllegalMethodCall, L"index 0"},
    FailureCase{"architecture arm", OneRelease(L"", LR"({"architecture": "arm", "mirror-urls": []})"),
                "Unknown architecture in manifest", 0, nullptr},
    FailureCase{"architecture unknown before bad mirror list",
                OneRelease(L"", LR"({"architecture": "sparc", "mirror-urls": 5})"), "Unknown architecture in manifest",
                0, nullptr},
    FailureCase{"mirror url not a string", OneRelease(L"", LR"({"architecture": "x64", "mirror-urls": ["a", 2]})"),
                nullptr, winrt::IllegalMethodCall, L"index 1"},
    FailureCase{"mirror urls missing", OneRelease(L"", LR"({"architecture": "x64"})"), nullptr,
                winrt::WebJsonValueNotFound, L"\"mirror-urls\""},
    FailureCase{"second release bad after a good one",
                LR"({"product-name": "P", "website-url": "W", "download-page-url": "D", "releases": [)" +
                    Release(L"\"1.0\"", L"\"stable\"") + L", " + Release(L"\"2.0\"", L"\"weekly\"") + L"]}",
                "Unknown milestone in manifest", 0, nullptr}));

TEST(Manifest, ExtraKeysAreIgnored)
{
    auto const o = Parse(OneRelease(L"", LR"({"architecture": "x64", "mirror-urls": ["u"], "md5": "abc"})"));
    ASSERT_TRUE(o.Value.has_value()) << o.RuntimeError;
    EXPECT_EQ(o.Value->Releases[0].Files[0].MirrorUrls, std::vector<std::wstring>{L"u"});
}

// Hostile documents: each fails with an error or parses soundly; none crashes.
TEST(ManifestHostile, OneMebibyteOfNestedArraysFails)
{
    std::wstring const nested = std::wstring(512 * 1024, L'[') + std::wstring(512 * 1024, L']');
    auto const o = Parse(nested);
    EXPECT_EQ(o.Hresult, winrt::WebInvalidJsonString);
    EXPECT_NE(o.HresultMessage.find(L"nested deeper"), std::wstring::npos);
}

TEST(ManifestHostile, OneMebibyteOfNestedObjectsFails)
{
    std::wstring document;
    for (int i = 0; i < 180000; ++i)
        document += L"{\"a\":";
    document += L"1";
    document.append(180000, L'}');
    ASSERT_GE(document.size(), 1000000u);
    auto const o = Parse(document);
    EXPECT_EQ(o.Hresult, winrt::WebInvalidJsonString);
}

TEST(ManifestHostile, HugeNumbersWhereStringsBelong)
{
    auto const o = Parse(OneRelease(Release(L"1e308", L"\"stable\"")));
    EXPECT_EQ(o.Hresult, winrt::IllegalMethodCall);
    EXPECT_NE(o.HresultMessage.find(L"\"version\""), std::wstring::npos);
    // Within the range of a double: a number, so the lookup fails on its type.
    auto const big = Parse(LR"({"product-name": )" + std::wstring(300, L'9') + L"}");
    EXPECT_EQ(big.Hresult, winrt::IllegalMethodCall);
    EXPECT_NE(big.HresultMessage.find(L"\"product-name\" is a number"), std::wstring::npos);
    // Beyond it: still a number of the wrong type, with no digits echoed.
    auto const huge = Parse(LR"({"product-name": )" + std::wstring(5000, L'9') + L"}");
    EXPECT_EQ(huge.Hresult, winrt::IllegalMethodCall);
    EXPECT_NE(huge.HresultMessage.find(L"\"product-name\" is a number"), std::wstring::npos);
    EXPECT_LT(huge.HresultMessage.size(), 100u);
}

TEST(ManifestHostile, HugeNumbersInKeysNobodyReads)
{
    // Extra keys and their values are ignored, however large the number.
    auto const o = Parse(LR"({"product-name": "P", "website-url": "W", "download-page-url": "D", "size": )" +
                         std::wstring(5000, L'9') + LR"(, "limit": 1e99999, "releases": []})");
    ASSERT_TRUE(o.Value.has_value()) << o.RuntimeError << " " << std::string(o.HresultMessage.begin(), o.HresultMessage.end());
    EXPECT_EQ(o.Value->ProductName, L"P");
}

TEST(ManifestHostile, InvalidUtf8InStringsBecomesReplacementCharacters)
{
    // The manifest arrives as bytes and is decoded before parsing.
    std::string const bytes = "{\"product-name\": \"Orv\xC3\x28lle\xFF\", \"website-url\": \"\xE2\x82\", "
                              "\"download-page-url\": \"D\", \"releases\": []}";
    auto const o = Parse(Utf8ToUtf16(bytes));
    ASSERT_TRUE(o.Value.has_value()) << o.RuntimeError;
    EXPECT_EQ(o.Value->ProductName, L"Orv\uFFFD(lle\uFFFD");
    EXPECT_EQ(o.Value->WebsiteUrl.find(L'\uFFFD'), 0u);
}

TEST(ManifestHostile, ByteOrderMarkAtTheStartIsAccepted)
{
    std::string const bytes =
        "\xEF\xBB\xBF{\"product-name\": \"P\", \"website-url\": \"W\", \"download-page-url\": \"D\", \"releases\": []}";
    std::wstring const text = Utf8ToUtf16(bytes);
    ASSERT_EQ(text[0], L'\uFEFF');
    auto const o = Parse(text);
    ASSERT_TRUE(o.Value.has_value());
    EXPECT_EQ(o.Value->ProductName, L"P");
}

TEST(ManifestHostile, NulCharacters)
{
    // Escaped inside a string: kept.
    auto const escaped =
        Parse(LR"({"product-name": "a\u0000b", "website-url": "W", "download-page-url": "D", "releases": []})");
    ASSERT_TRUE(escaped.Value.has_value());
    EXPECT_EQ(escaped.Value->ProductName, std::wstring(L"a\0b", 3));
    // Raw inside a string or between tokens: a syntax error.
    std::wstring raw = LR"({"product-name": "aXb", "website-url": "W", "download-page-url": "D", "releases": []})";
    raw[19] = L'\0';
    EXPECT_EQ(Parse(raw).Hresult, winrt::WebInvalidJsonString);
    std::wstring between = LR"({"product-name": "P",X"website-url": "W"})";
    between[21] = L'\0';
    EXPECT_EQ(Parse(between).Hresult, winrt::WebInvalidJsonString);
}

TEST(ManifestUrl, NormalAndTestForms)
{
    std::wstring const origin = GetWebsiteOrigin();
    EXPECT_EQ(FormatManifestUrl(10, 0, L"x64"), origin + L"/updates/v9/manifest.os1000.x64.json");
    EXPECT_EQ(FormatManifestUrl(10, 0, L"arm64"), origin + L"/updates/v9/manifest.os1000.arm64.json");
    EXPECT_EQ(FormatManifestUrl(6, 3, L"x86"), origin + L"/updates/v9/manifest.os603.x86.json");
    EXPECT_EQ(FormatManifestUrl(10, 0, L"unknown"), origin + L"/updates/v9/manifest.os1000.unknown.json");
    // The name is a view: only its own characters are used.
    std::wstring_view const name = std::wstring_view(L"arm64-and-more").substr(0, 3);
    EXPECT_EQ(FormatManifestUrl(10, 0, name), origin + L"/updates/v9/manifest.os1000.arm.json");
    EXPECT_EQ(FormatTestManifestUrl(), origin + L"/updates/v9/manifest.test.json");
    EXPECT_EQ(ManifestFormatVersion, 9);
}

TEST(ManifestUrl, OriginIsTheLoopbackTestOrigin)
{
    std::wstring const origin = GetWebsiteOrigin();
    EXPECT_TRUE(origin.starts_with(L"http://127.")) << origin.c_str();
    EXPECT_NE(origin.back(), L'/');
}

} // namespace
} // namespace ovl::setup

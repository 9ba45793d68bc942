#include "platform/Json.h"

#include <gtest/gtest.h>

#include <string>

namespace winrt::Windows::Data::Json {
namespace {

// Runs f, which must raise hresult_error; gives the error.
template <typename F>
hresult_error Raised(F f)
{
    try {
        f();
    } catch (hresult_error const& e) {
        return e;
    }
    ADD_FAILURE() << "no hresult_error raised";
    return hresult_error(0, L"");
}

TEST(Json, HresultErrorIsNotAStandardException)
{
    static_assert(!std::is_base_of_v<std::exception, hresult_error>);
    hresult_error const e(WebJsonValueNotFound, L"text");
    EXPECT_EQ(e.code(), static_cast<hresult>(0x83750009));
    EXPECT_EQ(e.message(), L"text");
}

TEST(Json, ReadsNamedValuesOfEachType)
{
    auto const json = JsonObject::Parse(
        LR"({"s": "caf\u00e9 \ud83d\ude00", "t": true, "f": false, "a": [{"x": "1"}, "two"], "e": []})");
    EXPECT_EQ(json.GetNamedString(L"s"), L"caf\u00E9 \U0001F600");
    EXPECT_TRUE(json.GetNamedBoolean(L"t"));
    EXPECT_FALSE(json.GetNamedBoolean(L"f"));
    auto const array = json.GetNamedArray(L"a");
    ASSERT_EQ(array.Size(), 2u);
    EXPECT_EQ(array.GetObjectAt(0).GetNamedString(L"x"), L"1");
    EXPECT_EQ(array.GetStringAt(1), L"two");
    EXPECT_EQ(json.GetNamedArray(L"e").Size(), 0u);
}

TEST(Json, ObjectsOutliveTheirParent)
{
    JsonObject inner = [] {
        auto const json = JsonObject::Parse(LR"({"a": [{"k": "v"}]})");
        return json.GetNamedArray(L"a").GetObjectAt(0);
    }();
    EXPECT_EQ(inner.GetNamedString(L"k"), L"v");
}

struct ErrorCase {
    char const* Description;
    std::wstring Document;
    hresult Code;
    std::wstring MessagePart; // must appear in the message
};

class JsonParseErrorTest : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(JsonParseErrorTest, RejectsWithCodeAndMessage)
{
    auto const& c = GetParam();
    auto const e = Raised([&] { JsonObject::Parse(c.Document); });
    EXPECT_EQ(e.code(), c.Code) << c.Description;
    EXPECT_NE(e.message().find(c.MessagePart), std::wstring::npos) << c.Description << ": " << e.message().c_str();
}

INSTANTIATE_TEST_SUITE_P(Table, JsonParseErrorTest, ::testing::Values(
    ErrorCase{"empty document", L"", WebInvalidJsonString, L"Invalid JSON string"},
    ErrorCase{"blank document", L"  \r\n", WebInvalidJsonString, L"Invalid JSON string"},
    ErrorCase{"syntax error names its position", L"{\"a\": }", WebInvalidJsonString, L"column 7"},
    ErrorCase{"syntax error on a later line", L"{\n\"a\": 1,\n\"b\" 2}", WebInvalidJsonString, L"line 3"},
    ErrorCase{"array at top level", L"[1, 2]", WebInvalidJsonString, L"an array, not an object"},
    ErrorCase{"string at top level", L"\"x\"", WebInvalidJsonString, L"a string, not an object"},
    ErrorCase{"trailing garbage", L"{} x", WebInvalidJsonString, L"Invalid JSON string"},
    ErrorCase{"unescaped control character", std::wstring(L"{\"a\": \"x\0y\"}", 12), WebInvalidJsonString,
              L"Invalid JSON string"},
    ErrorCase{"byte order mark not at the start", L" \uFEFF{}", WebInvalidJsonString, L"Invalid JSON string"},
    ErrorCase{"nesting beyond the limit", std::wstring(300, L'[') + std::wstring(300, L']'),
              WebInvalidJsonString, L"nested deeper"},
    ErrorCase{"nesting beyond the limit inside an object",
              L"{\"a\":" + std::wstring(300, L'[') + std::wstring(300, L']') + L"}", WebInvalidJsonString,
              L"nested deeper"}));

TEST(Json, LookupErrorsCarryTheirCodes)
{
    auto const json = JsonObject::Parse(LR"({"s": "x", "n": 12, "b": true, "a": ["x", 1, {}], "o": {}, "z": null})");

    auto missing = Raised([&] { json.GetNamedString(L"missing"); });
    EXPECT_EQ(missing.code(), WebJsonValueNotFound);
    EXPECT_NE(missing.message().find(L"\"missing\""), std::wstring::npos);

    EXPECT_EQ(Raised([&] { json.GetNamedString(L"S"); }).code(), WebJsonValueNotFound); // case matters
    EXPECT_EQ(Raised([&] { json.GetNamedBoolean(L"s"); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { json.GetNamedString(L"n"); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { json.GetNamedString(L"b"); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { json.GetNamedArray(L"o"); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { json.GetNamedString(L"z"); }).code(), IllegalMethodCall);
    auto wrong = Raised([&] { json.GetNamedString(L"n"); });
    EXPECT_NE(wrong.message().find(L"\"n\" is a number, not a string"), std::wstring::npos) << wrong.message().c_str();

    auto const array = json.GetNamedArray(L"a");
    EXPECT_EQ(Raised([&] { array.GetObjectAt(0); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { array.GetStringAt(1); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { array.GetStringAt(2); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { array.GetStringAt(3); }).code(), Bounds);
}

TEST(Json, LaterOfTwoEqualNamesWins)
{
    EXPECT_EQ(JsonObject::Parse(LR"({"k": "first", "k": "second"})").GetNamedString(L"k"), L"second");
}

TEST(Json, ByteOrderMarkAtTheStartIsSkipped)
{
    EXPECT_EQ(JsonObject::Parse(L"\uFEFF{\"k\": \"v\"}").GetNamedString(L"k"), L"v");
}

TEST(Json, StringsKeepNulAndReplacementCharacters)
{
    auto const json = JsonObject::Parse(L"{\"k\": \"a\\u0000b\", \"r\": \"x\uFFFDy\", \"\\u0000\": \"nul key\"}");
    EXPECT_EQ(json.GetNamedString(L"k"), std::wstring(L"a\0b", 3));
    EXPECT_EQ(json.GetNamedString(L"r"), L"x\uFFFDy");
    EXPECT_EQ(json.GetNamedString(std::wstring(1, L'\0')), L"nul key");
}

TEST(Json, HugeNumbersAreNumbersNotStrings)
{
    auto const json = JsonObject::Parse(L"{\"big\": 123456789012345678901234567890123456789, \"e\": 1e300}");
    EXPECT_EQ(Raised([&] { json.GetNamedString(L"big"); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { json.GetNamedString(L"e"); }).code(), IllegalMethodCall);
    // Beyond the range of a double: still a number, where a string is needed
    // a number of the wrong type, and elsewhere ignored like any other value.
    auto const beyond = JsonObject::Parse(L"{\"x\": 1e99999, \"y\": -" + std::wstring(5000, L'9') + L".5e10, \"s\": \"1e99999\"}");
    EXPECT_EQ(Raised([&] { beyond.GetNamedString(L"x"); }).code(), IllegalMethodCall);
    EXPECT_EQ(Raised([&] { beyond.GetNamedString(L"y"); }).code(), IllegalMethodCall);
    EXPECT_EQ(beyond.GetNamedString(L"s"), L"1e99999"); // inside a string, text stays text
    // A syntax error after one is reported where it is, as after any number.
    auto const after = Raised([&] { JsonObject::Parse(L"{\"x\": 1e99999, \"y\": 01}"); });
    auto const plain = Raised([&] { JsonObject::Parse(L"{\"x\": 1234567, \"y\": 01}"); });
    EXPECT_EQ(after.code(), WebInvalidJsonString);
    EXPECT_EQ(after.message(), plain.message());
}

TEST(Json, MessagesQuoteOnlyAShortExcerpt)
{
    std::wstring const junk = L"{\"k\": \"" + std::wstring(100000, L'y'); // a string that never ends
    auto const e = Raised([&] { JsonObject::Parse(junk); });
    EXPECT_EQ(e.code(), WebInvalidJsonString);
    EXPECT_LT(e.message().size(), 300u) << e.message().c_str();
    EXPECT_NE(e.message().find(L"..."), std::wstring::npos) << e.message().c_str();
}

TEST(Json, NestingUpToTheLimitParses)
{
    std::wstring const inner = std::wstring(MaxNestingDepth - 2, L'[') + std::wstring(MaxNestingDepth - 2, L']');
    auto const json = JsonObject::Parse(L"{\"a\": " + inner + L", \"k\": \"v\"}");
    EXPECT_EQ(json.GetNamedString(L"k"), L"v");
}

} // namespace
} // namespace winrt::Windows::Data::Json

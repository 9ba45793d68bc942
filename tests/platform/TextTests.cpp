#include "platform/Text.h"

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

TEST(Text, Utf8ToUtf16ReplacesMalformedSequences)
{
    EXPECT_EQ(Utf8ToUtf16("plain"), L"plain");
    EXPECT_EQ(Utf8ToUtf16("\xC3\xA9t\xC3\xA9"), L"\u00E9t\u00E9");
    EXPECT_EQ(Utf8ToUtf16("a\xFF" "b"), L"a\uFFFDb");
    EXPECT_EQ(Utf8ToUtf16("\xF0\x9F\x98\x80"), L"\U0001F600");
    EXPECT_EQ(Utf8ToUtf16(std::string_view("a\0b", 3)), std::wstring(L"a\0b", 3));
    EXPECT_EQ(Utf8ToUtf16(""), L"");
    EXPECT_FALSE(TryUtf8ToUtf16("").has_value());
    EXPECT_EQ(TryUtf8ToUtf16("\xEF\xBB\xBF{"), std::wstring(L"\uFEFF{"));
}

TEST(Text, DecodeUtf8TellsAnEmptyTextFromADecodedOne)
{
    EXPECT_EQ(DecodeUtf8("").Failed, Utf8Decoding::Failure::Measure);
    EXPECT_EQ(DecodeUtf8("").Text, L"");
    auto const decoded = DecodeUtf8("caf\xC3\xA9\xFF");
    EXPECT_EQ(decoded.Failed, Utf8Decoding::Failure::None);
    EXPECT_EQ(decoded.Text, L"caf\u00E9\uFFFD");
    EXPECT_EQ(DecodeExceptionMessage("Download failed: caf\xC3\xA9"), L"Download failed: caf\u00E9");
    EXPECT_EQ(DecodeExceptionMessage(""), L"");
    EXPECT_EQ(DecodeExceptionMessage(nullptr), L"");
}

TEST(Text, TrimBlanksAtBothEndsOnly)
{
    struct Row {
        wchar_t const* Text;
        wchar_t const* Expected;
    } const rows[] = {
        {L"", L""},           {L" \t\r\n", L""},       {L"bytes", L"bytes"},
        {L" bytes\t", L"bytes"}, {L"a b", L"a b"},    {L"\r\nText.\r\n", L"Text."},
        {L"\u00A0x", L"\u00A0x"}, // only the four blanks
    };
    for (auto const& row : rows)
        EXPECT_EQ(TrimBlanks(row.Text), row.Expected) << row.Text;
}

TEST(Text, Utf16ToUtf8RoundTrips)
{
    EXPECT_EQ(Utf16ToUtf8(L"\u00E9t\u00E9 \U0001F600"), "\xC3\xA9t\xC3\xA9 \xF0\x9F\x98\x80");
    EXPECT_EQ(Utf16ToUtf8(L"\xD800x"), "\xEF\xBF\xBDx"); // unpaired surrogate
}

TEST(Text, FormatMeasuresExactly)
{
    EXPECT_EQ(FormatW(L"%ls/v%d/%.*ls.json", L"https://h", 9, 3, L"x64abc"), L"https://h/v9/x64.json");
    EXPECT_EQ(FormatW(L"(0x%08X) %d", 0x800B0100u, -1), L"(0x800B0100) -1");
    EXPECT_EQ(FormatW(L"%ls", L""), L"");
    std::wstring const longText(5000, L'x');
    EXPECT_EQ(FormatW(L"[%ls]", longText.c_str()).size(), 5002u);
}

TEST(Text, EqualsIgnoreAsciiCase)
{
    EXPECT_TRUE(EqualsIgnoreAsciiCase(L"Stable", L"sTABLE"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"Stable ", L"stable"));
    EXPECT_FALSE(EqualsIgnoreAsciiCase(L"\u00C9", L"\u00E9")); // only A-Z fold
    EXPECT_TRUE(EqualsIgnoreAsciiCase(L"", L""));
}

} // namespace
} // namespace ovl::setup

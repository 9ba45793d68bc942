#pragma once
// Text conversions and comparisons shared by all subsystems. Inside the
// program text is UTF-16; documents, names and exception messages are UTF-8.

#include <optional>
#include <string>
#include <string_view>

namespace ovl::setup {

// The one UTF-8 decoder: MultiByteToWideChar(CP_UTF8, 0), so malformed
// sequences become U+FFFD. It tells its two steps' failures apart (measuring,
// which also fails for empty text, and converting); the functions below give
// them each caller's meaning.
struct Utf8Decoding {
    enum class Failure { None, Measure, Convert };
    std::wstring Text; // "" on a failure
    Failure Failed = Failure::None;
};
Utf8Decoding DecodeUtf8(std::string_view text);

// None when the text is empty or cannot be converted.
std::optional<std::wstring> TryUtf8ToUtf16(std::string_view text);

// "" for empty or unconvertible text.
std::wstring Utf8ToUtf16(std::string_view text);

// An exception's what() text for a message: "" when it cannot be measured,
// "(error converting exception message)" when it cannot be converted.
std::wstring DecodeExceptionMessage(char const* what);

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD.
std::string Utf16ToUtf8(std::wstring_view text);

// printf-style formatting into a string of exactly the formatted length, by
// the system's C runtime (msvcrt). Use %ls for wide-string arguments.
std::wstring FormatW(wchar_t const* format, ...);
std::string Format(char const* format, ...);

// At most max characters of text: longer texts keep their start and end
// around "...", so that a message never quotes more than a short excerpt of
// a document.
std::wstring Excerpt(std::wstring_view text, size_t max = 60);

// text without the blanks (spaces, tabs, CR and LF) at its two ends.
std::wstring_view TrimBlanks(std::wstring_view text) noexcept;

// folder and name joined with exactly one path separator between them (none
// added when folder already ends with one; name alone when folder is empty).
std::wstring JoinPath(std::wstring_view folder, std::wstring_view name);

// The last component of a path (after its last '\\' or '/'; the whole path
// when it has none).
std::wstring_view FileNameOf(std::wstring_view path) noexcept;

// c with the ASCII letters A-Z folded to a-z; every other character as it is.
wchar_t FoldAscii(wchar_t c) noexcept;

// Compares two texts, folding only the ASCII letters A-Z to a-z.
bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) noexcept;

// Compares two texts as the file system compares names: ordinal, upper and
// lower case of every letter alike.
bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept;

} // namespace ovl::setup

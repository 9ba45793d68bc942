#include "platform/Text.h"

#include <windows.h>

#include <climits>
#include <cstdarg>
#include <cstdio>

namespace ovl::setup {

Utf8Decoding DecodeUtf8(std::string_view text)
{
    using Failure = Utf8Decoding::Failure;
    if (text.empty() || text.size() > INT_MAX)
        return {{}, Failure::Measure};
    int const size = static_cast<int>(text.size());
    int const length = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (length <= 0)
        return {{}, Failure::Measure};
    std::wstring result(static_cast<size_t>(length), L'\0');
    int const converted = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, result.data(), length);
    if (converted <= 0)
        return {{}, Failure::Convert};
    result.resize(static_cast<size_t>(converted));
    return {std::move(result), Failure::None};
}

std::optional<std::wstring> TryUtf8ToUtf16(std::string_view text)
{
    Utf8Decoding decoded = DecodeUtf8(text);
    if (decoded.Failed != Utf8Decoding::Failure::None)
        return std::nullopt;
    return std::move(decoded.Text);
}

std::wstring Utf8ToUtf16(std::string_view text) { return DecodeUtf8(text).Text; }

std::wstring DecodeExceptionMessage(char const* what)
{
    Utf8Decoding decoded = DecodeUtf8(what ? std::string_view(what) : std::string_view());
    if (decoded.Failed == Utf8Decoding::Failure::Convert)
        return L"(error converting exception message)";
    return std::move(decoded.Text);
}

std::string Utf16ToUtf8(std::wstring_view text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    int const size = static_cast<int>(text.size());
    int const length = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return {};
    std::string result(static_cast<size_t>(length), '\0');
    int const converted =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), size, result.data(), length, nullptr, nullptr);
    if (converted <= 0)
        return {};
    result.resize(static_cast<size_t>(converted));
    return result;
}

std::wstring FormatW(wchar_t const* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int const length = _vscwprintf(format, measure);
    va_end(measure);
    std::wstring result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length));
        _vsnwprintf(result.data(), result.size(), format, args);
    }
    va_end(args);
    return result;
}

std::string Format(char const* format, ...)
{
    va_list args;
    va_start(args, format);
    va_list measure;
    va_copy(measure, args);
    int const length = _vscprintf(format, measure);
    va_end(measure);
    std::string result;
    if (length > 0) {
        result.resize(static_cast<size_t>(length));
        _vsnprintf(result.data(), result.size(), format, args);
    }
    va_end(args);
    return result;
}

std::wstring Excerpt(std::wstring_view text, size_t max)
{
    if (text.size() <= max)
        return std::wstring(text);
    if (max < 5)
        return std::wstring(text.substr(0, max));
    size_t const head = (max - 3) * 2 / 3;
    size_t const tail = max - 3 - head;
    return std::wstring(text.substr(0, head)) + L"..." + std::wstring(text.substr(text.size() - tail));
}

std::wstring_view TrimBlanks(std::wstring_view text) noexcept
{
    constexpr std::wstring_view blanks = L" \t\r\n";
    size_t const first = text.find_first_not_of(blanks);
    if (first == std::wstring_view::npos)
        return {};
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

std::wstring JoinPath(std::wstring_view folder, std::wstring_view name)
{
    std::wstring path(folder);
    if (!path.empty() && path.back() != L'\\' && path.back() != L'/')
        path += L'\\';
    path += name;
    return path;
}

std::wstring_view FileNameOf(std::wstring_view path) noexcept
{
    return path.substr(path.find_last_of(L"\\/") + 1);
}

wchar_t FoldAscii(wchar_t c) noexcept { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

bool EqualsIgnoreAsciiCase(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i]))
            return false;
    }
    return true;
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) noexcept
{
    if (a.size() > INT_MAX || b.size() > INT_MAX)
        return false;
    return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(), static_cast<int>(b.size()), TRUE) ==
           CSTR_EQUAL;
}

} // namespace ovl::setup

#include "platform/Json.h"

#include "platform/Text.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace winrt::Windows::Data::Json {

namespace impl {
struct Document {
    nlohmann::json Root;
};
} // namespace impl

namespace {

using ovl::setup::Utf16ToUtf8;
using ovl::setup::Utf8ToUtf16;

nlohmann::json const& Node(void const* node) { return *static_cast<nlohmann::json const*>(node); }

std::wstring Quoted(std::wstring_view name) { return L"\"" + std::wstring(name) + L"\""; }

wchar_t const* TypeName(nlohmann::json const& value)
{
    switch (value.type()) {
    case nlohmann::json::value_t::null:
        return L"null";
    case nlohmann::json::value_t::object:
        return L"an object";
    case nlohmann::json::value_t::array:
        return L"an array";
    case nlohmann::json::value_t::string:
        return L"a string";
    case nlohmann::json::value_t::boolean:
        return L"a boolean";
    case nlohmann::json::value_t::binary:
        return L"binary data";
    case nlohmann::json::value_t::discarded:
        return L"discarded";
    default:
        return L"a number";
    }
}

[[noreturn]] void ThrowWrongType(std::wstring const& what, nlohmann::json const& value, wchar_t const* expected)
{
    throw hresult_error(IllegalMethodCall, L"JSON value " + what + L" is " + TypeName(value) + L", not " + expected);
}

nlohmann::json const& Named(nlohmann::json const& object, std::wstring_view name)
{
    auto const found = object.find(Utf16ToUtf8(name));
    if (found == object.end())
        throw hresult_error(WebJsonValueNotFound, L"JSON value not found: " + Quoted(name));
    return *found;
}

nlohmann::json const& Element(nlohmann::json const& array, std::uint32_t index)
{
    if (index >= array.size())
        throw hresult_error(Bounds, ovl::setup::FormatW(L"JSON array index %u is out of bounds", index));
    return array[index];
}

// The library's message without its "[json.exception.parse_error.101] " tag,
// and with no more than a short excerpt of the document it quotes.
std::wstring Describe(nlohmann::json::exception const& e)
{
    std::string_view text = e.what();
    if (auto const tagEnd = text.find("] "); text.starts_with("[json.exception.") && tagEnd != text.npos)
        text.remove_prefix(tagEnd + 2);
    std::wstring message = Utf8ToUtf16(text);
    constexpr std::wstring_view quoted = L"last read: '";
    if (auto const start = message.find(quoted); start != std::wstring::npos) {
        size_t const from = start + quoted.size();
        size_t const end = message.rfind(L'\'');
        if (end != std::wstring::npos && end >= from)
            message.replace(from, end - from, ovl::setup::Excerpt(std::wstring_view(message).substr(from, end - from)));
    }
    return ovl::setup::Excerpt(message, 300);
}

// Numbers beyond the range of a double (a 5000-digit integer, 1e99999) are
// turned into a 0 padded with blanks, so that the document parses and keeps
// every position: no value the program reads is a number, so such a number
// is as good as any other, where a string is needed it still fails as a
// number, and elsewhere it is ignored.
void NeutralizeOverflowingNumbers(std::string& text)
{
    auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    bool inString = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char const c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
            continue;
        }
        if (c != '-' && !isDigit(c))
            continue;
        size_t end = i + 1;
        while (end < text.size() && text[end] != '\0' && (isDigit(text[end]) || std::strchr("+-.eE", text[end])))
            ++end;
        std::string const token = text.substr(i, end - i);
        char* parsed = nullptr;
        double const value = std::strtod(token.c_str(), &parsed);
        if (parsed == token.c_str() + token.size() && !std::isfinite(value)) {
            text[i] = '0';
            std::fill(text.begin() + static_cast<std::ptrdiff_t>(i) + 1, text.begin() + static_cast<std::ptrdiff_t>(end), ' ');
        }
        i = end - 1;
    }
}

struct TooDeep {};

} // namespace

JsonObject JsonObject::Parse(std::wstring_view text)
{
    auto document = std::make_shared<impl::Document>();
    std::string utf8 = Utf16ToUtf8(text);
    NeutralizeOverflowingNumbers(utf8);
    try {
        // The callback refuses documents nested beyond the limit; the parser
        // itself is iterative, but nothing is gained by accepting them.
        document->Root = nlohmann::json::parse(
            utf8, [](int depth, nlohmann::json::parse_event_t event, nlohmann::json&) {
                if ((event == nlohmann::json::parse_event_t::object_start ||
                     event == nlohmann::json::parse_event_t::array_start) &&
                    depth >= MaxNestingDepth)
                    throw TooDeep{};
                return true;
            });
    } catch (TooDeep const&) {
        throw hresult_error(WebInvalidJsonString,
                            ovl::setup::FormatW(L"Invalid JSON string: nested deeper than %d levels", MaxNestingDepth));
    } catch (nlohmann::json::exception const& e) {
        throw hresult_error(WebInvalidJsonString, L"Invalid JSON string: " + Describe(e));
    }
    if (!document->Root.is_object())
        throw hresult_error(WebInvalidJsonString, std::wstring(L"Invalid JSON string: the document is ") +
                                                      TypeName(document->Root) + L", not an object");
    void const* root = &document->Root;
    return JsonObject(std::move(document), root);
}

std::wstring JsonObject::GetNamedString(std::wstring_view name) const
{
    auto const& value = Named(Node(node_), name);
    if (!value.is_string())
        ThrowWrongType(Quoted(name), value, L"a string");
    return Utf8ToUtf16(value.get_ref<std::string const&>());
}

bool JsonObject::GetNamedBoolean(std::wstring_view name) const
{
    auto const& value = Named(Node(node_), name);
    if (!value.is_boolean())
        ThrowWrongType(Quoted(name), value, L"a boolean");
    return value.get<bool>();
}

JsonArray JsonObject::GetNamedArray(std::wstring_view name) const
{
    auto const& value = Named(Node(node_), name);
    if (!value.is_array())
        ThrowWrongType(Quoted(name), value, L"an array");
    return JsonArray(document_, &value);
}

std::uint32_t JsonArray::Size() const noexcept { return static_cast<std::uint32_t>(Node(node_).size()); }

JsonObject JsonArray::GetObjectAt(std::uint32_t index) const
{
    auto const& value = Element(Node(node_), index);
    if (!value.is_object())
        ThrowWrongType(ovl::setup::FormatW(L"at index %u", index), value, L"an object");
    return JsonObject(document_, &value);
}

std::wstring JsonArray::GetStringAt(std::uint32_t index) const
{
    auto const& value = Element(Node(node_), index);
    if (!value.is_string())
        ThrowWrongType(ovl::setup::FormatW(L"at index %u", index), value, L"a string");
    return Utf8ToUtf16(value.get_ref<std::string const&>());
}

} // namespace winrt::Windows::Data::Json

#include "platform/Json.h"

#include "platform/Text.h"

#include <nlohmann/json.hpp>

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
        throw hresult_error(Bounds, L"JSON array index " + std::to_wstring(index) + L" is out of bounds");
    return array[index];
}

// The library's message without its "[json.exception.parse_error.101] " tag.
std::wstring Describe(nlohmann::json::exception const& e)
{
    std::string_view text = e.what();
    if (auto const tagEnd = text.find("] "); text.starts_with("[json.exception.") && tagEnd != text.npos)
        text.remove_prefix(tagEnd + 2);
    return Utf8ToUtf16(text);
}

struct TooDeep {};

} // namespace

JsonObject JsonObject::Parse(std::wstring_view text)
{
    auto document = std::make_shared<impl::Document>();
    std::string const utf8 = Utf16ToUtf8(text);
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
        throw hresult_error(WebInvalidJsonString, L"Invalid JSON string: nested deeper than " +
                                                      std::to_wstring(MaxNestingDepth) + L" levels");
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
        ThrowWrongType(L"at index " + std::to_wstring(index), value, L"an object");
    return JsonObject(document_, &value);
}

std::wstring JsonArray::GetStringAt(std::uint32_t index) const
{
    auto const& value = Element(Node(node_), index);
    if (!value.is_string())
        ThrowWrongType(L"at index " + std::to_wstring(index), value, L"a string");
    return Utf8ToUtf16(value.get_ref<std::string const&>());
}

} // namespace winrt::Windows::Data::Json

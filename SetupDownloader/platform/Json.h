#pragma once
// Stand-ins for the Windows Runtime pieces the program uses to read JSON:
// Windows.Data.Json's JsonObject and JsonArray, over nlohmann/json. They take and give UTF-16 text.
//
// Errors, each a winrt::hresult_error whose message names what was wrong:
//   WEB_E_INVALID_JSON_STRING (0x83750007)  the text is not JSON, its top-level
//                                            value is not an object, or it nests
//                                            deeper than MaxNestingDepth
//   WEB_E_JSON_VALUE_NOT_FOUND (0x83750009) no value with the name
//   E_ILLEGAL_METHOD_CALL (0x8000000E)      the value has another JSON type
//   E_BOUNDS (0x8000000B)                   an array index beyond the end
// Names match exactly, letter case included. Of two equal names in one object
// the later one wins. A byte order mark (U+FEFF) at the very start of the
// text is skipped, as RFC 8259 allows; anywhere else it is a syntax error.

#include "platform/Error.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace winrt::Windows::Data::Json {

namespace impl {
struct Document;
}

class JsonArray;

// Deepest nesting of arrays and objects a document may have.
inline constexpr int MaxNestingDepth = 256;

// An object inside a parsed document; copies share the document.
class JsonObject {
public:
    // Parses text whose top-level value must be an object.
    static JsonObject Parse(std::wstring_view text);

    std::wstring GetNamedString(std::wstring_view name) const;
    bool GetNamedBoolean(std::wstring_view name) const;
    JsonArray GetNamedArray(std::wstring_view name) const;

private:
    friend class JsonArray;
    JsonObject(std::shared_ptr<impl::Document const> document, void const* node)
        : document_(std::move(document)), node_(node) {}

    std::shared_ptr<impl::Document const> document_;
    void const* node_;
};

// An array inside a parsed document; copies share the document.
class JsonArray {
public:
    std::uint32_t Size() const noexcept;
    JsonObject GetObjectAt(std::uint32_t index) const;
    std::wstring GetStringAt(std::uint32_t index) const;

private:
    friend class JsonObject;
    JsonArray(std::shared_ptr<impl::Document const> document, void const* node)
        : document_(std::move(document)), node_(node) {}

    std::shared_ptr<impl::Document const> document_;
    void const* node_;
};

} // namespace winrt::Windows::Data::Json

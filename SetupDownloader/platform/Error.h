#pragma once
// The error that the platform layers raise, standing in for
// winrt::hresult_error: an HRESULT and a message text. It is deliberately not
// derived from std::exception, so that it is caught separately. And the
// HRESULTs the layers use, by name.

#include <cstdint>
#include <string>
#include <utility>

namespace winrt {

using hresult = std::int32_t;

class hresult_error {
public:
    hresult_error(hresult code, std::wstring message) : code_(code), message_(std::move(message)) {}

    hresult code() const noexcept { return code_; }
    std::wstring const& message() const noexcept { return message_; }

private:
    hresult code_;
    std::wstring message_;
};

inline constexpr hresult WebInvalidJsonString = static_cast<hresult>(0x83750007); // WEB_E_INVALID_JSON_STRING
inline constexpr hresult WebJsonValueNotFound = static_cast<hresult>(0x83750009); // WEB_E_JSON_VALUE_NOT_FOUND
inline constexpr hresult IllegalMethodCall = static_cast<hresult>(0x8000000E);    // E_ILLEGAL_METHOD_CALL
inline constexpr hresult Bounds = static_cast<hresult>(0x8000000B);               // E_BOUNDS
inline constexpr hresult InvalidArgument = static_cast<hresult>(0x80070057);      // E_INVALIDARG
inline constexpr hresult OperationCanceled = static_cast<hresult>(0x800704C7);    // HRESULT_FROM_WIN32(ERROR_CANCELLED)

// HRESULT_FROM_WIN32.
constexpr hresult FromWin32(std::uint32_t error) noexcept
{
    return error == 0 ? 0 : static_cast<hresult>((error & 0xFFFFu) | 0x80070000u);
}

} // namespace winrt

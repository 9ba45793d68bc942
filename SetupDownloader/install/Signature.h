#pragma once
// The Authenticode check of the extracted installer, through its open handle.

#include <windows.h>

#include <string>

namespace ovl::setup {

// 0 for a valid, trusted signature; otherwise WinVerifyTrust's status, or
// E_HANDLE (0x80070006) for an unusable handle. Never throws.
LONG VerifyFileSignature(HANDLE file, std::wstring const& path) noexcept;

} // namespace ovl::setup

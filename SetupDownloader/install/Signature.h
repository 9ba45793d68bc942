#pragma once
// The Authenticode check of the extracted installer, through its open handle.

#include <windows.h>

#include <string>

namespace ovl::setup {

// 0 for a valid, trusted signature; otherwise WinVerifyTrust's status, or
// E_HANDLE (0x80070006) for an unusable handle. Never throws.
LONG VerifyFileSignature(HANDLE file, std::wstring const& path) noexcept;

// What the run says when the check fails: "The digital signature for Orvelle
// could not be verified. The download may have been corrupted. (0x%08X)".
std::wstring DescribeSignatureFailure(LONG status);

} // namespace ovl::setup

#pragma once
// The Authenticode check of the extracted installer, through its open handle,
// and who signed it.

#include "platform/Sha256.h"

#include <windows.h>

#include <string>
#include <string_view>
#include <vector>

namespace ovl::setup {

// What the check found: the trust verdict and, when it is 0, the signing
// certificate of the file's (first) signature.
struct SignatureVerdict {
    LONG Status = 0;             // 0 for a valid, trusted signature
    std::wstring SignerName;     // the certificate's subject, as Windows shows it
    Sha256Digest SignerThumbprint{}; // SHA-256 of the certificate
};

// 0 for a valid, trusted signature; otherwise WinVerifyTrust's status, or
// E_HANDLE (0x80070006) for an unusable handle. Never throws.
LONG VerifyFileSignature(HANDLE file, std::wstring const& path) noexcept;

// The same check, keeping the verification state open to read the signer
// from it. A trusted file whose signer cannot be read gets
// TRUST_E_NO_SIGNER_CERT (0x800B0106). Never throws.
SignatureVerdict CheckFileSignature(HANDLE file, std::wstring const& path) noexcept;

// What the run says when the check fails: "The digital signature for Orvelle
// could not be verified. The download may have been corrupted. (0x%08X)".
std::wstring DescribeSignatureFailure(LONG status);

// The publisher's pinned certificates: the SHA-256 thumbprints compiled into
// the build (GetPublisherThumbprints), separated by ';', ',' or line breaks.
// Fails with "The publisher's certificate thumbprint is not valid".
std::vector<Sha256Digest> ParsePublisherThumbprints(std::wstring_view list);

// The thumbprint list this executable was built with; empty when the build
// pins no publisher.
wchar_t const* GetPublisherThumbprints() noexcept;

// True when the pins hold the signer's thumbprint, or when there are none
// (a build without a pin accepts any trusted signer).
bool IsPinnedSigner(SignatureVerdict const& verdict, std::vector<Sha256Digest> const& pins) noexcept;

// What the run says when another publisher signed the installer.
std::wstring DescribeUnpinnedSigner(SignatureVerdict const& verdict);

} // namespace ovl::setup

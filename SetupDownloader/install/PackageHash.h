#pragma once
// The downloaded package against the SHA-256 that the manifest may give for it.

#include "platform/Sha256.h"

#include <optional>

namespace ovl::setup {

class PinnedFile;

// The SHA-256 of the file's whole content, read through its own handle; the
// file position is at the start afterwards.
Sha256Digest ComputeFileSha256(PinnedFile& file);

// Nothing when expected is none or matches actual; otherwise fails with
// "Download failed: the package's SHA-256 does not match the manifest".
void CheckSha256Matches(Sha256Digest const& actual, std::optional<Sha256Digest> const& expected);

// The package's own SHA-256 against expected (nothing is read when it is none).
void CheckPackageSha256(PinnedFile& package, std::optional<Sha256Digest> const& expected);

} // namespace ovl::setup

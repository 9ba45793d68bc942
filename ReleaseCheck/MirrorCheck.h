#pragma once
// The parts of a release check that go to the network and the disk, with the
// downloader's own code: its transfer (attempts, resumption, size limit), its
// extraction and its signature check, in a private folder like its own.

#include "ReleaseCheck/CheckOptions.h"
#include "ReleaseCheck/Report.h"

namespace ovl::setup {

// Fetches the manifest, checks every combination and, with --mirrors, every
// mirror a combination chooses. Failures of the manifest and the mirrors are
// in the report; only the private folder's own failures are thrown.
CheckReport RunCheck(CheckOptions const& options);

} // namespace ovl::setup

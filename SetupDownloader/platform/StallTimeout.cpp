// The stall time of transfers, a build setting like the website's origin:
// each executable links one build of this file.
#include "platform/Http.h"

#ifndef OVL_STALL_TIMEOUT_MS
#error "OVL_STALL_TIMEOUT_MS must be defined by the build"
#endif

namespace ovl::setup {

std::chrono::milliseconds GetStallTimeout() noexcept { return std::chrono::milliseconds(OVL_STALL_TIMEOUT_MS); }

} // namespace ovl::setup

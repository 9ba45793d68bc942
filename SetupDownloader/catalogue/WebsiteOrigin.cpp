// The product website's origin, a build setting: each executable links one
// build of this file (the product's HTTPS origin, or a loopback origin for
// tests and the demo). It is never read at run time from anywhere else.
#include "catalogue/Manifest.h"

#ifndef OVL_WEBSITE_ORIGIN
#error "OVL_WEBSITE_ORIGIN must be defined by the build"
#endif

#define OVL_WIDEN2(x) L##x
#define OVL_WIDEN(x) OVL_WIDEN2(x)

namespace ovl::setup {

wchar_t const* GetWebsiteOrigin() noexcept { return OVL_WIDEN(OVL_WEBSITE_ORIGIN); }

} // namespace ovl::setup

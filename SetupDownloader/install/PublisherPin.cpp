// The publisher's pinned signing certificates, a build setting: each
// executable links one build of this file (the product's thumbprints, or the
// test certificate's for the tests and the demo). Empty: no pin.
#include "install/Signature.h"

#ifndef OVL_PUBLISHER_PIN_FILE
#error "OVL_PUBLISHER_PIN_FILE must be defined by the build"
#endif

namespace ovl::setup {

wchar_t const* GetPublisherThumbprints() noexcept
{
    return
#include OVL_PUBLISHER_PIN_FILE
        ;
}

} // namespace ovl::setup

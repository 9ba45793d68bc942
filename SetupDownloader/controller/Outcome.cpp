#include "controller/Outcome.h"

namespace ovl::setup {

wchar_t const* GetButtonCaption(ButtonAction action) noexcept
{
    switch (action) {
    case ButtonAction::Cancel:
        return L"Cancel";
    case ButtonAction::Continue:
        return L"Continue";
    case ButtonAction::Restart:
        return L"Restart";
    case ButtonAction::Close:
        break;
    }
    return L"Close";
}

} // namespace ovl::setup

#include "controller/Outcome.h"

#include <algorithm>
#include <cmath>

namespace ovl::setup {

std::optional<int> TaskProgressValue(double percent) noexcept
{
    if (std::isnan(percent) || percent < 0.0)
        return std::nullopt;
    return static_cast<int>(std::min(percent, 100.0));
}

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

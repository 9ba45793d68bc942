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

InstallerEnd ClassifyInstallerResult(std::uint32_t result) noexcept
{
    switch (result) {
    case ToValue(ExitCode::InstallerSucceeded):
        return InstallerEnd::Succeeded;
    case ToValue(ExitCode::InstallerSucceededRebootRequired):
        return InstallerEnd::Restart;
    case 0xFFFFF43E: // -3010
        return InstallerEnd::RestartToContinue;
    case 1223:       // ERROR_CANCELLED
    case 0x800704C7: // the same as an HRESULT
        return InstallerEnd::Complete;
    case ToValue(ExitCode::RebootInitiated):
        return InstallerEnd::RestartStarted;
    default:
        return InstallerEnd::Failed;
    }
}

ExitCode ChooseRebootExitCode(std::optional<ButtonAction> pressed, bool suppressReboot) noexcept
{
    bool const restartAsked = pressed == ButtonAction::Continue || pressed == ButtonAction::Restart;
    return restartAsked && !suppressReboot ? ExitCode::RebootInitiated : ExitCode::RebootRequired;
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

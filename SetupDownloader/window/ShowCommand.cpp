#include "window/ShowCommand.h"

#include <windows.h>

namespace ovl::setup {

int ChooseShowCommand(std::optional<int> startupShow, bool mayStayHidden) noexcept
{
    if (!startupShow)
        return SW_SHOWNORMAL;
    switch (*startupShow) {
    case SW_HIDE:
        return mayStayHidden ? SW_HIDE : SW_SHOWNORMAL;
    case SW_SHOWMINIMIZED:
    case SW_MINIMIZE:
    case SW_SHOWMINNOACTIVE:
    case SW_SHOWNOACTIVATE:
    case SW_SHOWNA:
        return *startupShow;
    default:
        return SW_SHOWNORMAL;
    }
}

} // namespace ovl::setup

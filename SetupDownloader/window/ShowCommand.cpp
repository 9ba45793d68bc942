#include "window/ShowCommand.h"

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

std::optional<int> ReadStartupShowCommand() noexcept
{
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    GetStartupInfoW(&startup);
    if (startup.dwFlags & STARTF_USESHOWWINDOW)
        return startup.wShowWindow;
    return std::nullopt;
}

void ShowFirstTime(HWND window, int chosen, ShowWindowFunction show)
{
    show(window, SW_SHOWDEFAULT); // takes the starter's command, once
    show(window, chosen);
}

void ConsumeHiddenStartCommand(std::optional<int> startupShow, ShowWindowFunction show) noexcept
{
    if (startupShow != SW_HIDE)
        return;
    HWND const throwaway = CreateWindowExW(WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                           GetModuleHandleW(nullptr), nullptr);
    if (!throwaway)
        return;
    show(throwaway, SW_SHOWDEFAULT); // the starter's SW_HIDE: stays hidden
    DestroyWindow(throwaway);
}

} // namespace ovl::setup

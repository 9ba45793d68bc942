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

namespace {

// A top-level window nobody sees (no size, fully transparent, no task bar
// button), shown once with SW_SHOWDEFAULT to take up the starter's command;
// destroyed with its owner.
class TakeUpWindow {
public:
    TakeUpWindow(std::optional<int> startupShow, ShowWindowFunction show) noexcept
    {
        if (!startupShow)
            return; // the starter gave no command: nothing to take up
        window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_LAYERED | WS_EX_NOACTIVATE, L"STATIC", L"", WS_POPUP, 0, 0,
                                 0, 0, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        if (!window)
            return;
        SetLayeredWindowAttributes(window, 0, 0, LWA_ALPHA);
        show(window, SW_SHOWDEFAULT);
    }
    ~TakeUpWindow()
    {
        if (window)
            DestroyWindow(window);
    }
    TakeUpWindow(TakeUpWindow const&) = delete;
    TakeUpWindow& operator=(TakeUpWindow const&) = delete;

private:
    HWND window = nullptr;
};

} // namespace

// The starter's command is taken up on a window of its own rather than on
// ours: Wine shows a window for SW_SHOWDEFAULT even when the starter asked
// for SW_HIDE. Ours is shown before that one goes, so that the activation
// passes straight to it.
void ShowFirstTime(HWND window, std::optional<int> startupShow, int chosen, ShowWindowFunction show)
{
    TakeUpWindow const takeUp(startupShow, show);
    show(window, chosen);
}

void ConsumeHiddenStartCommand(std::optional<int> startupShow, ShowWindowFunction show) noexcept
{
    if (startupShow == SW_HIDE)
        TakeUpWindow const takeUp(startupShow, show);
}

} // namespace ovl::setup

#include "platform/SystemFunctions.h"

#include "platform/Handle.h"

namespace ovl::setup {

namespace {

// Each function is looked up once; the lookups are thread-safe statics.
template <typename Function>
Function Kernel32(char const* name) noexcept
{
    return FindSystemFunction<Function>(L"kernel32.dll", name);
}

template <typename Function>
Function User32(char const* name) noexcept
{
    return FindSystemFunction<Function>(L"user32.dll", name);
}

} // namespace

void RestrictDllSearchPath() noexcept
{
    using Function = BOOL(WINAPI*)(DWORD);
    static Function const setDefaultDllDirectories = Kernel32<Function>("SetDefaultDllDirectories");
    if (setDefaultDllDirectories)
        setDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    else
        SetDllDirectoryW(L"");
}

void EnablePerMonitorDpiAwareness() noexcept
{
    using Function = BOOL(WINAPI*)(DPI_AWARENESS_CONTEXT);
    static Function const setContext = User32<Function>("SetProcessDpiAwarenessContext");
    if (setContext)
        setContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
}

UINT GetWindowDpi(HWND window) noexcept
{
    using Function = UINT(WINAPI*)(HWND);
    static Function const getDpiForWindow = User32<Function>("GetDpiForWindow");
    if (getDpiForWindow)
        return getDpiForWindow(window);
    WindowDC const dc(window);
    return dc ? static_cast<UINT>(GetDeviceCaps(dc.Get(), LOGPIXELSY)) : USER_DEFAULT_SCREEN_DPI;
}

BOOL AdjustWindowRectForDpi(RECT* rect, DWORD style, DWORD exStyle, UINT dpi) noexcept
{
    using Function = BOOL(WINAPI*)(LPRECT, DWORD, BOOL, DWORD, UINT);
    static Function const adjust = User32<Function>("AdjustWindowRectExForDpi");
    if (adjust)
        return adjust(rect, style, FALSE, exStyle, dpi);
    return AdjustWindowRectEx(rect, style, FALSE, exStyle);
}

BOOL GetNonClientMetricsForDpi(NONCLIENTMETRICSW* metrics, UINT dpi) noexcept
{
    using Function = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    static Function const getForDpi = User32<Function>("SystemParametersInfoForDpi");
    if (getForDpi)
        return getForDpi(SPI_GETNONCLIENTMETRICS, metrics->cbSize, metrics, 0, dpi);
    return SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics->cbSize, metrics, 0);
}

} // namespace ovl::setup

#pragma once
// Windows functions newer than Windows 7 SP1, bound at run time so that the
// program loads on every Windows it has to tell "too old", each with the
// fallback that older systems understand. Nothing here imports them by name:
// the import table must stay loadable on Windows 7 SP1.

#include <windows.h>

namespace ovl::setup {

// The address of a function exported by a module the process has already
// loaded (kernel32.dll, user32.dll), or null when either is missing.
template <typename Function>
Function FindSystemFunction(wchar_t const* module, char const* name) noexcept
{
    HMODULE const handle = GetModuleHandleW(module);
    return handle ? reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(handle, name))) : nullptr;
}

// DLLs load from System32 only (SetDefaultDllDirectories); where that is
// missing (Windows 7 without KB2533623), the current folder leaves the search
// path instead (SetDllDirectoryW with an empty text).
void RestrictDllSearchPath() noexcept;

// Per-monitor DPI awareness v2 (Windows 10 1703); elsewhere the application
// manifest's dpiAware setting stands.
void EnablePerMonitorDpiAwareness() noexcept;

// GetDpiForWindow (Windows 10 1607), else the DPI of the window's device context.
UINT GetWindowDpi(HWND window) noexcept;

// AdjustWindowRectExForDpi (Windows 10 1607), else AdjustWindowRectEx, which
// uses the system DPI, the only DPI those systems give a window.
BOOL AdjustWindowRectForDpi(RECT* rect, DWORD style, DWORD exStyle, UINT dpi) noexcept;

// SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS) (Windows 10 1607), else
// SystemParametersInfoW, which answers for the system DPI.
BOOL GetNonClientMetricsForDpi(NONCLIENTMETRICSW* metrics, UINT dpi) noexcept;

} // namespace ovl::setup

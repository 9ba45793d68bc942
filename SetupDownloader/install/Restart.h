#pragma once
// Restarting Windows for an installation.

#include <windows.h>

#include <cstdint>

namespace ovl::setup {

// The system calls ShutDownSystem makes; tests replace them, since a real
// ExitWindowsEx under Wine ends every process of the prefix.
struct ShutdownApi {
    BOOL(WINAPI* OpenProcessToken)(HANDLE, DWORD, PHANDLE) = ::OpenProcessToken;
    BOOL(WINAPI* LookupPrivilegeValueW)(LPCWSTR, LPCWSTR, PLUID) = ::LookupPrivilegeValueW;
    BOOL(WINAPI* AdjustTokenPrivileges)(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) =
        ::AdjustTokenPrivileges;
    BOOL(WINAPI* ExitWindowsEx)(UINT, DWORD) = ::ExitWindowsEx;
};

// Enables SeShutdownPrivilege and calls ExitWindowsEx(flags, major | minor).
// Fails with "OpenProcessToken failed", "LookupPrivilegeValueW failed",
// "AdjustTokenPrivileges failed" (also when the token lacks the privilege:
// ERROR_NOT_ALL_ASSIGNED) or "ExitWindowsEx failed".
void ShutDownSystem(std::uint32_t flags, std::uint32_t majorReason, std::uint32_t minorReason,
                    ShutdownApi const& api = ShutdownApi{});

// A restart for an installation (EWX_REBOOT, reason 0x00030002). True when
// Windows accepted the request; false, without throwing, when it could not be
// made, so that the run can say a restart is still required.
bool RestartSystem(ShutdownApi const& api = ShutdownApi{}) noexcept;

} // namespace ovl::setup

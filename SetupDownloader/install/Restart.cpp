#include "install/Restart.h"

#include "platform/Handle.h"

#include <stdexcept>

namespace ovl::setup {

void ShutDownSystem(std::uint32_t flags, std::uint32_t majorReason, std::uint32_t minorReason, ShutdownApi const& api)
{
    HANDLE rawToken = nullptr;
    if (!api.OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken))
        throw std::runtime_error("OpenProcessToken failed");
    UniqueHandle const token(rawToken);

    LUID luid{};
    if (!api.LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &luid))
        throw std::runtime_error("LookupPrivilegeValueW failed");

    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Luid = luid;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    // A token without the privilege is "adjusted" with ERROR_NOT_ALL_ASSIGNED:
    // the restart would be refused, so that counts as a failure too. (Wine
    // leaves the last error alone on success: it is cleared first.)
    SetLastError(ERROR_SUCCESS);
    if (!api.AdjustTokenPrivileges(token.Get(), FALSE, &privileges, sizeof(privileges), nullptr, nullptr) ||
        GetLastError() == ERROR_NOT_ALL_ASSIGNED)
        throw std::runtime_error("AdjustTokenPrivileges failed");

    if (!api.ExitWindowsEx(flags, majorReason | minorReason))
        throw std::runtime_error("ExitWindowsEx failed");
}

bool RestartSystem(ShutdownApi const& api) noexcept
{
    try {
        ShutDownSystem(EWX_REBOOT, SHTDN_REASON_MAJOR_SOFTWARE, SHTDN_REASON_MINOR_INSTALLATION, api);
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace ovl::setup

// The restart request through a seam: a real ExitWindowsEx under Wine would
// end every process of the harness prefix. The token calls are the real ones.
#include "install/Restart.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace ovl::setup {
namespace {

UINT exitFlags = 0;
DWORD exitReason = 0;
int exitCalls = 0;
BOOL exitResult = TRUE;

BOOL WINAPI FakeExitWindowsEx(UINT flags, DWORD reason)
{
    exitFlags = flags;
    exitReason = reason;
    ++exitCalls;
    if (!exitResult)
        SetLastError(ERROR_ACCESS_DENIED);
    return exitResult;
}

bool ShutdownPrivilegeEnabled()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    LUID luid{};
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &luid);
    PRIVILEGE_SET set{1, PRIVILEGE_SET_ALL_NECESSARY, {{luid, 0}}};
    BOOL enabled = FALSE;
    PrivilegeCheck(token, &set, &enabled);
    CloseHandle(token);
    return enabled != FALSE;
}

ShutdownApi Fake()
{
    ShutdownApi api;
    api.ExitWindowsEx = FakeExitWindowsEx;
    return api;
}

TEST(Restart, ReasonFlagsAndPrivilege)
{
    exitCalls = 0;
    exitResult = TRUE;
    EXPECT_TRUE(RestartSystem(Fake()));
    EXPECT_EQ(exitCalls, 1);
    EXPECT_EQ(exitFlags, static_cast<UINT>(EWX_REBOOT));
    EXPECT_EQ(exitReason, 0x00030002u);
    EXPECT_TRUE(ShutdownPrivilegeEnabled());
}

TEST(Restart, RefusedRestartIsSwallowedByRestartSystem)
{
    exitCalls = 0;
    exitResult = FALSE;
    EXPECT_FALSE(RestartSystem(Fake())); // reported, not thrown: the run then still needs a restart
    EXPECT_EQ(exitCalls, 1);
    try {
        ShutDownSystem(EWX_REBOOT, 0x00030000, 2, Fake());
        FAIL();
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "ExitWindowsEx failed");
    }
}

BOOL WINAPI FailOpen(HANDLE, DWORD, PHANDLE) { return FALSE; }
BOOL WINAPI FailLookup(LPCWSTR, LPCWSTR, PLUID) { return FALSE; }
BOOL WINAPI FailAdjust(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD) { return FALSE; }

// A token without SeShutdownPrivilege (a standard user on a server, a
// locked-down image): AdjustTokenPrivileges succeeds but reports
// ERROR_NOT_ALL_ASSIGNED. Wine grants the privilege to every process, so only
// the fake shows it.
BOOL WINAPI AdjustWithoutThePrivilege(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD)
{
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}
TEST(Restart, APrivilegeNotAssignedIsARestartNotStarted)
{
    exitCalls = 0;
    exitResult = TRUE;
    ShutdownApi api = Fake();
    api.AdjustTokenPrivileges = AdjustWithoutThePrivilege;
    EXPECT_FALSE(RestartSystem(api));
    EXPECT_EQ(exitCalls, 0) << "ExitWindowsEx was asked without the privilege";
    EXPECT_EQ(ovl::test::FailureOf([&] { ShutDownSystem(EWX_REBOOT, 0x00030000, 2, api); }),
              "AdjustTokenPrivileges failed");

    // The real call, after a stale ERROR_NOT_ALL_ASSIGNED of an earlier one:
    // a privilege it did enable counts (Wine leaves the last error as it was).
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    api.AdjustTokenPrivileges = ::AdjustTokenPrivileges;
    EXPECT_TRUE(RestartSystem(api));
    EXPECT_EQ(exitCalls, 1);
}

TEST(Restart, EachStepFailsWithItsMessage)
{
    struct Row {
        ShutdownApi Api;
        char const* Message;
    };
    ShutdownApi open = Fake();
    open.OpenProcessToken = FailOpen;
    ShutdownApi lookup = Fake();
    lookup.LookupPrivilegeValueW = FailLookup;
    ShutdownApi adjust = Fake();
    adjust.AdjustTokenPrivileges = FailAdjust;
    Row const rows[] = {{open, "OpenProcessToken failed"},
                        {lookup, "LookupPrivilegeValueW failed"},
                        {adjust, "AdjustTokenPrivileges failed"}};
    for (auto const& row : rows) {
        exitCalls = 0;
        try {
            ShutDownSystem(EWX_REBOOT, 0x00030000, 2, row.Api);
            ADD_FAILURE() << row.Message;
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), row.Message);
        }
        EXPECT_EQ(exitCalls, 0);
    }
}

} // namespace
} // namespace ovl::setup

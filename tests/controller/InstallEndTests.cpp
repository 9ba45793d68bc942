// The controller with the real window under Xvfb, through a whole run against
// the test server, up to the installer and after it: the moment between the
// window's hiding and the launch, and the ends that a restart decides. A
// watchdog ends the process should a run hang, so that a hang fails fast.

#include "controller/Controller.h"
#include "entry/Audience.h"

#include "install/ZipFixture.h"
#include "support/HttpTestSupport.h"
#include "support/TestSupport.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ovl::setup {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

using ovl::test::Watchdog;

fs::path Root() { return fs::path(ovl::test::Env("OVL_TEST_ROOT")); }

// The test manifest, with one release whose package holds the signed sample installer.
void PublishSignedRelease()
{
    std::string const bytes = ovl::test::ReadBytes(OVL_SIGNED_INSTALLER);
    ovl::test::ZipEntry entry;
    entry.Name = "Setup.exe";
    entry.CompressionMethod = ovl::test::Deflate;
    entry.Data.assign(bytes.begin(), bytes.end());
    auto const zip = ovl::test::MakeZip({entry});
    ovl::test::WriteBytes((Root() / L"controller-signed.zip").wstring(), std::string(zip.begin(), zip.end()));
    std::string const manifest = R"({"product-name": "Orvelle", "website-url": "w", "download-page-url": "d",
        "releases": [{"display-name": "Orvelle Test 5.1", "version": "5.1", "milestone": "stable",
        "more-info-url": "", "runtime-version": "8.0.1", "files": [{"architecture": "x64", "mirror-urls": [")" +
                                 ovl::test::Narrow(ovl::test::HttpBase()) + R"(/controller-signed.zip"]}]}]})";
    fs::create_directories(Root() / L"updates" / L"v9");
    ovl::test::WriteBytes((Root() / L"updates" / L"v9" / L"manifest.test.json").wstring(), manifest);
}

Configuration Config()
{
    Configuration config;
    config.RuntimeVersion3 = Version3{8, 0, 1};
    config.InstallApp = true;
    config.AppMilestone = AppMilestone::Stable;
    config.Test = true;
    return config;
}

std::wstring StatusOf(HWND window)
{
    wchar_t status[512] = {};
    GetWindowTextW(GetDlgItem(window, MainWindow::StatusLabelId), status, 512);
    return status;
}

void PressTheButton(HWND window)
{
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(MainWindow::ButtonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, MainWindow::ButtonId)));
}

// --- A Cancel in the moment the window hides --------------------------------

WNDPROC originalProc = nullptr;
std::atomic<int> cancelsPressed{0};

// The window's procedure, with one change: when the window hides for the
// installer, Cancel is pressed right then, before the worker goes on.
LRESULT CALLBACK CancelWhenHidden(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    LRESULT const result = CallWindowProcW(originalProc, hwnd, message, wParam, lParam);
    if (message == WM_SHOWWINDOW && wParam == FALSE && StatusOf(hwnd).starts_with(L"Installing ")) {
        ++cancelsPressed;
        PressTheButton(hwnd);
    }
    return result;
}

TEST(InstallEnd, ACancelWhileTheWindowHidesIsHonoured)
{
    PublishSignedRelease();
    ovl::test::TempDir work;
    std::wstring const report = work.File(L"report.txt");
    Watchdog const watchdog(120s);
    MainWindow window(GetModuleHandleW(nullptr));
    originalProc = reinterpret_cast<WNDPROC>(
        SetWindowLongPtrW(window.GetHandle(), GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(CancelWhenHidden)));
    Controller controller(window, Config(), Switch::SkipInitialPrompt | Switch::SkipErrorPrompts,
                          {L"--report=" + report});
    // The cancellation's end screen waits for Close: answered from here.
    std::atomic<bool> done{false};
    std::thread closer([&] {
        while (!done) {
            if (StatusOf(window.GetHandle()) == L"Installation was canceled.")
                PostMessageW(window.GetHandle(), WM_CLOSE, 0, 0);
            std::this_thread::sleep_for(50ms);
        }
    });
    ExitCode const code = controller.Run();
    done = true;
    closer.join();
    EXPECT_EQ(cancelsPressed.load(), 1) << "the window never hid for the installer";
    EXPECT_EQ(code, ExitCode::Canceled);
    EXPECT_FALSE(ovl::test::FileExists(report)) << "the installer was started after Cancel";
}

// --- The ends after the installer ------------------------------------------

std::atomic<int> exitWindowsCalls{0};
std::atomic<UINT> exitWindowsFlags{0};
BOOL WINAPI RefuseExitWindows(UINT flags, DWORD)
{
    ++exitWindowsCalls;
    exitWindowsFlags = flags;
    SetLastError(ERROR_PRIVILEGE_NOT_HELD);
    return FALSE;
}
BOOL WINAPI AcceptExitWindows(UINT flags, DWORD)
{
    ++exitWindowsCalls;
    exitWindowsFlags = flags;
    return TRUE;
}
BOOL WINAPI AdjustWithoutThePrivilege(HANDLE, BOOL, PTOKEN_PRIVILEGES, DWORD, PTOKEN_PRIVILEGES, PDWORD)
{
    SetLastError(ERROR_NOT_ALL_ASSIGNED);
    return TRUE;
}

// One run whose installer exits with installerExit; every end screen is
// answered with its button (Restart, Close), and every status shown is kept.
struct EndRun {
    ExitCode Code = ExitCode::UnhandledError;
    std::vector<std::wstring> Statuses;
};
EndRun RunToTheEnd(int installerExit, ShutdownApi const& shutdown, SwitchFlags flags = Switch::SkipInitialPrompt)
{
    Watchdog const watchdog(120s);
    MainWindow window(GetModuleHandleW(nullptr));
    Controller controller(window, Config(), flags, {L"--exit-code=" + std::to_wstring(installerExit)});
    controller.SetShutdownApiForTesting(shutdown);
    EndRun run;
    std::mutex lock;
    std::atomic<bool> done{false};
    std::thread presser([&] {
        std::wstring last;
        while (!done) {
            std::wstring const status = StatusOf(window.GetHandle());
            if (status != last) {
                std::lock_guard const guard(lock);
                run.Statuses.push_back(status);
                last = status;
            }
            bool const endScreen = status.starts_with(L"The system must be restarted") ||
                                   status.starts_with(L"Installation of Orvelle failed");
            if (endScreen && IsWindowVisible(window.GetHandle()))
                PostMessageW(window.GetHandle(), WM_COMMAND, MAKEWPARAM(MainWindow::ButtonId, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(window.GetHandle(), MainWindow::ButtonId)));
            std::this_thread::sleep_for(50ms);
        }
    });
    run.Code = controller.Run();
    done = true;
    presser.join();
    return run;
}

ShutdownApi WithExitWindows(BOOL(WINAPI* exitWindows)(UINT, DWORD))
{
    ShutdownApi api;
    api.ExitWindowsEx = exitWindows;
    return api;
}

// A restart that Windows refuses (a standard user on a server, a locked-down
// image) leaves the restart required: 3010, so that a deployment tool still
// restarts. Wine grants every privilege and ExitWindowsEx would end the whole
// prefix: both refusals are modelled by the restart's replaceable calls.
TEST(InstallEnd, ARestartThatCannotBeStartedEndsWithRestartRequired)
{
    PublishSignedRelease();
    ShutdownApi withoutPrivilege = WithExitWindows(AcceptExitWindows);
    withoutPrivilege.AdjustTokenPrivileges = AdjustWithoutThePrivilege;
    struct Row {
        char const* Name;
        ShutdownApi Api;
        ExitCode Code;
        int ExitWindowsCalls;
    } const rows[] = {
        {"accepted", WithExitWindows(AcceptExitWindows), ExitCode::RebootInitiated, 1},
        {"ExitWindowsEx refused", WithExitWindows(RefuseExitWindows), ExitCode::RebootRequired, 1},
        {"privilege not assigned", withoutPrivilege, ExitCode::RebootRequired, 0},
    };
    for (auto const& row : rows) {
        exitWindowsCalls = 0;
        EndRun const run = RunToTheEnd(3010, row.Api);
        EXPECT_EQ(run.Code, row.Code) << row.Name;
        EXPECT_EQ(exitWindowsCalls.load(), row.ExitWindowsCalls) << row.Name;
        if (row.ExitWindowsCalls) {
            EXPECT_EQ(exitWindowsFlags.load(), static_cast<UINT>(EWX_REBOOT)) << row.Name;
        }
    }
}

// Where nobody can answer (session 0, an invisible window station), an
// installer's 3010 is passed on and the program never restarts on its own:
// the deployment tool decides. (Wine runs every process on a visible desktop:
// the entry's decision is given here as the entry makes it.)
TEST(InstallEnd, NobodyToAnswerNeverRestarts)
{
    PublishSignedRelease();
    exitWindowsCalls = 0;
    EndRun const run = RunToTheEnd(3010, WithExitWindows(AcceptExitWindows), FlagsForAudience(0, false));
    EXPECT_EQ(run.Code, ExitCode::RebootRequired);
    EXPECT_EQ(exitWindowsCalls.load(), 0);
}

// An installer that exits with 1641 has started the restart itself: the run
// ends with 1641, shows no failure and starts no restart of its own.
TEST(InstallEnd, AnInstallerThatStartedTheRestartEndsWith1641)
{
    PublishSignedRelease();
    exitWindowsCalls = 0;
    EndRun const run = RunToTheEnd(1641, WithExitWindows(AcceptExitWindows));
    EXPECT_EQ(run.Code, ExitCode::RebootInitiated);
    EXPECT_EQ(exitWindowsCalls.load(), 0);
    for (auto const& status : run.Statuses)
        EXPECT_FALSE(status.starts_with(L"Installation of Orvelle failed")) << ovl::test::Narrow(status);
}

} // namespace
} // namespace ovl::setup

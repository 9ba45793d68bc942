// The controller with the real window under Xvfb, in runs that need no
// network: failures that could leave a run without an exit code. A watchdog
// ends the process should a run hang, so that a hang fails fast.

#include "controller/Controller.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>

namespace ovl::setup {
namespace {

using namespace std::chrono_literals;

class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : thread_([this, limit] {
        if (WaitForSingleObject(stop_, static_cast<DWORD>(limit.count() * 1000)) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "the run hung: ending the test process\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }) {}
    ~Watchdog()
    {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }

private:
    HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread_;
};

Configuration Config(bool installApp)
{
    Configuration config;
    config.RuntimeVersion3 = Version3{8, 0, 1};
    config.InstallApp = installApp;
    config.AppMilestone = AppMilestone::Stable;
    config.Test = true;
    return config;
}

// Waits, from a thread of the test, until the window's status reads text.
bool WaitForStatus(MainWindow& window, std::wstring const& text)
{
    for (int i = 0; i < 1000; ++i) {
        wchar_t status[256] = {};
        SendMessageTimeoutW(GetDlgItem(window.GetHandle(), MainWindow::StatusLabelId), WM_GETTEXT, 256,
                            reinterpret_cast<LPARAM>(status), SMTO_ABORTIFHUNG, 2000, nullptr);
        if (text == status)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

// A run that ends at "Installation complete." and waits there; meanwhile
// `meddle` does something to it from another thread.
template <typename Meddle>
ExitCode RunToTheEndScreen(bool installApp, std::wstring const& waitsAt, Meddle meddle)
{
    Watchdog const watchdog(90s);
    MainWindow window(GetModuleHandleW(nullptr));
    std::thread meddler([&] {
        EXPECT_TRUE(WaitForStatus(window, waitsAt));
        meddle(window);
    });
    struct Joiner {
        std::thread& Thread;
        ~Joiner() { Thread.join(); }
    } const joiner{meddler};
    Controller controller(window, Config(installApp), 0, {});
    return controller.Run();
}

TEST(ControllerEnd, AStrayQuitWhileTheWorkerWaitsStillEndsTheRun)
{
    ExitCode const code = RunToTheEndScreen(false, L"Installation complete.", [](MainWindow& window) {
        PostThreadMessageW(GetWindowThreadProcessId(window.GetHandle(), nullptr), WM_QUIT, 0, 0);
    });
    EXPECT_EQ(code, ExitCode::Success); // the success screen, answered with Close
}

TEST(ControllerEnd, AFailureOnTheUiThreadEndsTheWorkerFirst)
{
    try {
        RunToTheEndScreen(false, L"Installation complete.", [](MainWindow& window) {
            window.PostToUi([] { throw std::runtime_error("posted callable failed"); });
        });
        ADD_FAILURE() << "Run did not report the failure";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "posted callable failed");
    }
}

// The end screen cannot be posted (no memory for it): the run still ends,
// with the code of the handler that was building it.
std::atomic<bool> throwOnNextPost{false};
BOOL WINAPI PostOrThrow(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (throwOnNextPost.exchange(false))
        throw std::bad_alloc();
    return PostMessageW(window, message, wParam, lParam);
}

TEST(ControllerEnd, AFailingEndScreenKeepsTheHandlersCode)
{
    ExitCode const code =
        RunToTheEndScreen(true, L"Orvelle is ready to be downloaded and installed.", [](MainWindow& window) {
            window.SetPostFunctionForTesting(PostOrThrow);
            throwOnNextPost = true;
            PostMessageW(window.GetHandle(), WM_CLOSE, 0, 0); // cancels at the ready prompt
        });
    EXPECT_FALSE(throwOnNextPost) << "the end screen was never posted";
    EXPECT_EQ(code, ExitCode::Canceled);
}

} // namespace
} // namespace ovl::setup

// The controller with the real window under Xvfb, in runs that need no
// network: failures that could leave a run without an exit code. A watchdog
// ends the process should a run hang, so that a hang fails fast.

#include "controller/Controller.h"
#include "entry/Audience.h"
#include "support/ShowWindowModel.h"
#include "support/Watchdog.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ovl::setup {
namespace {

using namespace std::chrono_literals;

using ovl::test::Watchdog;

Configuration Config(bool installApp)
{
    Configuration config;
    config.RuntimeVersion3 = Version3{8, 0, 1};
    config.InstallApp = installApp;
    config.AppMilestone = AppMilestone::Stable;
    config.Test = true;
    return config;
}

std::string Narrow(std::wstring const& text) { return std::string(text.begin(), text.end()); }

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


// --- Screens that wait, and runs nobody answers --------------------------------

constexpr wchar_t ReadyStatus[] = L"Orvelle is ready to be downloaded and installed.";
constexpr wchar_t CanceledStatus[] = L"Installation was canceled.";
constexpr wchar_t DownloadingStatus[] = L"Downloading Orvelle...";

// A screen the test waits for, then answers with the close box.
struct Step {
    wchar_t const* Status;
    bool MustBeVisible; // a screen that waits for the user
};

struct ScreensRun {
    ExitCode Code = ExitCode::UnhandledError;
    std::vector<bool> Visible;  // per step, when it was reached
    bool NeededRescue = false;  // the run still waited after the last step
};

// Runs the controller with the starter's show command modelled as Windows
// applies it (support/ShowWindowModel.h); there is no server at the test
// origin, so a download retries until it is canceled.
ScreensRun RunScreens(std::optional<int> starterShow, SwitchFlags flags, bool installApp, std::vector<Step> const& steps)
{
    Watchdog const watchdog(90s);
    ovl::test::showModel = {starterShow, false};
    MainWindow window(GetModuleHandleW(nullptr));
    window.SetShowSystemForTesting(starterShow, ovl::test::ShowLikeWindows);
    ScreensRun run;
    std::atomic<bool> ended{false};
    std::thread meddler([&] {
        HWND const h = window.GetHandle();
        for (Step const& step : steps) {
            EXPECT_TRUE(WaitForStatus(window, step.Status)) << "never reached";
            run.Visible.push_back(IsWindowVisible(h) != FALSE);
            PostMessageW(h, WM_CLOSE, 0, 0);
        }
        for (int i = 0; i < 750 && !ended.load(); ++i) // 15 s
            std::this_thread::sleep_for(20ms);
        if (!ended.load()) {
            run.NeededRescue = true;
            PostMessageW(h, WM_CLOSE, 0, 0);
        }
    });
    struct Joiner {
        std::thread& Thread;
        std::atomic<bool>& Ended;
        ~Joiner()
        {
            Ended = true;
            Thread.join();
        }
    } const joiner{meddler, ended};
    Controller controller(window, Config(installApp), flags, {});
    run.Code = controller.Run();
    return run;
}

TEST(ControllerScreens, EveryScreenThatWaitsIsOnScreenWhateverTheStarterAsked)
{
    struct Row {
        char const* Name;
        std::optional<int> StarterShow;
        SwitchFlags Flags;
        bool InstallApp;
        std::vector<Step> Steps;
        ExitCode Expected;
    } const rows[] = {
        {"normal start", std::nullopt, 0, true, {{ReadyStatus, true}, {CanceledStatus, true}}, ExitCode::Canceled},
        {"hidden start", SW_HIDE, 0, true, {{ReadyStatus, true}, {CanceledStatus, true}}, ExitCode::Canceled},
        {"minimized start", SW_SHOWMINNOACTIVE, 0, true, {{ReadyStatus, true}, {CanceledStatus, true}},
         ExitCode::Canceled},
        {"hidden start, success", SW_HIDE, 0, false, {{L"Installation complete.", true}}, ExitCode::Success},
        // With /Passive nothing waits until the cancellation's screen, which is
        // then the first to show the window.
        {"hidden start, /Passive, canceled", SW_HIDE, Switch::Passive, true,
         {{DownloadingStatus, false}, {CanceledStatus, true}}, ExitCode::Canceled},
        {"minimized start, /Passive, canceled", SW_SHOWMINNOACTIVE, Switch::Passive, true,
         {{DownloadingStatus, false}, {CanceledStatus, true}}, ExitCode::Canceled},
    };
    for (auto const& row : rows) {
        ScreensRun const run = RunScreens(row.StarterShow, row.Flags, row.InstallApp, row.Steps);
        EXPECT_EQ(run.Code, row.Expected) << row.Name;
        EXPECT_FALSE(run.NeededRescue) << row.Name;
        for (size_t i = 0; i < row.Steps.size() && i < run.Visible.size(); ++i) {
            bool const onScreen = run.Visible[i] || !row.Steps[i].MustBeVisible;
            EXPECT_TRUE(onScreen) << row.Name << ": \"" << Narrow(row.Steps[i].Status) << "\" was not on screen";
        }
    }
}

// Where no one can answer, even a cancellation does not wait: the run ends
// with its code at once. (A process in session 0 or on an invisible window
// station cannot be made under Wine; the entry's decision is tested through
// its seam in the entry tests, and here its result is given to the controller.)
TEST(ControllerScreens, NoOneToAnswerMeansNoScreenWaits)
{
    SwitchFlags const flags = FlagsForAudience(0, false);
    ScreensRun const canceled = RunScreens(std::nullopt, flags, true, {{DownloadingStatus, false}});
    EXPECT_EQ(canceled.Code, ExitCode::Canceled);
    EXPECT_FALSE(canceled.NeededRescue) << "the cancellation's screen waited";
    ScreensRun const succeeded = RunScreens(std::nullopt, flags, false, {});
    EXPECT_EQ(succeeded.Code, ExitCode::Success);
    EXPECT_FALSE(succeeded.NeededRescue) << "the success screen waited";
}

} // namespace
} // namespace ovl::setup

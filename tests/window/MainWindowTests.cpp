// The real window under Xvfb. ctest runs this in the 96 DPI prefix and in one
// whose LogPixels is 144, and names the DPI it must see in OVL_EXPECTED_DPI.

#include "window/Layout.h"
#include "window/MainWindow.h"
#include "window/WindowTestSupport.h"

#include <commctrl.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>
#include <vector>

namespace ovl::setup {
namespace {

using ovl::test::ChildRect;
using ovl::test::ClientSize;
using ovl::test::OnUi;
using ovl::test::RunWindowScenario;

int ExpectedDpi()
{
    char const* value = std::getenv("OVL_EXPECTED_DPI");
    return value ? std::atoi(value) : 96;
}

int S(int v) { return ScaleForDpi(v, ExpectedDpi()); }

struct Geometry {
    SIZE Client;
    RECT Window;
    RECT Status, Task, Label, Total, Button, Version;
    bool TaskVisible, TotalVisible;
    UINT Dpi;
};

Geometry Measure(MainWindow& w)
{
    return OnUi(w, [&] {
        HWND h = w.GetHandle();
        Geometry g{};
        g.Client = ClientSize(h);
        GetWindowRect(h, &g.Window);
        g.Status = ChildRect(h, MainWindow::StatusLabelId);
        g.Task = ChildRect(h, MainWindow::TaskProgressBarId);
        g.Label = ChildRect(h, MainWindow::TotalProgressLabelId);
        g.Total = ChildRect(h, MainWindow::TotalProgressBarId);
        g.Button = ChildRect(h, MainWindow::ButtonId);
        g.Version = ChildRect(h, MainWindow::VersionLabelId);
        g.TaskVisible = IsWindowVisible(GetDlgItem(h, MainWindow::TaskProgressBarId)) != FALSE;
        g.TotalVisible = IsWindowVisible(GetDlgItem(h, MainWindow::TotalProgressBarId)) != FALSE;
        g.Dpi = GetDpiForWindow(h);
        return g;
    });
}

int Height(RECT const& r) { return r.bottom - r.top; }
int Width(RECT const& r) { return r.right - r.left; }

TEST(MainWindowLayout, OneLineStatusAndProgressRows)
{
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] { w.SetStatusText(L"Checking prerequisites ..."); });
        Geometry const one = Measure(w);
        ASSERT_EQ(static_cast<int>(one.Dpi), ExpectedDpi()) << "the prefix does not give the expected DPI";

        int const m = S(8);
        int const h = Height(one.Status);
        int const bh = Height(one.Button);
        EXPECT_GE(h, S(20));
        EXPECT_GE(bh, S(23));
        EXPECT_GE(Width(one.Button), S(75));
        EXPECT_EQ(one.Client.cx, S(400));
        EXPECT_EQ(one.Client.cy, h + 2 * m + bh + m);
        EXPECT_EQ(one.Status.left, m);
        EXPECT_EQ(one.Status.top, m);
        EXPECT_EQ(Width(one.Status), S(400) - 2 * m);
        EXPECT_EQ(one.Button.right, S(400) - m);
        EXPECT_EQ(one.Button.top, m + h + m);
        EXPECT_EQ(one.Version.left, m);
        EXPECT_EQ(one.Version.bottom, one.Button.bottom);
        EXPECT_FALSE(one.TaskVisible);
        EXPECT_FALSE(one.TotalVisible);
        std::printf("measured at %u DPI: client %ldx%ld, status height %d, button %dx%d, version %dx%d\n", one.Dpi,
                    one.Client.cx, one.Client.cy, h, Width(one.Button), bh, Width(one.Version), Height(one.Version));

        // Both rows: margin, status, margin, task, margin, label, margin, total, margin, button, margin.
        w.InvokeOnUi([&] {
            w.ShowTaskProgress(true);
            w.ShowTotalProgress(true);
        });
        Geometry const both = Measure(w);
        EXPECT_TRUE(both.TaskVisible);
        EXPECT_TRUE(both.TotalVisible);
        EXPECT_EQ(both.Task.top, m + h + m);
        EXPECT_EQ(Height(both.Task), S(20));
        EXPECT_EQ(both.Label.top, both.Task.bottom + m);
        EXPECT_GT(Height(both.Label), 0);
        EXPECT_EQ(both.Total.top, both.Label.bottom + m);
        EXPECT_EQ(Height(both.Total), S(20));
        EXPECT_EQ(both.Button.top, both.Total.bottom + m);
        EXPECT_EQ(both.Client.cy, both.Button.bottom + m);
        EXPECT_EQ(both.Client.cx, S(400));
        EXPECT_EQ(both.Window.left, one.Window.left);
        EXPECT_EQ(both.Window.top, one.Window.top);
        std::printf("measured at %u DPI with both rows: client %ldx%ld, label height %d\n", both.Dpi, both.Client.cx,
                    both.Client.cy, Height(both.Label));

        // Hidden again: back to exactly the first size.
        w.InvokeOnUi([&] {
            w.ShowTaskProgress(false);
            w.ShowTotalProgress(false);
        });
        Geometry const back = Measure(w);
        EXPECT_EQ(back.Client.cx, one.Client.cx);
        EXPECT_EQ(back.Client.cy, one.Client.cy);
        EXPECT_EQ(Height(back.Task), 0);
    });
}

TEST(MainWindowLayout, LongStatusWrapsAndGrowsDownward)
{
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] { w.SetStatusText(L"Short."); });
        Geometry const before = Measure(w);
        std::wstring text;
        for (int i = 0; i < 30; ++i)
            text += L"The installation needs a few more words to wrap. ";
        w.InvokeOnUi([&] { w.SetStatusText(text); });
        Geometry const after = Measure(w);
        EXPECT_GT(Height(after.Status), 3 * Height(before.Status));
        EXPECT_EQ(after.Client.cx, before.Client.cx);
        EXPECT_EQ(after.Client.cy - before.Client.cy, Height(after.Status) - Height(before.Status));
        EXPECT_EQ(after.Window.left, before.Window.left);
        EXPECT_EQ(after.Window.top, before.Window.top);
    });
}

// Counts the resizes of the main window, seen by a hook on the UI thread.
std::atomic<int> resizeCount{0};
HWND hookedWindow = nullptr;
LRESULT CALLBACK CountResizes(int code, WPARAM wParam, LPARAM lParam)
{
    auto const* message = reinterpret_cast<CWPSTRUCT const*>(lParam);
    if (code == HC_ACTION && message->hwnd == hookedWindow && message->message == WM_WINDOWPOSCHANGED) {
        auto const* position = reinterpret_cast<WINDOWPOS const*>(message->lParam);
        if (!(position->flags & SWP_NOSIZE))
            ++resizeCount;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

TEST(MainWindowLayout, NoResizeWhenNothingChanged)
{
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] { w.SetStatusText(L"Same text"); });
        HHOOK hook = OnUi(w, [&] {
            hookedWindow = w.GetHandle();
            return SetWindowsHookExW(WH_CALLWNDPROC, CountResizes, nullptr, GetCurrentThreadId());
        });
        ASSERT_NE(hook, nullptr);
        resizeCount = 0;
        w.InvokeOnUi([&] {
            w.SetStatusText(L"Same text");
            w.ShowTaskProgress(false);
        });
        EXPECT_EQ(resizeCount.load(), 0);
        w.InvokeOnUi([&] { w.ShowTaskProgress(true); });
        EXPECT_EQ(resizeCount.load(), 1);
        w.InvokeOnUi([&] { UnhookWindowsHookEx(hook); });
    });
}

TEST(MainWindowLayout, DpiChangeRecreatesFontsAndMovesToTheSuggestedRectangle)
{
    // Wine gives every monitor one DPI and never sends WM_DPICHANGED: the test
    // sends it. The window keeps reporting its own DPI, so the layout stays at
    // that DPI; what changes is the fonts and the suggested position.
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] { w.SetStatusText(L"Before"); });
        auto const [fontBefore, clientBefore] = OnUi(w, [&] {
            return std::pair{SendMessageW(GetDlgItem(w.GetHandle(), MainWindow::StatusLabelId), WM_GETFONT, 0, 0),
                             ClientSize(w.GetHandle())};
        });
        auto const [fontAfter, windowAfter] = OnUi(w, [&] {
            RECT suggested{40, 50, 40 + 700, 50 + 300};
            UINT const dpi = GetDpiForWindow(w.GetHandle());
            SendMessageW(w.GetHandle(), WM_DPICHANGED, MAKEWPARAM(dpi * 2, dpi * 2), reinterpret_cast<LPARAM>(&suggested));
            RECT now{};
            GetWindowRect(w.GetHandle(), &now);
            return std::pair{SendMessageW(GetDlgItem(w.GetHandle(), MainWindow::StatusLabelId), WM_GETFONT, 0, 0), now};
        });
        EXPECT_NE(fontAfter, 0);
        EXPECT_NE(fontAfter, fontBefore);
        EXPECT_EQ(windowAfter.left, 40);
        EXPECT_EQ(windowAfter.top, 50);
        (void)clientBefore;
    });
}

TEST(MainWindowBridge, PostedCallablesRunInOrderOnTheUiThread)
{
    RunWindowScenario([](MainWindow& w) {
        DWORD const uiThread = OnUi(w, [] { return GetCurrentThreadId(); });
        std::vector<int> order;
        std::vector<DWORD> threads;
        for (int i = 0; i < 500; ++i)
            w.PostToUi([&order, &threads, i] {
                order.push_back(i);
                threads.push_back(GetCurrentThreadId());
            });
        // InvokeOnUi is processed after the posts already queued? Not guaranteed:
        // sent messages go first. Wait with a posted marker instead.
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        w.PostToUi([done] { SetEvent(done); });
        ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
        CloseHandle(done);
        ASSERT_EQ(order.size(), 500u);
        for (int i = 0; i < 500; ++i)
            EXPECT_EQ(order[i], i);
        for (DWORD t : threads)
            EXPECT_EQ(t, uiThread);
        EXPECT_NE(uiThread, GetCurrentThreadId());
    });
}

TEST(MainWindowBridge, InvokeOnUiBlocksOrRunsAtOnce)
{
    RunWindowScenario([](MainWindow& w) {
        bool ran = false;
        w.InvokeOnUi([&] {
            Sleep(100);
            ran = true;
        });
        EXPECT_TRUE(ran);

        // On the UI thread itself it runs at once, without a message.
        std::vector<int> steps;
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        w.PostToUi([&, done] {
            w.PostToUi([&] { steps.push_back(3); }); // a queued message would run after this callable
            w.InvokeOnUi([&] { steps.push_back(1); });
            steps.push_back(2);
            w.PostToUi([done] { SetEvent(done); }); // queued behind the callable that adds 3
        });
        ASSERT_EQ(WaitForSingleObject(done, 10000), WAIT_OBJECT_0);
        CloseHandle(done);
        EXPECT_EQ(steps, (std::vector<int>{1, 2, 3}));

        EXPECT_THROW(w.InvokeOnUi(nullptr), std::bad_function_call);
    });
}

// Sends button clicks (or close requests) every 20 ms from another thread
// until stopped, so that one of them arrives while the worker waits.
class Presser {
public:
    Presser(HWND window, bool closeRequest) : thread_([=, this] {
        while (!stop_) {
            if (closeRequest)
                PostMessageW(window, WM_CLOSE, 0, 0);
            else
                PostMessageW(window, WM_COMMAND, MAKEWPARAM(MainWindow::ButtonId, BN_CLICKED),
                             reinterpret_cast<LPARAM>(GetDlgItem(window, MainWindow::ButtonId)));
            Sleep(20);
        }
    }) {}
    ~Presser()
    {
        stop_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(MainWindowBridge, WaitForButtonReturnsThePressedAction)
{
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] {
            w.SetButtonAction(ButtonAction::Continue);
            w.EnableButton(true);
        });
        ButtonAction result;
        {
            Presser presser(w.GetHandle(), false);
            result = w.WaitForButton();
        }
        EXPECT_EQ(result, ButtonAction::Continue);
    });
}

TEST(MainWindowBridge, CloseRequestWhileNotClosableAnswersCloseAndKeepsTheWindow)
{
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] { w.SetButtonAction(ButtonAction::Restart); });
        ButtonAction result;
        {
            Presser presser(w.GetHandle(), true);
            result = w.WaitForButton();
        }
        EXPECT_EQ(result, ButtonAction::Close);
        EXPECT_TRUE(OnUi(w, [&] { return IsWindow(w.GetHandle()) && IsWindowVisible(w.GetHandle()); }));
    });
}

TEST(MainWindowBridge, DestroyingTheWindowAnswersClose)
{
    RunWindowScenario([](MainWindow& w) {
        std::thread closer([&] {
            Sleep(200);
            w.PostToUi([&] { w.Close(); });
        });
        EXPECT_EQ(w.WaitForButton(), ButtonAction::Close);
        closer.join();
        // Posts to the destroyed window fail; the callables are freed, not run.
        bool ran = false;
        w.PostToUi([&] { ran = true; });
        Sleep(100);
        EXPECT_FALSE(ran);
    });
}

// Posts fail as a full message queue (10,000 messages) makes them fail, for
// as many calls as the counter says.
std::atomic<int> postFailuresLeft{0};
BOOL WINAPI FailingPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (postFailuresLeft.fetch_sub(1) > 0) {
        SetLastError(ERROR_NOT_ENOUGH_QUOTA);
        return FALSE;
    }
    return PostMessageW(window, message, wParam, lParam);
}

// Waits for every callable posted before it, in order.
void WaitForPosted(MainWindow& w)
{
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    w.PostToUi([done] { SetEvent(done); });
    EXPECT_EQ(WaitForSingleObject(done, 10000), static_cast<DWORD>(WAIT_OBJECT_0)) << "a posted callable was lost";
    CloseHandle(done);
}

TEST(MainWindowBridge, APostThatFailsIsNotLost)
{
    RunWindowScenario([](MainWindow& w) {
        w.SetPostFunctionForTesting(FailingPost);
        std::vector<int> order;
        // From the worker: the post is retried until there is room.
        postFailuresLeft = 3;
        for (int i = 0; i < 100; ++i)
            w.PostToUi([&order, i] { order.push_back(i); });
        WaitForPosted(w);
        // From the UI thread, which cannot wait: what it posted runs after the
        // message it is handling (and before what is posted after it).
        HANDLE const posted = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        w.PostToUi([&] {
            postFailuresLeft = 1;
            w.PostToUi([&order] { order.push_back(100); });
            SetEvent(posted);
        });
        EXPECT_EQ(WaitForSingleObject(posted, 10000), static_cast<DWORD>(WAIT_OBJECT_0));
        CloseHandle(posted);
        WaitForPosted(w);
        w.SetPostFunctionForTesting(::PostMessageW);
        ASSERT_EQ(order.size(), 101u);
        for (int i = 0; i <= 100; ++i)
            EXPECT_EQ(order[i], i);
    });
}

TEST(MainWindowBridge, OnlyOneWakeUpIsQueuedAtATime)
{
    RunWindowScenario([](MainWindow& w) {
        // Hold the UI thread while 20,000 callables are posted: more than a
        // message queue holds, yet every one runs.
        HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        w.PostToUi([release] { WaitForSingleObject(release, 10000); });
        int ran = 0;
        for (int i = 0; i < 20000; ++i)
            w.PostToUi([&ran] { ++ran; });
        SetEvent(release);
        WaitForPosted(w);
        CloseHandle(release);
        EXPECT_EQ(ran, 20000);
    });
}

TEST(MainWindowBridge, AThrowingCallableEndsTheLoopWithItsFailure)
{
    MainWindow window(GetModuleHandleW(nullptr));
    std::thread worker;
    try {
        window.RunMessageLoop([&] {
            worker = std::thread([&] { window.PostToUi([] { throw std::runtime_error("posted callable failed"); }); });
        });
        ADD_FAILURE() << "the loop ended without the failure";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "posted callable failed");
    }
    worker.join();
}

// The loop may end while a worker still runs (a stray WM_QUIT): the worker is
// then answered until it ends. Every wait for the button answers Close, and
// what it posts and sends still runs.
TEST(MainWindowBridge, PumpingForAWorkerThatOutlivesTheLoop)
{
    MainWindow window(GetModuleHandleW(nullptr));
    std::atomic<bool> done{false};
    std::vector<ButtonAction> answers;
    bool invoked = false;
    std::thread worker;
    window.RunMessageLoop([&] {
        worker = std::thread([&] {
            window.PostToUi([] { PostQuitMessage(0); });
            answers.push_back(window.WaitForButton());
            answers.push_back(window.WaitForButton());
            window.InvokeOnUi([&] { invoked = true; });
            WaitForPosted(window);
            done = true;
        });
    });
    window.AnswerEveryWaitWithClose();
    window.PumpUntil(done);
    worker.join();
    EXPECT_EQ(answers, (std::vector<ButtonAction>{ButtonAction::Close, ButtonAction::Close}));
    EXPECT_TRUE(invoked);
    MSG quit;
    EXPECT_FALSE(PeekMessageW(&quit, nullptr, WM_QUIT, WM_QUIT, PM_NOREMOVE)) << "a quit request was left behind";
}

// What the button sends its parent when it is clicked.
void SendClick(HWND window)
{
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(MainWindow::ButtonId, BN_CLICKED),
                 reinterpret_cast<LPARAM>(GetDlgItem(window, MainWindow::ButtonId)));
}

TEST(MainWindowBridge, PressWhileNobodyWaitsIsNotRememberedButItsHandlerRuns)
{
    RunWindowScenario([](MainWindow& w) {
        std::vector<ButtonAction> handled;
        w.InvokeOnUi([&] {
            w.SetButtonAction(ButtonAction::Continue);
            w.SetButtonHandler([&](ButtonAction a) { handled.push_back(a); });
            SendClick(w.GetHandle());
        });
        EXPECT_EQ(handled, std::vector<ButtonAction>{ButtonAction::Continue});
        // The earlier press does not answer this wait; a later close request does.
        std::thread closer([&] {
            Sleep(300);
            PostMessageW(w.GetHandle(), WM_CLOSE, 0, 0);
        });
        EXPECT_EQ(w.WaitForButton(), ButtonAction::Close);
        closer.join();
    });
}

TEST(MainWindowBridge, HandlerFiresOncePerSetButtonHandler)
{
    RunWindowScenario([](MainWindow& w) {
        int calls = 0;
        auto click = [&] { SendClick(w.GetHandle()); };
        w.InvokeOnUi([&] {
            w.SetButtonAction(ButtonAction::Cancel);
            w.EnableButton(true);
            w.SetButtonHandler([&](ButtonAction) { ++calls; });
            click();
            click();
        });
        EXPECT_EQ(calls, 1);
        w.InvokeOnUi([&] {
            w.SetButtonHandler([&](ButtonAction) { ++calls; });
            click();
        });
        EXPECT_EQ(calls, 2);
        // An empty handler clears it.
        w.InvokeOnUi([&] {
            w.SetButtonHandler([&](ButtonAction) { ++calls; });
            w.SetButtonHandler(nullptr);
            click();
        });
        EXPECT_EQ(calls, 2);
    });
}

TEST(MainWindowBridge, CloseWithADisabledButtonCallsTheHandlerWithClose)
{
    RunWindowScenario([](MainWindow& w) {
        std::vector<ButtonAction> handled;
        w.InvokeOnUi([&] {
            w.SetButtonAction(ButtonAction::Cancel);
            w.EnableButton(false);
            w.SetButtonHandler([&](ButtonAction a) { handled.push_back(a); });
            SendMessageW(w.GetHandle(), WM_CLOSE, 0, 0);
            SendMessageW(w.GetHandle(), WM_CLOSE, 0, 0); // the handler was taken out
        });
        EXPECT_EQ(handled, std::vector<ButtonAction>{ButtonAction::Close});
        EXPECT_TRUE(OnUi(w, [&] { return IsWindow(w.GetHandle()) != FALSE; }));
    });
}

TEST(MainWindowControls, ClassTitleIdsAndInitialTexts)
{
    RunWindowScenario([](MainWindow& w) {
        w.InvokeOnUi([&] {
            HWND h = w.GetHandle();
            wchar_t text[256];
            GetClassNameW(h, text, 256);
            EXPECT_STREQ(text, L"OvlSetupDownloaderMainWindow");
            GetWindowTextW(h, text, 256);
            EXPECT_STREQ(text, L"Orvelle Downloader");
            LONG const style = GetWindowLongW(h, GWL_STYLE);
            EXPECT_EQ(style & (WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX), WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX);
            EXPECT_EQ(style & (WS_MAXIMIZEBOX | WS_THICKFRAME), 0);
            // The icon's images are stored as PNG: each size loads as an icon of that size.
            ASSERT_NE(GetClassLongPtrW(h, GCLP_HICON), 0);
            for (int const size : {16, 24, 32, 48, 64, 256}) {
                HICON const icon = static_cast<HICON>(
                    LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(101), IMAGE_ICON, size, size, 0));
                ASSERT_NE(icon, nullptr) << size;
                ICONINFO info{};
                ASSERT_TRUE(GetIconInfo(icon, &info)) << size;
                BITMAP color{};
                GetObjectW(info.hbmColor, sizeof(color), &color);
                EXPECT_EQ(color.bmWidth, size);
                DeleteObject(info.hbmColor);
                DeleteObject(info.hbmMask);
                DestroyIcon(icon);
            }

            struct Row {
                int Id;
                wchar_t const* Class;
                wchar_t const* Text;
            } const rows[] = {
                {100, L"Static", L""},
                {101, L"msctls_progress32", L""},
                {102, L"Static", L"Total progress:"},
                {103, L"msctls_progress32", L""},
                {104, L"Button", L"Close"},
            };
            for (auto const& row : rows) {
                HWND child = GetDlgItem(h, row.Id);
                ASSERT_NE(child, nullptr) << row.Id;
                GetClassNameW(child, text, 256);
                EXPECT_EQ(_wcsicmp(text, row.Class), 0) << row.Id << " is " << text;
                GetWindowTextW(child, text, 256);
                EXPECT_STREQ(text, row.Text) << row.Id;
            }
            HWND button = GetDlgItem(h, 104);
            EXPECT_TRUE(GetWindowLongW(button, GWL_STYLE) & BS_DEFPUSHBUTTON);
            EXPECT_TRUE(GetWindowLongW(button, GWL_STYLE) & WS_TABSTOP);
            EXPECT_FALSE(IsWindowEnabled(GetDlgItem(h, 105)));
            // The small font is four fifths of the message font.
            LOGFONTW message{}, small{};
            GetObjectW(reinterpret_cast<HFONT>(SendMessageW(button, WM_GETFONT, 0, 0)), sizeof(message), &message);
            GetObjectW(reinterpret_cast<HFONT>(SendMessageW(GetDlgItem(h, 105), WM_GETFONT, 0, 0)), sizeof(small),
                       &small);
            EXPECT_EQ(small.lfHeight, MulDiv(message.lfHeight, 4, 5));
            EXPECT_NE(message.lfHeight, 0);
        });
        w.InvokeOnUi([&] {
            for (auto const action : {ButtonAction::Cancel, ButtonAction::Continue, ButtonAction::Restart,
                                      ButtonAction::Close}) {
                w.SetButtonAction(action);
                wchar_t text[64];
                GetWindowTextW(GetDlgItem(w.GetHandle(), 104), text, 64);
                EXPECT_STREQ(text, GetButtonCaption(action));
            }
        });
    });
}

TEST(MainWindowProgress, MarqueeAndDeterminateSwitching)
{
    RunWindowScenario([](MainWindow& w) {
        auto state = [&] {
            return OnUi(w, [&] {
                HWND bar = GetDlgItem(w.GetHandle(), MainWindow::TaskProgressBarId);
                bool const marquee = (GetWindowLongPtrW(bar, GWL_STYLE) & PBS_MARQUEE) != 0;
                int const position = static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0));
                int const upper = static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0));
                return std::tuple{marquee, position, upper};
            });
        };
        w.InvokeOnUi([&] {
            w.ShowTaskProgress(true);
            w.SetTaskProgress(std::nullopt);
        });
        EXPECT_TRUE(std::get<0>(state()));
        w.InvokeOnUi([&] { w.SetTaskProgress(37); });
        auto const [marquee, position, upper] = state();
        EXPECT_FALSE(marquee);
        EXPECT_EQ(position, 37);
        EXPECT_EQ(upper, 100);
        w.InvokeOnUi([&] { w.SetTaskProgress(std::nullopt); });
        EXPECT_TRUE(std::get<0>(state()));
        // The 30 ms marquee step is not readable back from the control.

        w.InvokeOnUi([&] {
            w.ShowTotalProgress(true);
            w.SetTotalProgressRange(4);
            w.SetTotalProgress(1);
        });
        auto const [totalPosition, totalUpper] = OnUi(w, [&] {
            HWND bar = GetDlgItem(w.GetHandle(), MainWindow::TotalProgressBarId);
            return std::pair{static_cast<int>(SendMessageW(bar, PBM_GETPOS, 0, 0)),
                             static_cast<int>(SendMessageW(bar, PBM_GETRANGE, FALSE, 0))};
        });
        EXPECT_EQ(totalPosition, 1);
        EXPECT_EQ(totalUpper, 4);

        std::wstring const text = OnUi(w, [&] { return w.BuildClipboardText(); });
        EXPECT_NE(text.find(L"\r\nProgress: 0%\r\n"), std::wstring::npos) << text.c_str();
        EXPECT_NE(text.find(L"\r\nTotal progress: 25%\r\n"), std::wstring::npos) << text.c_str();
        EXPECT_NE(text.find(L"[ Close ]"), std::wstring::npos);
        w.InvokeOnUi([&] { w.EnableButton(false); });
        EXPECT_EQ(OnUi(w, [&] { return w.BuildClipboardText(); }).find(L"[ "), std::wstring::npos);
    });
}

// Ctrl+C typed on the keyboard, with focus on the window and then on the
// button after a real mouse click on it.
using ovl::test::TypeCtrlC;

void ClickAt(POINT screen)
{
    SetCursorPos(screen.x, screen.y);
    INPUT clicks[2] = {};
    clicks[0].type = clicks[1].type = INPUT_MOUSE;
    clicks[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    clicks[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, clicks, sizeof(INPUT));
}

std::wstring WaitForClipboard(std::wstring const& expected)
{
    std::wstring text;
    for (int i = 0; i < 100; ++i) {
        text = ovl::test::ClipboardText();
        if (text == expected)
            break;
        Sleep(50);
    }
    return text;
}

TEST(MainWindowClipboard, CtrlCCopiesTheTextWithFocusOnTheWindowAndOnTheButton)
{
    RunWindowScenario([](MainWindow& w) {
        int clicks = 0;
        w.InvokeOnUi([&] {
            w.SetStatusText(L"Downloading Orvelle 5.1...");
            w.ShowTaskProgress(true);
            w.SetTaskProgress(42);
            w.ShowTotalProgress(true);
            w.SetTotalProgressRange(4);
            w.SetTotalProgress(1);
            w.SetButtonAction(ButtonAction::Cancel);
            w.EnableButton(true);
            w.SetButtonHandler([&](ButtonAction) { ++clicks; });
            SetForegroundWindow(w.GetHandle());
            SetFocus(w.GetHandle());
        });
        std::wstring const version = MainWindow::GetVersionText();
        std::wstring const expected = L"Orvelle Downloader\r\n\r\nDownloading Orvelle 5.1...\r\nProgress: 42%\r\n"
                                      L"Total progress: 25%\r\n[ Cancel ]\r\n\r\n" +
                                      version + L"\r\n";

        ovl::test::ClearClipboard();
        TypeCtrlC();
        EXPECT_EQ(WaitForClipboard(expected), expected);

        // Click the button for real: focus moves to it, and Ctrl+C still copies.
        POINT const center = OnUi(w, [&] {
            RECT r{};
            GetWindowRect(GetDlgItem(w.GetHandle(), MainWindow::ButtonId), &r);
            return POINT{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
        });
        ClickAt(center);
        for (int i = 0; i < 100 && OnUi(w, [&] { return clicks; }) == 0; ++i)
            Sleep(20);
        EXPECT_EQ(OnUi(w, [&] { return clicks; }), 1);
        EXPECT_EQ(OnUi(w, [&] { return GetFocus(); }), OnUi(w, [&] { return GetDlgItem(w.GetHandle(), MainWindow::ButtonId); }));

        ovl::test::ClearClipboard();
        TypeCtrlC();
        EXPECT_EQ(WaitForClipboard(expected), expected);
        EXPECT_EQ(OnUi(w, [&] { return clicks; }), 1); // Ctrl+C did not press the button
    });
}

TEST(MainWindowVersion, ReadsTheProductVersionAndArchitecture)
{
    EXPECT_EQ(MainWindow::GetVersionText(), std::wstring(OVL_EXPECTED_VERSION_LINE));
    RunWindowScenario([](MainWindow& w) {
        wchar_t text[256];
        w.InvokeOnUi([&] { GetWindowTextW(GetDlgItem(w.GetHandle(), MainWindow::VersionLabelId), text, 256); });
        EXPECT_STREQ(text, OVL_EXPECTED_VERSION_LINE);
    });
}

} // namespace
} // namespace ovl::setup

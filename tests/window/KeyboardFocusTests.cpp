// The real window under Xvfb, from the keyboard: the button holds the focus
// with its focus cue whenever it can be pressed, also after the window is
// activated again, and the keys the window handles act only when they may.

#include "window/AccessibleName.h"
#include "window/MainWindow.h"
#include "window/WindowTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

namespace ovl::setup {
namespace {

using namespace std::chrono_literals;
using ovl::test::OnUi;
using ovl::test::RunWindowScenario;

HWND Button(MainWindow& w) { return GetDlgItem(w.GetHandle(), MainWindow::ButtonId); }

// Whether the button has the focus and draws its focus cue, read on the UI thread.
bool ButtonFocusedWithCue(MainWindow& w)
{
    return OnUi(w, [&] {
        HWND const button = Button(w);
        LRESULT const hidden = SendMessageW(button, WM_QUERYUISTATE, 0, 0);
        return GetFocus() == button && !(hidden & UISF_HIDEFOCUS);
    });
}

// Polls, since activation and focus arrive as messages.
template <typename Condition>
bool Eventually(Condition condition)
{
    for (int i = 0; i < 150; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void ShowScreen(MainWindow& w, ButtonAction action, bool enabled)
{
    w.InvokeOnUi([&] {
        w.SetStatusText(L"A screen");
        w.SetButtonAction(action);
        w.EnableButton(enabled);
    });
}

TEST(KeyboardFocus, TheButtonHasTheFocusWithItsCueWheneverItCanBePressed)
{
    RunWindowScenario([](MainWindow& w) {
        ovl::test::BringToFront(w.GetHandle());
        ShowScreen(w, ButtonAction::Cancel, false);
        EXPECT_TRUE(Eventually([&] { return OnUi(w, [&] { return GetFocus() == w.GetHandle(); }); }))
            << "with the button disabled the window itself should have the focus";
        ShowScreen(w, ButtonAction::Continue, true);
        EXPECT_TRUE(Eventually([&] { return ButtonFocusedWithCue(w); })) << "enabled button without focus or cue";

        // Another window takes the activation; coming back gives the focus to the button again.
        HWND other = OnUi(w, [] {
            HWND created = CreateWindowExW(0, L"STATIC", L"other", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200, 100,
                                           nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
            SetForegroundWindow(created);
            SetFocus(created);
            return created;
        });
        EXPECT_TRUE(Eventually([&] { return OnUi(w, [&] { return GetFocus() == other; }); }));
        ovl::test::BringToFront(w.GetHandle());
        EXPECT_TRUE(Eventually([&] { return ButtonFocusedWithCue(w); })) << "no focus after activating again";
        w.InvokeOnUi([&] { DestroyWindow(other); });
    });
}

// Real key presses: what each key does with the button enabled and disabled.
TEST(KeyboardFocus, KeysPressTheButtonOrCloseOnlyWhileTheButtonIsEnabled)
{
    struct Row {
        WORD Key;
        bool Enabled;
        int ExpectedPresses; // button presses
        int ExpectedCloses;  // close requests (what the close box does)
    } const rows[] = {
        {VK_RETURN, true, 1, 0}, {VK_SPACE, true, 1, 0}, {VK_ESCAPE, true, 0, 1},
        {VK_RETURN, false, 0, 0}, {VK_SPACE, false, 0, 0}, {VK_ESCAPE, false, 0, 0},
    };
    for (auto const& row : rows) {
        std::atomic<int> presses{0};
        std::atomic<int> closes{0};
        RunWindowScenario([&](MainWindow& w) {
            ovl::test::BringToFront(w.GetHandle());
            ShowScreen(w, ButtonAction::Cancel, row.Enabled);
            w.InvokeOnUi([&] {
                w.SetButtonHandler([&](ButtonAction action) { ++(action == ButtonAction::Close ? closes : presses); });
            });
            ovl::test::TypeKey(row.Key);
            if (row.ExpectedPresses + row.ExpectedCloses > 0)
                Eventually([&] { return presses + closes > 0; });
            else
                std::this_thread::sleep_for(500ms); // time enough for a key that would act
            w.InvokeOnUi([] {}); // the key's messages have been handled
        });
        EXPECT_EQ(presses.load(), row.ExpectedPresses) << "key " << row.Key << ", enabled " << row.Enabled;
        EXPECT_EQ(closes.load(), row.ExpectedCloses) << "key " << row.Key << ", enabled " << row.Enabled;
    }
}

// A key held down presses once: autorepeat (key-down messages with the
// previous-state bit, as the keyboard sends them) does not press again.
TEST(KeyboardFocus, AHeldKeyPressesOnce)
{
    std::atomic<int> presses{0};
    RunWindowScenario([&](MainWindow& w) {
        ShowScreen(w, ButtonAction::Continue, true);
        auto const count = [&] { w.InvokeOnUi([&] { w.SetButtonHandler([&](ButtonAction) { ++presses; }); }); };
        HWND const button = Button(w);
        count();
        PostMessageW(button, WM_KEYDOWN, VK_RETURN, 0x00000001);
        EXPECT_TRUE(Eventually([&] { return presses.load() == 1; }));
        count(); // the next screen's handler
        PostMessageW(button, WM_KEYDOWN, VK_RETURN, 0x40000001);
        PostMessageW(button, WM_KEYDOWN, VK_RETURN, 0x40000001);
        std::this_thread::sleep_for(200ms);
        w.InvokeOnUi([] {}); // the posted keys have been handled
    });
    EXPECT_EQ(presses.load(), 1);
}

// Name-change events recorded on the UI thread, where the window raises them.
// (Wine delivers win events only to hooks of the raising thread, so a screen
// reader in another process could not observe them here; Windows delivers
// them to every out-of-context hook.)
struct NameChangeRecorder {
    static inline std::vector<std::pair<HWND, LONG>> events;
    static void CALLBACK Record(HWINEVENTHOOK, DWORD, HWND window, LONG object, LONG child, DWORD, DWORD)
    {
        if (child == CHILDID_SELF)
            events.emplace_back(window, object);
    }
    static bool Seen(HWND window, LONG object)
    {
        return std::find(events.begin(), events.end(), std::make_pair(window, object)) != events.end();
    }
};

TEST(ScreenReaderEvents, ANewStatusIsAnnouncedForTheStatusAndTheTaskBarItNames)
{
    RunWindowScenario([](MainWindow& w) {
        HWND const status = GetDlgItem(w.GetHandle(), MainWindow::StatusLabelId);
        HWND const taskBar = GetDlgItem(w.GetHandle(), MainWindow::TaskProgressBarId);
        HWINEVENTHOOK const hook = OnUi(w, [&] {
            w.ShowTaskProgress(true);
            w.SetStatusText(L"Checking prerequisites ...");
            NameChangeRecorder::events.clear();
            return SetWinEventHook(EVENT_OBJECT_NAMECHANGE, EVENT_OBJECT_NAMECHANGE, nullptr,
                                   NameChangeRecorder::Record, GetCurrentProcessId(), 0, WINEVENT_OUTOFCONTEXT);
        });
        ASSERT_NE(hook, nullptr) << GetLastError();
        w.InvokeOnUi([&] { w.SetStatusText(L"Downloading Orvelle..."); });
        EXPECT_TRUE(Eventually([&] { return OnUi(w, [&] { return NameChangeRecorder::Seen(taskBar, OBJID_CLIENT); }); }))
            << "the task bar's new name was not announced";
        EXPECT_TRUE(Eventually([&] { return OnUi(w, [&] { return NameChangeRecorder::Seen(status, OBJID_CLIENT); }); }))
            << "the new status was not announced";
        w.InvokeOnUi([&] { UnhookWinEvent(hook); });
    });
}

TEST(AccessibleName, ALabelsTextWithoutMnemonicsAndColon)
{
    struct Row {
        wchar_t const* Label;
        wchar_t const* Expected;
    } const rows[] = {
        {L"Total progress:", L"Total progress"},
        {L"&Total progress:", L"Total progress"},
        {L"Tom && Jerry:", L"Tom & Jerry"},
        {L"Downloading Orvelle...", L"Downloading Orvelle..."},
        {L"Ready: ", L"Ready"},
        {L"", L""},
        {L"&", L"&"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(AccessibleNameFromLabel(row.Label), row.Expected) << ovl::test::Narrow(row.Label);
}

} // namespace
} // namespace ovl::setup

// The window's first appearance under the documented first-call rule of
// ShowWindow (see support/ShowWindowModel.h): whatever the starter asked, a
// screen that waits for the user is on screen, and a hidden start that may
// stay hidden stays so until a screen that waits shows the window.

#include "support/ShowWindowModel.h"
#include "window/MainWindow.h"
#include "window/ShowCommand.h"
#include "window/WindowTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <optional>
#include <string>
#include <thread>

namespace ovl::setup {
namespace {

using ovl::test::OnUi;
using ovl::test::ShowLikeWindows;
using ovl::test::showModel;

struct Seen {
    bool FirstVisible = false; // after the first appearance
    bool FirstMinimized = false;
    bool FirstMaximized = false;
    bool EndScreenVisible = false; // after Show(), as every end screen does
};

Seen RunWithStarter(std::optional<int> starterShow, bool mayStayHidden)
{
    showModel = {starterShow, false};
    Seen seen;
    MainWindow window(GetModuleHandleW(nullptr));
    window.SetShowSystemForTesting(starterShow, ShowLikeWindows);
    std::thread worker;
    window.RunMessageLoop(
        [&] {
            worker = std::thread([&] {
                HWND const h = window.GetHandle();
                OnUi(window, [&] {
                    seen.FirstVisible = IsWindowVisible(h) != FALSE;
                    seen.FirstMinimized = IsIconic(h) != FALSE;
                    seen.FirstMaximized = IsZoomed(h) != FALSE;
                    window.Show();
                    seen.EndScreenVisible = IsWindowVisible(h) != FALSE;
                    return 0;
                });
                window.PostToUi([&] { window.Close(); });
            });
        },
        mayStayHidden);
    worker.join();
    return seen;
}

struct StartCase {
    char const* Name;
    std::optional<int> StarterShow;
    bool MayStayHidden; // /Passive
    bool ExpectFirstVisible;
    bool ExpectMinimized;
};

class FirstShowTest : public ::testing::TestWithParam<StartCase> {};

TEST_P(FirstShowTest, EveryScreenThatWaitsIsVisible)
{
    StartCase const& c = GetParam();
    Seen const seen = RunWithStarter(c.StarterShow, c.MayStayHidden);
    EXPECT_EQ(seen.FirstVisible, c.ExpectFirstVisible) << c.Name << ": the first screen (the ready prompt)";
    EXPECT_EQ(seen.FirstMinimized, c.ExpectMinimized) << c.Name;
    EXPECT_FALSE(seen.FirstMaximized) << c.Name << ": the fixed-size window was maximized";
    EXPECT_TRUE(seen.EndScreenVisible) << c.Name << ": an end screen stayed hidden";
    if (c.StarterShow) {
        EXPECT_TRUE(showModel.Consumed) << c.Name << ": the starter's command was never consumed";
    }
}

INSTANTIATE_TEST_SUITE_P(
    Starts, FirstShowTest,
    ::testing::Values(StartCase{"no show command", std::nullopt, false, true, false},
                      StartCase{"no show command, /Passive", std::nullopt, true, true, false},
                      StartCase{"normal", SW_SHOWNORMAL, false, true, false},
                      StartCase{"normal, /Passive", SW_SHOWNORMAL, true, true, false},
                      StartCase{"hidden", SW_HIDE, false, true, false},
                      StartCase{"hidden, /Passive", SW_HIDE, true, false, false},
                      StartCase{"minimized", SW_SHOWMINNOACTIVE, false, true, true},
                      StartCase{"minimized, /Passive", SW_SHOWMINNOACTIVE, true, true, true},
                      StartCase{"maximized", SW_SHOWMAXIMIZED, false, true, false}),
    [](::testing::TestParamInfo<StartCase> const& row) {
        std::string name;
        for (char const* c = row.param.Name; *c; ++c)
            if ((*c >= 'a' && *c <= 'z') || (*c >= 'A' && *c <= 'Z'))
                name += *c;
        return name;
    });

// A message box shown before any window of ours (a failure at the entry) in
// a hidden start: once the starter's SW_HIDE has been taken up on a throwaway
// window, the box's first SW_SHOWNORMAL shows it. Only a hidden start needs
// that; other starts leave the command to the box.
TEST(FirstShow, AHiddenStartsCommandIsTakenUpBeforeAMessageBox)
{
    struct Row {
        std::optional<int> StarterShow;
        bool ExpectConsumed;
    } const rows[] = {{SW_HIDE, true}, {SW_SHOWMINNOACTIVE, false}, {std::nullopt, false}};
    for (auto const& row : rows) {
        showModel = {row.StarterShow, false};
        ConsumeHiddenStartCommand(row.StarterShow, ShowLikeWindows);
        EXPECT_EQ(showModel.Consumed, row.ExpectConsumed) << row.StarterShow.value_or(-1);
        // The box, modelled as a top-level window shown as dialogs are.
        HWND const box = CreateWindowExW(0, L"STATIC", L"box", WS_POPUP | WS_CAPTION, 0, 0, 100, 50, nullptr, nullptr,
                                         GetModuleHandleW(nullptr), nullptr);
        ShowLikeWindows(box, SW_SHOWNORMAL);
        if (row.StarterShow == SW_HIDE) {
            EXPECT_TRUE(IsWindowVisible(box)) << "the box stayed hidden";
        }
        DestroyWindow(box);
    }
}

} // namespace
} // namespace ovl::setup

#pragma once
// How the window first appears. Windows applies the starter's STARTUPINFO
// show command to the first SW_SHOWDEFAULT, SW_SHOWNORMAL or SW_SHOW of the
// process's first top-level window, whatever the program asked for ("ignored
// the first time"). The program therefore takes that command up on purpose,
// on a window nobody sees, then applies the command it chose itself, so that
// a hidden start is handled the same on every system, and no later SW_SHOW
// (an end screen) is turned into the starter's SW_HIDE.

#include <windows.h>

#include <optional>

namespace ovl::setup {

// startupShow: STARTUPINFO's wShowWindow when the starter set
// STARTF_USESHOWWINDOW, else none. mayStayHidden: nothing of the run will
// wait for the user, so a hidden start may stay hidden.
// The answer is SW_HIDE only for a hidden start that may stay hidden; any
// other hidden start is shown normally, since its prompts wait. Minimized and
// not-activated starts keep their command; maximized ones show normally (the
// window has a fixed size).
int ChooseShowCommand(std::optional<int> startupShow, bool mayStayHidden) noexcept;

// The starter's show command, from this process's STARTUPINFO.
std::optional<int> ReadStartupShowCommand() noexcept;

// How a top-level window is shown; tests replace it with a model of the rule above.
using ShowWindowFunction = BOOL(WINAPI*)(HWND, int);

// A window's first appearance: the starter's command (startupShow) taken up
// with SW_SHOWDEFAULT on a window nobody sees, then the chosen one applied.
void ShowFirstTime(HWND window, std::optional<int> startupShow, int chosen, ShowWindowFunction show);

// Takes up the starter's show command on a window nobody sees, so that
// a message box shown before any window of ours is not hidden by a hidden
// start. Only a hidden start needs it (any other start shows the box as the
// starter asked, where the user can reach it).
void ConsumeHiddenStartCommand(std::optional<int> startupShow, ShowWindowFunction show = ::ShowWindow) noexcept;

} // namespace ovl::setup

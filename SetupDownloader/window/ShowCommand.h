#pragma once
// How the window first appears. Windows resolves SW_SHOWDEFAULT from the
// STARTUPINFO its starter gave; the window resolves it itself, so that a
// hidden start is handled the same on every system, and never on the
// assumption that the window will be shown.

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

} // namespace ovl::setup

#pragma once
// Names for screen readers of controls that have no text of their own (the
// progress bars): each is named by the label above it, through the control's
// standard accessible object with only its name replaced.

#include <windows.h>

#include <string>

namespace ovl::setup {

// The name a label's text gives: without its mnemonic ampersands and its
// trailing colon ("&Total progress:" names "Total progress").
std::wstring AccessibleNameFromLabel(std::wstring const& labelText);

// From now on, the control's accessible name (MSAA and UI Automation, which
// reads it through WM_GETOBJECT) is the text of label, read when asked. When
// the accessibility library cannot be loaded, the control keeps its standard
// object. The label must live as long as the control.
void NameControlByLabel(HWND control, HWND label) noexcept;

// Tells screen readers that the name of the control's client object changed:
// a label's new text, or a control named by it. (Windows raises the event
// for the window object itself on SetWindowText; not every system raises it,
// and screen readers read a control's name from its client object.)
void AnnounceNameChange(HWND control) noexcept;

} // namespace ovl::setup

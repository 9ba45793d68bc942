#pragma once
// The window's layout arithmetic and the Ctrl+C text, as plain logic fed with
// measured sizes, so that both can be checked without a window.

#include <optional>
#include <string>
#include <string_view>

namespace ovl::setup {

// v x dpi / 96, rounded to the nearest integer with halves away from zero (MulDiv).
int ScaleForDpi(int value, int dpi) noexcept;

struct LayoutRect {
    int X = 0;
    int Y = 0;
    int Width = 0;
    int Height = 0;
    friend bool operator==(LayoutRect const&, LayoutRect const&) = default;
};

struct LayoutSize {
    int Width = 0;
    int Height = 0;
    friend bool operator==(LayoutSize const&, LayoutSize const&) = default;
};

// Margin, client width and content width at a DPI for the current client width.
struct LayoutFrame {
    int Margin = 0;
    int Width = 0;        // max(client width, s(400))
    int ContentWidth = 0; // Width - 2 x Margin
};
LayoutFrame ComputeLayoutFrame(int dpi, int clientWidth) noexcept;

// What the window measured for the frame's content width.
struct LayoutMeasures {
    bool HasStatus = true;
    int StatusHeight = 0;        // DrawTextW height of the wrapped status text (0 when not measured)
    int TotalLabelHeight = 0;    // one line of "Total progress:"
    LayoutSize IdealButton;      // BCM_GETIDEALSIZE's answer, starting from s(75) x s(23)
    bool HasVersion = true;
    LayoutSize Version;          // one line of the version text
};

struct Layout {
    LayoutFrame Frame;
    LayoutRect Status;
    bool TaskShown = false;
    LayoutRect TaskBar;
    bool TotalShown = false;
    LayoutRect TotalLabel;
    LayoutRect TotalBar;
    LayoutRect Button;
    LayoutRect Version;
    LayoutSize NeededClient;
};

// The stack from the top: margin, status, [margin, task bar], [margin, label,
// margin, total bar], margin, button, margin; the version line sits on the
// left with its bottom level with the button's.
Layout ComputeLayout(int dpi, int clientWidth, bool taskVisible, bool totalVisible, LayoutMeasures const& measures);

// What Ctrl+C copies, with CR LF line breaks.
struct WindowTextState {
    std::wstring_view Title;
    std::wstring_view Status;
    bool TaskVisible = false;
    std::optional<int> TaskProgress; // none: marquee
    bool TotalVisible = false;
    int TotalPosition = 0;
    int TotalRange = 100;
    bool ButtonEnabled = false;
    std::wstring_view ButtonCaption;
    std::optional<std::wstring_view> VersionText; // none: no version line
};
std::wstring BuildWindowText(WindowTextState const& state);

} // namespace ovl::setup

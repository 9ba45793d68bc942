#include "window/Layout.h"

#include "platform/Text.h"

#include <algorithm>
#include <cstdint>

namespace ovl::setup {

int ScaleForDpi(int value, int dpi) noexcept
{
    std::int64_t const product = static_cast<std::int64_t>(value) * dpi;
    std::int64_t const half = product >= 0 ? 48 : -48;
    return static_cast<int>((product + half) / 96);
}

LayoutFrame ComputeLayoutFrame(int dpi, int clientWidth) noexcept
{
    LayoutFrame frame;
    frame.Margin = ScaleForDpi(8, dpi);
    frame.Width = std::max(clientWidth, ScaleForDpi(400, dpi));
    frame.ContentWidth = frame.Width - 2 * frame.Margin;
    return frame;
}

Layout ComputeLayout(int dpi, int clientWidth, bool taskVisible, bool totalVisible, LayoutMeasures const& measures)
{
    Layout layout;
    layout.Frame = ComputeLayoutFrame(dpi, clientWidth);
    int const m = layout.Frame.Margin;
    int const cw = layout.Frame.ContentWidth;
    int const row = ScaleForDpi(20, dpi);

    int const statusHeight = std::max(measures.HasStatus && cw > 0 ? measures.StatusHeight : 0, ScaleForDpi(20, dpi));
    layout.Status = {m, m, cw, statusHeight};
    int y = m + statusHeight;

    layout.TaskShown = taskVisible;
    if (taskVisible) {
        y += m;
        layout.TaskBar = {m, y, cw, row};
        y += row;
    } else {
        layout.TaskBar = {m, y, cw, 0};
    }

    layout.TotalShown = totalVisible;
    if (totalVisible) {
        y += m;
        layout.TotalLabel = {m, y, cw, measures.TotalLabelHeight};
        y += measures.TotalLabelHeight;
        y += m;
        layout.TotalBar = {m, y, cw, row};
        y += row;
    } else {
        layout.TotalLabel = {m, y, cw, 0};
        layout.TotalBar = {m, y, cw, 0};
    }

    y += m;
    int const bw = std::max(measures.IdealButton.Width, ScaleForDpi(75, dpi));
    int const bh = std::max(measures.IdealButton.Height, ScaleForDpi(23, dpi));
    layout.Button = {layout.Frame.Width - m - bw, y, bw, bh};

    if (measures.HasVersion)
        layout.Version = {m, y + bh - measures.Version.Height, measures.Version.Width, measures.Version.Height};

    layout.NeededClient = {layout.Frame.Width, y + bh + m};
    return layout;
}

std::wstring BuildWindowText(WindowTextState const& state)
{
    std::wstring text(state.Title);
    text += L"\r\n\r\n";
    text += state.Status;
    if (state.TaskVisible)
        text += FormatW(L"\r\nProgress: %d%%", state.TaskProgress.value_or(0));
    if (state.TotalVisible) {
        int percent = 0;
        if (state.TotalRange > 0)
            percent = static_cast<int>(state.TotalPosition * 100.0 / state.TotalRange);
        text += FormatW(L"\r\nTotal progress: %d%%", percent);
    }
    if (state.ButtonEnabled) {
        text += L"\r\n[ ";
        text += state.ButtonCaption;
        text += L" ]";
    }
    text += L"\r\n";
    if (state.VersionText) {
        text += L"\r\n";
        text += *state.VersionText;
        text += L"\r\n";
    }
    return text;
}

} // namespace ovl::setup

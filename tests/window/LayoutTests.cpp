#include "window/Layout.h"
#include "window/ShowCommand.h"

#include <windows.h>

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

TEST(ScaleForDpi, RoundsLikeMulDiv)
{
    struct Row {
        int Value, Dpi, Expected;
    } const rows[] = {
        {8, 96, 8},     {8, 144, 12},   {400, 144, 600}, {20, 144, 30}, {75, 144, 113}, // 112.5 rounds up
        {23, 144, 35},  {23, 120, 29},  {8, 120, 10},    {75, 120, 94}, // 93.75
        {1, 48, 1},     {-1, 48, -1},   {3, 32, 1},      {0, 192, 0},    {400, 192, 800},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ScaleForDpi(row.Value, row.Dpi), row.Expected) << row.Value << " at " << row.Dpi;
}

TEST(ChooseShowCommand, HiddenStartsStayHiddenOnlyWhenNothingWaits)
{
    struct Row {
        std::optional<int> Startup;
        bool MayStayHidden;
        int Expected;
    } const rows[] = {
        {std::nullopt, false, SW_SHOWNORMAL},        {std::nullopt, true, SW_SHOWNORMAL},
        {SW_HIDE, true, SW_HIDE},                    {SW_HIDE, false, SW_SHOWNORMAL},
        {SW_SHOWNORMAL, true, SW_SHOWNORMAL},        {SW_SHOWMINNOACTIVE, false, SW_SHOWMINNOACTIVE},
        {SW_SHOWMINIMIZED, true, SW_SHOWMINIMIZED},  {SW_MINIMIZE, false, SW_MINIMIZE},
        {SW_SHOWNOACTIVATE, false, SW_SHOWNOACTIVATE}, {SW_SHOWNA, true, SW_SHOWNA},
        {SW_SHOWMAXIMIZED, false, SW_SHOWNORMAL},    {SW_SHOWDEFAULT, false, SW_SHOWNORMAL},
        {SW_FORCEMINIMIZE, false, SW_SHOWNORMAL},    {12345, true, SW_SHOWNORMAL},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ChooseShowCommand(row.Startup, row.MayStayHidden), row.Expected)
            << row.Startup.value_or(-1) << " " << row.MayStayHidden;
}

LayoutMeasures Measures(int statusHeight, int labelHeight, LayoutSize button, LayoutSize version)
{
    LayoutMeasures m;
    m.StatusHeight = statusHeight;
    m.TotalLabelHeight = labelHeight;
    m.IdealButton = button;
    m.Version = version;
    return m;
}

TEST(ComputeLayout, OneLineStatusWithoutProgressAt96Dpi)
{
    auto const layout = ComputeLayout(96, 400, false, false, Measures(13, 13, {60, 20}, {60, 10}));
    EXPECT_EQ(layout.Frame.Margin, 8);
    EXPECT_EQ(layout.Frame.ContentWidth, 384);
    EXPECT_EQ(layout.Status, (LayoutRect{8, 8, 384, 20})); // at least s(20)
    EXPECT_EQ(layout.Button, (LayoutRect{400 - 8 - 75, 36, 75, 23})); // at least s(75) x s(23)
    EXPECT_EQ(layout.Version, (LayoutRect{8, 36 + 23 - 10, 60, 10}));
    EXPECT_EQ(layout.NeededClient, (LayoutSize{400, 20 + 2 * 8 + 23 + 8}));
    EXPECT_FALSE(layout.TaskShown);
    EXPECT_EQ(layout.TaskBar.Height, 0);
    EXPECT_EQ(layout.TotalBar.Height, 0);
}

TEST(ComputeLayout, BothRowsStackAt96Dpi)
{
    auto const layout = ComputeLayout(96, 400, true, true, Measures(26, 13, {88, 26}, {70, 11}));
    EXPECT_EQ(layout.Status, (LayoutRect{8, 8, 384, 26}));
    EXPECT_EQ(layout.TaskBar, (LayoutRect{8, 42, 384, 20}));
    EXPECT_EQ(layout.TotalLabel, (LayoutRect{8, 70, 384, 13}));
    EXPECT_EQ(layout.TotalBar, (LayoutRect{8, 91, 384, 20}));
    EXPECT_EQ(layout.Button, (LayoutRect{400 - 8 - 88, 119, 88, 26}));
    EXPECT_EQ(layout.Version, (LayoutRect{8, 119 + 26 - 11, 70, 11}));
    EXPECT_EQ(layout.NeededClient, (LayoutSize{400, 119 + 26 + 8}));
}

TEST(ComputeLayout, At144Dpi)
{
    auto const layout = ComputeLayout(144, 0, true, false, Measures(19, 19, {0, 0}, {90, 15}));
    EXPECT_EQ(layout.Frame.Margin, 12);
    EXPECT_EQ(layout.Frame.Width, 600);
    EXPECT_EQ(layout.Status, (LayoutRect{12, 12, 576, 30}));
    EXPECT_EQ(layout.TaskBar, (LayoutRect{12, 54, 576, 30}));
    EXPECT_EQ(layout.Button, (LayoutRect{600 - 12 - 113, 96, 113, 35}));
    EXPECT_EQ(layout.NeededClient, (LayoutSize{600, 96 + 35 + 12}));
}

TEST(ComputeLayout, NeverNarrowerThanTheClientOrTheMinimum)
{
    EXPECT_EQ(ComputeLayout(96, 520, false, false, Measures(13, 13, {}, {})).NeededClient.Width, 520);
    EXPECT_EQ(ComputeLayout(96, 120, false, false, Measures(13, 13, {}, {})).NeededClient.Width, 400);
}

TEST(ComputeLayout, NoStatusControlStillReservesARow)
{
    LayoutMeasures m = Measures(99, 13, {}, {});
    m.HasStatus = false;
    m.HasVersion = false;
    auto const layout = ComputeLayout(96, 400, false, false, m);
    EXPECT_EQ(layout.Status.Height, 20);
    EXPECT_EQ(layout.Version, LayoutRect{});
}

TEST(BuildWindowText, ThePartsExampleDuringADownload)
{
    WindowTextState s;
    s.Title = L"Orvelle Downloader";
    s.Status = L"Downloading Orvelle 5.1...";
    s.TaskVisible = true;
    s.TaskProgress = 42;
    s.TotalVisible = true;
    s.TotalPosition = 1;
    s.TotalRange = 4;
    s.ButtonEnabled = true;
    s.ButtonCaption = L"Cancel";
    s.VersionText = L"1.2.3.4 x64";
    EXPECT_EQ(BuildWindowText(s), L"Orvelle Downloader\r\n\r\nDownloading Orvelle 5.1...\r\nProgress: 42%\r\n"
                                  L"Total progress: 25%\r\n[ Cancel ]\r\n\r\n1.2.3.4 x64\r\n");
}

TEST(BuildWindowText, OptionalLines)
{
    WindowTextState s;
    s.Title = L"T";
    s.Status = L"S";
    EXPECT_EQ(BuildWindowText(s), L"T\r\n\r\nS\r\n");

    s.TaskVisible = true; // marquee
    s.TotalVisible = true;
    s.TotalPosition = 3;
    s.TotalRange = 0;
    EXPECT_EQ(BuildWindowText(s), L"T\r\n\r\nS\r\nProgress: 0%\r\nTotal progress: 0%\r\n");

    s.TotalRange = 3;
    s.TotalPosition = 2; // 66.67 truncates
    s.TaskVisible = false;
    s.VersionText = L"v";
    EXPECT_EQ(BuildWindowText(s), L"T\r\n\r\nS\r\nTotal progress: 66%\r\n\r\nv\r\n");
}

} // namespace
} // namespace ovl::setup

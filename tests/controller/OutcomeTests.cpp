#include "controller/Outcome.h"

#include <gtest/gtest.h>

#include <cmath>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

TEST(CanceledException, IsAStandardExceptionSayingCanceled)
{
    try {
        throw CanceledException();
    } catch (std::runtime_error const&) {
        FAIL() << "CanceledException must not be a runtime_error";
    } catch (std::exception const& e) {
        EXPECT_STREQ(e.what(), "canceled");
    }
}

TEST(CancelFlag, ThrowsOnlyWhenSet)
{
    CancelFlag cancel{false};
    EXPECT_NO_THROW(ThrowIfCanceled(cancel));
    cancel = true;
    EXPECT_THROW(ThrowIfCanceled(cancel), CanceledException);
}

TEST(ExitCode, NamedValuesAreTheWindowsCodes)
{
    struct Row {
        ExitCode Code;
        std::uint32_t Value;
    } const rows[] = {
        {ExitCode::Success, 0},
        {ExitCode::OsNotSupported, 1150},
        {ExitCode::Canceled, 1223},
        {ExitCode::RebootInitiated, 1641},
        {ExitCode::RebootRequired, 3010},
        {ExitCode::InstallerSucceeded, 0x60000000},
        {ExitCode::InstallerSucceededRebootRequired, 0x60000001},
        {ExitCode::UnhandledError, 0x80000000},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ToValue(row.Code), row.Value);
}

TEST(ExitCode, OtherValuesPassThroughUnchanged)
{
    EXPECT_EQ(ToValue(ToExitCode(std::int32_t{-1})), 0xFFFFFFFFu);
    EXPECT_EQ(ToValue(ToExitCode(std::int32_t{-3010})), 0xFFFFF43Eu);
    EXPECT_EQ(ToValue(ToExitCode(std::uint32_t{0x800B0100})), 0x800B0100u);
    EXPECT_EQ(ToValue(ToExitCode(std::int32_t{1603})), 1603u);
}

TEST(ButtonAction, CaptionsBelongToTheValues)
{
    struct Row {
        std::int32_t Value;
        wchar_t const* Caption;
    } const rows[] = {
        {1, L"Cancel"}, {2, L"Close"}, {3, L"Continue"}, {4, L"Restart"},
        {0, L"Close"},  {5, L"Close"}, {-1, L"Close"},   {INT32_MAX, L"Close"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(std::wstring(GetButtonCaption(static_cast<ButtonAction>(row.Value))), row.Caption)
            << "value " << row.Value;
}

TEST(ButtonAction, ValuesAreFixed)
{
    EXPECT_EQ(static_cast<int>(ButtonAction::Cancel), 1);
    EXPECT_EQ(static_cast<int>(ButtonAction::Close), 2);
    EXPECT_EQ(static_cast<int>(ButtonAction::Continue), 3);
    EXPECT_EQ(static_cast<int>(ButtonAction::Restart), 4);
}

TEST(TaskProgressValue, TruncatesCapsAndShowsTheMarqueeForUnknown)
{
    EXPECT_EQ(TaskProgressValue(42.9), 42);
    EXPECT_EQ(TaskProgressValue(150.0), 100);
    EXPECT_EQ(TaskProgressValue(100.0), 100);
    EXPECT_EQ(TaskProgressValue(0.0), 0);
    EXPECT_EQ(TaskProgressValue(99.999), 99);
    EXPECT_EQ(TaskProgressValue(-1.0), std::nullopt);
    EXPECT_EQ(TaskProgressValue(-0.0001), std::nullopt);
    EXPECT_EQ(TaskProgressValue(std::nan("")), std::nullopt);
    EXPECT_EQ(TaskProgressValue(INFINITY), 100);
}

// A 512 MiB transfer reports once per chunk; the bar changes a hundred times.
TEST(TaskProgressFilter, PassesOnlyVisibleChanges)
{
    constexpr double total = 512.0 * 1024 * 1024;
    for (double chunk : {65536.0, 8192.0}) {
        TaskProgressFilter filter;
        filter.Shown(std::nullopt); // the stage starts with the marquee
        int reports = 0;
        int passed = 0;
        for (double received = chunk; received <= total; received += chunk) {
            ++reports;
            passed += filter.Changes(TaskProgressValue(received * 100.0 / total)) ? 1 : 0;
        }
        EXPECT_EQ(reports, static_cast<int>(total / chunk));
        EXPECT_EQ(passed, 101) << "0 to 100 once each, for chunks of " << chunk; // 0 %, 1 % ... 100 %
    }
}

TEST(TaskProgressFilter, MarqueeAndRepeatsAndOtherSetters)
{
    TaskProgressFilter filter;
    EXPECT_TRUE(filter.Changes(std::nullopt)); // nothing known yet: the first value always passes
    EXPECT_FALSE(filter.Changes(std::nullopt));
    EXPECT_TRUE(filter.Changes(5));
    EXPECT_FALSE(filter.Changes(5));
    EXPECT_TRUE(filter.Changes(std::nullopt)); // back to the marquee (no total length)
    filter.Shown(100);                         // set to 100 by a stage
    EXPECT_FALSE(filter.Changes(100));
    filter.Shown(std::nullopt); // a new stage's marquee: its 100 % must show
    EXPECT_TRUE(filter.Changes(100));
}

TEST(ClassifyInstallerResult, TheWorkflowsResultTable)
{
    struct Row {
        std::uint32_t Result;
        InstallerEnd End;
    } const rows[] = {
        {0x60000000, InstallerEnd::Succeeded},   {0x60000001, InstallerEnd::Restart},
        {0xFFFFF43E, InstallerEnd::RestartToContinue}, {1223, InstallerEnd::Complete},
        {0x800704C7, InstallerEnd::Complete},    {0, InstallerEnd::Failed},
        {3010, InstallerEnd::Failed},            {1603, InstallerEnd::Failed},
        {0xFFFFFFFF, InstallerEnd::Failed},      {0x80070005, InstallerEnd::Failed},
        {0x60000002, InstallerEnd::Failed},      {0x80070669, InstallerEnd::Failed}, // 1641 as an HRESULT
        {1642, InstallerEnd::Failed},            {0xFFFFF997, InstallerEnd::Failed}, // -1641
        {1641, InstallerEnd::RestartStarted},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ClassifyInstallerResult(row.Result), row.End) << std::hex << row.Result;
}

TEST(ChooseRebootExitCode, OnlyARestartAskedForAndAllowedRestarts)
{
    struct Row {
        std::optional<ButtonAction> Pressed;
        bool SuppressReboot;
        ExitCode Code;
    } const rows[] = {
        {ButtonAction::Restart, false, ExitCode::RebootInitiated},
        {ButtonAction::Continue, false, ExitCode::RebootInitiated},
        {ButtonAction::Restart, true, ExitCode::RebootRequired},
        {ButtonAction::Continue, true, ExitCode::RebootRequired},
        {ButtonAction::Close, false, ExitCode::RebootRequired}, // the window was closed
        {ButtonAction::Cancel, false, ExitCode::RebootRequired},
        {std::nullopt, false, ExitCode::RebootRequired},        // the prompt was skipped
        {std::nullopt, true, ExitCode::RebootRequired},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ChooseRebootExitCode(row.Pressed, row.SuppressReboot), row.Code)
            << (row.Pressed ? static_cast<int>(*row.Pressed) : 0) << " " << row.SuppressReboot;
}

} // namespace
} // namespace ovl::setup

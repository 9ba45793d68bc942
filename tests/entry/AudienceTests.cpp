#include "entry/Audience.h"
#include "entry/CommandLine.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <optional>

namespace ovl::setup {
namespace {

// The answers the fake system calls give; nullopt: the call fails.
struct FakeSystem {
    std::optional<DWORD> Session;
    std::optional<DWORD> StationFlags;
};
FakeSystem fake;

BOOL WINAPI FakeSessionId(DWORD, DWORD* session)
{
    if (!fake.Session) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    *session = *fake.Session;
    return TRUE;
}

HWINSTA WINAPI FakeStation() { return reinterpret_cast<HWINSTA>(static_cast<INT_PTR>(0x1234)); }

BOOL WINAPI FakeObjectInformation(HANDLE object, int index, void* information, DWORD length, DWORD* needed)
{
    if (!fake.StationFlags || object != FakeStation() || index != UOI_FLAGS || length < sizeof(USEROBJECTFLAGS)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    auto* const flags = static_cast<USEROBJECTFLAGS*>(information);
    *flags = USEROBJECTFLAGS{};
    flags->dwFlags = *fake.StationFlags;
    if (needed)
        *needed = sizeof(USEROBJECTFLAGS);
    return TRUE;
}

struct AudienceCase {
    char const* Name;
    std::optional<DWORD> Session;
    std::optional<DWORD> StationFlags;
    bool Expected;
};

class CanSomeoneAnswerTest : public ::testing::TestWithParam<AudienceCase> {};

// What a service or a deployment agent running as SYSTEM sees on Windows
// (session 0, the invisible "Service-0x0-3e7$" window station) cannot be
// produced under Wine, where every process shares one visible desktop: the
// system calls are replaced by a model of their documented answers.
TEST_P(CanSomeoneAnswerTest, DecidesFromTheSessionAndTheWindowStation)
{
    fake = {GetParam().Session, GetParam().StationFlags};
    AudienceQueries queries;
    queries.ProcessIdToSessionId = FakeSessionId;
    queries.GetProcessWindowStation = FakeStation;
    queries.GetUserObjectInformationW = FakeObjectInformation;
    EXPECT_EQ(CanSomeoneAnswer(queries), GetParam().Expected) << GetParam().Name;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CanSomeoneAnswerTest,
    ::testing::Values(AudienceCase{"interactive session, visible station", 1, WSF_VISIBLE, true},
                      AudienceCase{"session 0, visible station", 0, WSF_VISIBLE, false},
                      AudienceCase{"interactive session, invisible station", 2, 0, false},
                      AudienceCase{"session 0, invisible station", 0, 0, false},
                      AudienceCase{"session unknown, invisible station", std::nullopt, 0, false},
                      AudienceCase{"session unknown, visible station", std::nullopt, WSF_VISIBLE, true},
                      AudienceCase{"session 0, station unknown", 0, std::nullopt, false},
                      AudienceCase{"interactive session, station unknown", 3, std::nullopt, true},
                      AudienceCase{"visible station with other bits", 1, WSF_VISIBLE | 0x2, true}));

// The real calls, under Wine: a process on the test desktop has someone there.
TEST(CanSomeoneAnswer, TheTestDesktopHasSomeone) { EXPECT_TRUE(CanSomeoneAnswer()); }

TEST(FlagsForAudience, NoOneToAnswerMeansPassiveAndNoWaitAtAll)
{
    struct Row {
        SwitchFlags Given;
        bool SomeoneCanAnswer;
        SwitchFlags Expected;
    } const rows[] = {
        {0, true, 0},
        {Switch::SuppressReboot, true, Switch::SuppressReboot},
        {0, false, Switch::Passive | Switch::NoOneAnswers},
        {Switch::SkipInitialPrompt, false, Switch::Passive | Switch::NoOneAnswers},
        {Switch::SuppressReboot, false, Switch::Passive | Switch::SuppressReboot | Switch::NoOneAnswers},
    };
    for (auto const& row : rows)
        EXPECT_EQ(FlagsForAudience(row.Given, row.SomeoneCanAnswer), row.Expected)
            << "flags " << row.Given << ", someone " << row.SomeoneCanAnswer;
    // NoOneAnswers is no switch the command line can set, under any spelling.
    for (wchar_t const* argument : {L"/NoOneAnswers", L"--NoOneAnswers", L"/nooneanswers", L"/0x100", L"/256"}) {
        std::vector<std::wstring> passedOn;
        wchar_t const* const argv[] = {L"SetupDownloader.exe", L"/Passive", L"/SuppressReboot", argument};
        EXPECT_EQ(ParseCommandLine(4, argv, passedOn) & Switch::NoOneAnswers, 0u) << argument;
        EXPECT_EQ(passedOn, std::vector<std::wstring>{argument});
    }
}

TEST(EntryFailureShowsBox, OnlyWhereSomeoneAnswersAndPromptsAreWanted)
{
    struct Row {
        SwitchFlags Flags;
        bool SomeoneCanAnswer;
        bool Expected;
    } const rows[] = {
        {0, true, true},
        {Switch::SkipInitialPrompt | Switch::SkipSuccessPrompt | Switch::SuppressReboot, true, true},
        {Switch::SkipErrorPrompts, true, false},
        {Switch::Passive, true, false},
        {0, false, false},
        {FlagsForAudience(0, false), false, false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(EntryFailureShowsBox(row.Flags, row.SomeoneCanAnswer), row.Expected)
            << "flags " << row.Flags << ", someone " << row.SomeoneCanAnswer;
}

TEST(RunMayShowUi, NotWhenHiddenSkippedOrUnseen)
{
    struct Row {
        SwitchFlags Flags;
        bool SomeoneCanAnswer;
        std::optional<int> StartupShow;
        bool Expected;
    } const rows[] = {
        {0, true, std::nullopt, true},
        {0, true, SW_SHOWNORMAL, true},
        {0, true, SW_SHOWMINNOACTIVE, true},
        {0, true, SW_HIDE, false},
        {Switch::Passive, true, std::nullopt, false},
        {Switch::SkipErrorPrompts, true, SW_SHOWNORMAL, false},
        {0, false, std::nullopt, false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(RunMayShowUi(row.Flags, row.SomeoneCanAnswer, row.StartupShow), row.Expected)
            << "flags " << row.Flags << ", someone " << row.SomeoneCanAnswer << ", show "
            << row.StartupShow.value_or(-1);
}

} // namespace
} // namespace ovl::setup

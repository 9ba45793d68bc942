#include "catalogue/Manifest.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

Release MakeRelease(std::wstring name, Version version, AppMilestone milestone, std::vector<ReleaseFile> files = {})
{
    Release r;
    r.DisplayName = std::move(name);
    r.Version = version;
    r.Milestone = milestone;
    r.Files = std::move(files);
    return r;
}

using ovl::test::FailureOf;

TEST(FindRelease, MilestoneFiltersAndVersionRanks)
{
    ReleaseManifest m;
    m.Releases = {
        MakeRelease(L"stable 5.0.2", {5, 0, 2, 0}, AppMilestone::Stable),
        MakeRelease(L"beta 5.1", {5, 1, 0, 0}, AppMilestone::Beta),
        MakeRelease(L"nightly 5.2", {5, 2, 0, 0}, AppMilestone::Nightly),
        MakeRelease(L"all 9.0", {9, 0, 0, 0}, AppMilestone::All),
        MakeRelease(L"alpha 5.1.5", {5, 1, 5, 0}, AppMilestone::Alpha),
    };
    struct Row {
        AppMilestone Requested;
        wchar_t const* Expected;
    } const rows[] = {
        {AppMilestone::Stable, L"stable 5.0.2"}, {AppMilestone::Beta, L"beta 5.1"},
        {AppMilestone::Alpha, L"alpha 5.1.5"},   {AppMilestone::Nightly, L"nightly 5.2"},
        {AppMilestone::All, L"all 9.0"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(m.FindRelease(row.Requested).DisplayName, row.Expected);
}

TEST(FindRelease, LaterOfEqualVersionsWins)
{
    ReleaseManifest m;
    m.Releases = {
        MakeRelease(L"beta 5.1", {5, 1, 0, 0}, AppMilestone::Beta),
        MakeRelease(L"stable 5.1", {5, 1, 0, 0}, AppMilestone::Stable),
        MakeRelease(L"stable 5.0.2", {5, 0, 2, 0}, AppMilestone::Stable),
    };
    EXPECT_EQ(m.FindRelease(AppMilestone::Beta).DisplayName, L"stable 5.1");
    std::swap(m.Releases[0], m.Releases[1]);
    EXPECT_EQ(m.FindRelease(AppMilestone::Beta).DisplayName, L"beta 5.1");
}

TEST(FindRelease, NoQualifyingRelease)
{
    ReleaseManifest m;
    EXPECT_EQ(FailureOf([&] { m.FindRelease(AppMilestone::All); }),
              "Could not find a release matching the requested milestone");
    m.Releases = {MakeRelease(L"b", {1, 0, 0, 0}, AppMilestone::Beta),
                  MakeRelease(L"n", {2, 0, 0, 0}, AppMilestone::Nightly)};
    EXPECT_EQ(FailureOf([&] { m.FindRelease(AppMilestone::Stable); }),
              "Could not find a release matching the requested milestone");
    EXPECT_EQ(m.FindRelease(AppMilestone::All).DisplayName, L"n");
}

TEST(FindFile, ExactMatchBeatsAnyCpu)
{
    Release r = MakeRelease(L"r", {1, 0, 0, 0}, AppMilestone::Stable,
                            {{ReleaseArchitecture::AnyCpu, {L"any"}}, {ReleaseArchitecture::X64, {L"x64"}},
                             {ReleaseArchitecture::X64, {L"second x64"}}});
    EXPECT_EQ(r.FindFile(ReleaseArchitecture::X64).MirrorUrls[0], L"x64");
    EXPECT_EQ(r.FindFile(ReleaseArchitecture::Arm64).MirrorUrls[0], L"any");

    Release x64Only = MakeRelease(L"r", {1, 0, 0, 0}, AppMilestone::Stable, {{ReleaseArchitecture::X64, {L"x64"}}});
    EXPECT_EQ(FailureOf([&] { x64Only.FindFile(ReleaseArchitecture::Arm64); }),
              "Could not find a file to download for the requested architecture");
}

TEST(ChooseMirror, EmptyListFailsAndSingleAlwaysChosen)
{
    ReleaseFile empty{ReleaseArchitecture::X64, {}};
    EXPECT_EQ(FailureOf([&] { empty.ChooseMirror(); }), "No download mirrors available");
    ReleaseFile single{ReleaseArchitecture::X64, {L"only"}};
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(single.ChooseMirror(), L"only");
}

TEST(ChooseMirror, EveryMirrorIsChosenOverManyCalls)
{
    ReleaseFile file{ReleaseArchitecture::X64, {L"a", L"b", L"c", L"d"}};
    std::set<std::wstring> seen;
    for (int i = 0; i < 400 && seen.size() < 4; ++i)
        seen.insert(file.ChooseMirror());
    EXPECT_EQ(seen.size(), 4u); // fails by chance with probability below 1e-49
}

} // namespace
} // namespace ovl::setup

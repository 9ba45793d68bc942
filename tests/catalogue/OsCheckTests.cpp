// The OS requirement checked against the system the harness prefix reports.
// The ctest entries run this in two prefixes and name the build each must
// report in OVL_EXPECTED_OS_BUILD.

#include "catalogue/SystemInfo.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

extern "C" NTSYSAPI LONG NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW versionInformation);

namespace ovl::setup {
namespace {

RTL_OSVERSIONINFOW ReportedVersion()
{
    RTL_OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof(info);
    RtlGetVersion(&info);
    return info;
}

TEST(OsCheck, AnswersForTheBuildThePrefixReports)
{
    char const* expected = std::getenv("OVL_EXPECTED_OS_BUILD");
    ASSERT_NE(expected, nullptr) << "run through ctest, which names the expected build";
    unsigned long const expectedBuild = std::strtoul(expected, nullptr, 10);

    auto const version = ReportedVersion();
    ASSERT_EQ(version.dwMajorVersion, 10u);
    ASSERT_EQ(version.dwMinorVersion, 0u);
    ASSERT_EQ(version.dwBuildNumber, expectedBuild);

    EXPECT_EQ(IsSupportedOsVersion(), expectedBuild >= 19044);
}

// The manifest's Windows 10 compatibility entry makes the version API answer
// 10.0; without it Windows (and Wine) report 6.2 and the check always fails.
TEST(OsCheck, ManifestDeclaresWindows10)
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 10;
    ULONGLONG const mask = VerSetConditionMask(0, VER_MAJORVERSION, VER_GREATER_EQUAL);
    EXPECT_NE(VerifyVersionInfoW(&version, VER_MAJORVERSION, mask), FALSE);
}

} // namespace
} // namespace ovl::setup

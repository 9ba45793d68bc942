#include "catalogue/SystemInfo.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

TEST(Architecture, ImageMachinesMap)
{
    struct Row {
        std::uint16_t Machine;
        ProcessorArchitecture Expected;
    } const rows[] = {
        {0x014C, ProcessorArchitecture::X86},   {0x01C0, ProcessorArchitecture::Arm},
        {0x8664, ProcessorArchitecture::X64},   {0xAA64, ProcessorArchitecture::Arm64},
        {0x0000, ProcessorArchitecture::Unknown}, {0x0200, ProcessorArchitecture::Unknown},
        {0x01C4, ProcessorArchitecture::Unknown},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ArchitectureFromImageMachine(row.Machine), row.Expected) << std::hex << row.Machine;
}

TEST(Architecture, ProcessorArchitecturesMap)
{
    struct Row {
        std::uint16_t Value;
        ProcessorArchitecture Expected;
    } const rows[] = {
        {0, ProcessorArchitecture::X86},      {5, ProcessorArchitecture::Arm},
        {9, ProcessorArchitecture::X64},      {12, ProcessorArchitecture::Arm64},
        {6, ProcessorArchitecture::Unknown},  {0xFFFF, ProcessorArchitecture::Unknown},
        {14, ProcessorArchitecture::Unknown},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ArchitectureFromProcessorArchitecture(row.Value), row.Expected) << row.Value;
}

TEST(Architecture, Names)
{
    struct Row {
        std::int32_t Value;
        wchar_t const* Name;
    } const rows[] = {
        {0, L"unknown"}, {1, L"x86"}, {2, L"x64"}, {3, L"arm"}, {4, L"arm64"}, {5, L"unknown"}, {-1, L"unknown"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(std::wstring(GetArchitectureName(static_cast<ProcessorArchitecture>(row.Value))), row.Name);
}

TEST(Architecture, OnlyX64AndArm64HaveReleases)
{
    EXPECT_EQ(ToReleaseArchitecture(ProcessorArchitecture::X64), ReleaseArchitecture::X64);
    EXPECT_EQ(ToReleaseArchitecture(ProcessorArchitecture::Arm64), ReleaseArchitecture::Arm64);
    for (auto const unsupported : {ProcessorArchitecture::Unknown, ProcessorArchitecture::X86,
                                   ProcessorArchitecture::Arm, static_cast<ProcessorArchitecture>(9)}) {
        try {
            ToReleaseArchitecture(unsupported);
            ADD_FAILURE() << "no failure for " << static_cast<int>(unsupported);
        } catch (std::runtime_error const& e) {
            EXPECT_STREQ(e.what(), "Unsupported OS architecture for ReleaseArchitecture conversion");
        }
    }
}

TEST(Architecture, ReleaseArchitectureValues)
{
    EXPECT_EQ(static_cast<int>(ReleaseArchitecture::AnyCpu), 0);
    EXPECT_EQ(static_cast<int>(ReleaseArchitecture::X64), 1);
    EXPECT_EQ(static_cast<int>(ReleaseArchitecture::X86), 2);
    EXPECT_EQ(static_cast<int>(ReleaseArchitecture::Arm64), 3);
}

// The harness runs a 64-bit Wine on an x64 host: both queries answer x64.
TEST(Architecture, QueriesReportX64UnderTheHarness)
{
    EXPECT_EQ(GetOsArchitecture(), ProcessorArchitecture::X64);
    EXPECT_EQ(GetProcessArchitecture(), ProcessorArchitecture::X64);
}

} // namespace
} // namespace ovl::setup

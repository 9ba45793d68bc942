#pragma once
// Machine and release architectures, and the operating-system requirement.

#include <cstdint>

namespace ovl::setup {

enum class ProcessorArchitecture : std::int32_t {
    Unknown = 0,
    X86 = 1,
    X64 = 2,
    Arm = 3,
    Arm64 = 4,
};

// The architecture a downloadable file is built for; there is no 32-bit Arm.
enum class ReleaseArchitecture : std::int32_t {
    AnyCpu = 0,
    X64 = 1,
    X86 = 2,
    Arm64 = 3,
};

// Plain mappings from the values Windows reports.
ProcessorArchitecture ArchitectureFromImageMachine(std::uint16_t machine) noexcept;
ProcessorArchitecture ArchitectureFromProcessorArchitecture(std::uint16_t processorArchitecture) noexcept;

// The installed operating system's architecture (what a download must match):
// the native machine of IsWow64Process2, else GetNativeSystemInfo.
ProcessorArchitecture GetOsArchitecture() noexcept;

// What the process itself runs as (GetSystemInfo).
ProcessorArchitecture GetProcessArchitecture() noexcept;

// "unknown", "x86", "x64", "arm" or "arm64"; values outside the enumeration
// give "unknown".
wchar_t const* GetArchitectureName(ProcessorArchitecture architecture) noexcept;

// X64 and Arm64 only; anything else fails with
// "Unsupported OS architecture for ReleaseArchitecture conversion".
ReleaseArchitecture ToReleaseArchitecture(ProcessorArchitecture architecture);

// Windows 10 version 21H2 (10.0.19044) or newer. Depends on the application
// manifest declaring Windows 10 compatibility.
bool IsSupportedOsVersion() noexcept;

} // namespace ovl::setup

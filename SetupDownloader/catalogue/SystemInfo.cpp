#include "catalogue/SystemInfo.h"

#include "platform/SystemFunctions.h"

#include <windows.h>

#include <stdexcept>

namespace ovl::setup {

ProcessorArchitecture ArchitectureFromImageMachine(std::uint16_t machine) noexcept
{
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return ProcessorArchitecture::X86;
    case IMAGE_FILE_MACHINE_ARM:
        return ProcessorArchitecture::Arm;
    case IMAGE_FILE_MACHINE_AMD64:
        return ProcessorArchitecture::X64;
    case IMAGE_FILE_MACHINE_ARM64:
        return ProcessorArchitecture::Arm64;
    default:
        return ProcessorArchitecture::Unknown;
    }
}

ProcessorArchitecture ArchitectureFromProcessorArchitecture(std::uint16_t processorArchitecture) noexcept
{
    switch (processorArchitecture) {
    case PROCESSOR_ARCHITECTURE_INTEL:
        return ProcessorArchitecture::X86;
    case PROCESSOR_ARCHITECTURE_ARM:
        return ProcessorArchitecture::Arm;
    case PROCESSOR_ARCHITECTURE_AMD64:
        return ProcessorArchitecture::X64;
    case PROCESSOR_ARCHITECTURE_ARM64:
        return ProcessorArchitecture::Arm64;
    default:
        return ProcessorArchitecture::Unknown;
    }
}

ProcessorArchitecture GetOsArchitecture() noexcept
{
    // Looked up at run time: Windows releases older than the required one
    // lack it, and the program must still start there to say so.
    using IsWow64Process2Fn = BOOL(WINAPI*)(HANDLE, USHORT*, USHORT*);
    auto const isWow64Process2 = FindSystemFunction<IsWow64Process2Fn>(L"kernel32.dll", "IsWow64Process2");
    USHORT processMachine = 0;
    USHORT nativeMachine = 0;
    if (isWow64Process2 && isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine))
        return ArchitectureFromImageMachine(nativeMachine);
    SYSTEM_INFO info{};
    GetNativeSystemInfo(&info);
    return ArchitectureFromProcessorArchitecture(info.wProcessorArchitecture);
}

ProcessorArchitecture GetProcessArchitecture() noexcept
{
    SYSTEM_INFO info{};
    GetSystemInfo(&info);
    return ArchitectureFromProcessorArchitecture(info.wProcessorArchitecture);
}

wchar_t const* GetArchitectureName(ProcessorArchitecture architecture) noexcept
{
    switch (architecture) {
    case ProcessorArchitecture::X86:
        return L"x86";
    case ProcessorArchitecture::X64:
        return L"x64";
    case ProcessorArchitecture::Arm:
        return L"arm";
    case ProcessorArchitecture::Arm64:
        return L"arm64";
    case ProcessorArchitecture::Unknown:
        break;
    }
    return L"unknown";
}

ReleaseArchitecture ToReleaseArchitecture(ProcessorArchitecture architecture)
{
    switch (architecture) {
    case ProcessorArchitecture::X64:
        return ReleaseArchitecture::X64;
    case ProcessorArchitecture::Arm64:
        return ReleaseArchitecture::Arm64;
    default:
        throw std::runtime_error("Unsupported OS architecture for ReleaseArchitecture conversion");
    }
}

bool IsSupportedOsVersion() noexcept
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    version.dwMajorVersion = 10;
    version.dwMinorVersion = 0;
    version.dwBuildNumber = 19044;

    ULONGLONG mask = 0;
    mask = VerSetConditionMask(mask, VER_MAJORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, VER_GREATER_EQUAL);
    mask = VerSetConditionMask(mask, VER_BUILDNUMBER, VER_GREATER_EQUAL);
    return VerifyVersionInfoW(&version, VER_MAJORVERSION | VER_MINORVERSION | VER_BUILDNUMBER, mask) != FALSE;
}

} // namespace ovl::setup

// The image's load configuration, for the product executables. Its one
// setting: DLLs that the system's own DLLs load are searched in System32
// only (DependentLoadFlags, honoured from Windows 10 1607; older Windows
// ignore the field). The layout is the 112-byte x64 structure of the
// Windows 7 SDK, whose 16-bit field after CSDVersion later became
// DependentLoadFlags; mingw-w64's headers still call it Reserved1. GNU ld
// does not fill the data directory from the symbol: the build does
// (cmake/set-load-config-directory).
#include <windows.h>

#include <cstddef>

namespace ovl::setup {

struct LoadConfigDirectory {
    DWORD Size;
    DWORD TimeDateStamp;
    WORD MajorVersion;
    WORD MinorVersion;
    DWORD GlobalFlagsClear;
    DWORD GlobalFlagsSet;
    DWORD CriticalSectionDefaultTimeout;
    ULONGLONG DeCommitFreeBlockThreshold;
    ULONGLONG DeCommitTotalFreeThreshold;
    ULONGLONG LockPrefixTable;
    ULONGLONG MaximumAllocationSize;
    ULONGLONG VirtualMemoryThreshold;
    ULONGLONG ProcessAffinityMask;
    DWORD ProcessHeapFlags;
    WORD CSDVersion;
    WORD DependentLoadFlags;
    ULONGLONG EditList;
    ULONGLONG SecurityCookie;
    ULONGLONG SEHandlerTable;
    ULONGLONG SEHandlerCount;
};
static_assert(sizeof(LoadConfigDirectory) == 0x70);
static_assert(offsetof(LoadConfigDirectory, DependentLoadFlags) == 78);
static_assert(sizeof(LoadConfigDirectory) == sizeof(IMAGE_LOAD_CONFIG_DIRECTORY64));

} // namespace ovl::setup

extern "C" ovl::setup::LoadConfigDirectory const _load_config_used = {
    .Size = sizeof(ovl::setup::LoadConfigDirectory),
    .TimeDateStamp = 0,
    .MajorVersion = 0,
    .MinorVersion = 0,
    .GlobalFlagsClear = 0,
    .GlobalFlagsSet = 0,
    .CriticalSectionDefaultTimeout = 0,
    .DeCommitFreeBlockThreshold = 0,
    .DeCommitTotalFreeThreshold = 0,
    .LockPrefixTable = 0,
    .MaximumAllocationSize = 0,
    .VirtualMemoryThreshold = 0,
    .ProcessAffinityMask = 0,
    .ProcessHeapFlags = 0,
    .CSDVersion = 0,
    .DependentLoadFlags = LOAD_LIBRARY_SEARCH_SYSTEM32,
    .EditList = 0,
    .SecurityCookie = 0,
    .SEHandlerTable = 0,
    .SEHandlerCount = 0,
};

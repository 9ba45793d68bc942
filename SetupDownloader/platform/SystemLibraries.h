#pragma once
// System DLLs that are not loaded with the program. The executable imports
// only DLLs that Windows maps from System32 whatever the search path
// (KnownDLLs) and the common controls (through the manifest); every other
// system DLL is bound on first use (delay-loaded) and loaded here, from
// System32 only, never from the program's folder, where a planted DLL could
// lie (a setup program is typically started from the Downloads folder, often
// elevated).

#include <windows.h>

#include <atomic>
#include <string>
#include <string_view>

namespace ovl::setup {

// How one system DLL is loaded: the name given to LoadLibraryExW and its flags.
struct SystemLibraryLoad {
    std::wstring FileName;
    DWORD Flags = 0;
};

// With LOAD_LIBRARY_SEARCH_SYSTEM32 (Windows 8, and Windows 7 with
// KB2533623) the bare name, searched in System32 alone; without it the full
// path in System32, with LOAD_WITH_ALTERED_SEARCH_PATH so that the DLL's own
// dependencies are searched from System32 too. Empty FileName for a name
// that is not a bare file name (the DLL would not come from System32).
SystemLibraryLoad PlanSystemLibraryLoad(std::wstring_view dllName, std::wstring_view systemFolder,
                                        bool searchSystem32Available);

// True when LoadLibraryExW understands LOAD_LIBRARY_SEARCH_SYSTEM32: the
// update that brought it also brought AddDllDirectory.
bool CanSearchSystem32Only() noexcept;

// Loads a system DLL from System32 as planned above; null (with the last
// error set) when it cannot be loaded.
HMODULE LoadSystemLibrary(std::wstring_view dllName) noexcept;

// Whether a failure that ends the process outside the normal paths (a
// missing system DLL, std::terminate) may show its message box: not in a run
// that shows no UI or that nobody can answer, where nobody would ever dismiss
// it. The entry sets it once the command line has been read.
extern std::atomic<bool> TerminateMayShowBox;

// Ends the process when a delay-loaded DLL or function cannot be had: a
// message box titled "Error" (the text names the DLL, the function if any,
// and the error) where TerminateMayShowBox allows it, or else the same text
// on standard error, then exit code
// 0x80000000, as any failure that reaches the entry. A run cannot go on
// without it, and the delay-load helper's own reaction would be an exception
// that nothing can catch.
[[noreturn]] void EndForMissingSystemLibrary(char const* dllName, char const* functionName, DWORD error) noexcept;

} // namespace ovl::setup

// The hooks of the delay-load helper, compiled into every executable that
// binds system DLLs on first use (see SystemLibraries.h). They live in the
// executable itself, not in a library: the helper's own null hooks would
// otherwise be linked in their place, and the DLLs would be searched for by
// LoadLibraryA's default order, the program's folder first.
#include "platform/SystemLibraries.h"

#include <windows.h>

#include <delayimp.h>

namespace {

// Before the helper would call LoadLibraryA: load the DLL from System32.
// Failing that, the process ends here, so that the helper never falls back
// to its own search.
FARPROC WINAPI NotifyDelayLoad(unsigned note, PDelayLoadInfo info)
{
    if (note != dliNotePreLoadLibrary)
        return nullptr;
    wchar_t name[MAX_PATH] = {};
    for (size_t i = 0; info->szDll[i] != '\0' && i + 1 < MAX_PATH; ++i)
        name[i] = static_cast<unsigned char>(info->szDll[i]);
    HMODULE const module = ovl::setup::LoadSystemLibrary(name);
    if (!module)
        ovl::setup::EndForMissingSystemLibrary(info->szDll, nullptr, GetLastError());
    return reinterpret_cast<FARPROC>(module);
}

// A DLL or function that cannot be had ends the process with a message.
FARPROC WINAPI FailDelayLoad(unsigned note, PDelayLoadInfo info)
{
    char const* function = note == dliFailGetProc && info->dlp.fImportByName ? info->dlp.szProcName : nullptr;
    ovl::setup::EndForMissingSystemLibrary(info->szDll, function, info->dwLastError);
}

} // namespace

PfnDliHook __pfnDliNotifyHook2 = NotifyDelayLoad;
PfnDliHook __pfnDliFailureHook2 = FailDelayLoad;

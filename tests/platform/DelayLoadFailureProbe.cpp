// Calls a function bound on first use that cannot be had, so that the test
// can see how the process ends:
//   delay-load-failure-probe.exe missing-dll     a DLL that is not in System32
//   delay-load-failure-probe.exe missing-function a function version.dll lacks
// followed by "quiet" for a run that shows no UI (no message box allowed).
// Either call ends the process inside the delay-load hooks; returning from
// it would be a fault.
#include "platform/SystemLibraries.h"

#include <windows.h>

#include <cstring>

extern "C" {
__declspec(dllimport) int WINAPI OvlMissingFunction();
__declspec(dllimport) int WINAPI OvlNoSuchVersionFunction();
}

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[2], "quiet") == 0)
        ovl::setup::TerminateMayShowBox.store(false);
    else if (argc != 2)
        return 87;
    if (std::strcmp(argv[1], "missing-dll") == 0)
        return OvlMissingFunction();
    if (std::strcmp(argv[1], "missing-function") == 0)
        return OvlNoSuchVersionFunction();
    return 87;
}

// Calls a function bound on first use that cannot be had, so that the test
// can see how the process ends:
//   delay-load-failure-probe.exe missing-dll     a DLL that is not in System32
//   delay-load-failure-probe.exe missing-function a function version.dll lacks
// Either call ends the process inside the delay-load hooks; returning from
// it would be a fault.
#include <windows.h>

#include <cstring>

extern "C" {
__declspec(dllimport) int WINAPI OvlMissingFunction();
__declspec(dllimport) int WINAPI OvlNoSuchVersionFunction();
}

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "missing-dll") == 0)
        return OvlMissingFunction();
    if (argc == 2 && std::strcmp(argv[1], "missing-function") == 0)
        return OvlNoSuchVersionFunction();
    return 87;
}

// An executable that imports a system DLL that is not a KnownDLL when it
// starts, and has no load configuration, so that the import check can be
// seen to refuse both. It is built, never run.

#include <windows.h>

#include <winhttp.h>

int main()
{
    return WinHttpOpen(L"probe", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0) ? 0 : 1;
}

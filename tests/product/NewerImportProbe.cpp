// An executable that imports functions Windows 7 SP1 lacks, so that the import
// check can be seen to refuse them. It is built, never run.

#include <windows.h>

int main()
{
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    return static_cast<int>(GetDpiForWindow(nullptr));
}

// Tries one kind of access to a file or folder from a process of its own, for
// tests of the sharing rules:
//   file-probe.exe read|write|delete|rename|remove-folder|create-in|enter-and-list PATH
//   file-probe.exe hold PATH MILLISECONDS EVENT
// (create-in creates PATH\planted.dll; enter-and-list changes into the folder
// and lists it with FindFirstFileW; hold opens the file for reading, sharing
// reading and writing but not deletion, as a scanner would, sets the named
// event and keeps it open that long). Exits with 0 on success, else with the
// Windows error code.
#include <windows.h>

#include <cstdlib>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc == 5 && std::wstring(argv[1]) == L"hold") {
        HANDLE file = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return static_cast<int>(GetLastError());
        HANDLE held = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[4]);
        if (held)
            SetEvent(held);
        Sleep(static_cast<DWORD>(_wtoi(argv[3])));
        CloseHandle(file);
        return 0;
    }
    if (argc != 3)
        return 87;
    std::wstring const action = argv[1];
    wchar_t const* path = argv[2];
    if (action == L"read" || action == L"write") {
        DWORD const access = action == L"read" ? GENERIC_READ : GENERIC_WRITE;
        HANDLE file = CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return static_cast<int>(GetLastError());
        CloseHandle(file);
        return 0;
    }
    if (action == L"delete")
        return DeleteFileW(path) ? 0 : static_cast<int>(GetLastError());
    if (action == L"rename")
        return MoveFileW(path, (std::wstring(path) + L".renamed").c_str()) ? 0 : static_cast<int>(GetLastError());
    if (action == L"remove-folder")
        return RemoveDirectoryW(path) ? 0 : static_cast<int>(GetLastError());
    if (action == L"enter-and-list") {
        if (!SetCurrentDirectoryW(path))
            return static_cast<int>(GetLastError());
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW(L"*", &found);
        if (search == INVALID_HANDLE_VALUE)
            return static_cast<int>(GetLastError());
        FindClose(search);
        return 0;
    }
    if (action == L"create-in") {
        HANDLE file = CreateFileW((std::wstring(path) + L"\\planted.dll").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return static_cast<int>(GetLastError());
        CloseHandle(file);
        return 0;
    }
    return 87;
}

#pragma once
// tools/file-probe.exe: one kind of access to a file or folder, tried from a
// process of its own (sharing rules apply between processes).

#include <windows.h>

#include <stdexcept>
#include <string>

namespace ovl::test {

// Runs tools/file-probe.exe in a process of its own and returns its exit code.
inline DWORD Probe(wchar_t const* action, std::wstring const& path)
{
    std::wstring commandLine = L"\"" OVL_FILE_PROBE L"\" " + std::wstring(action) + L" \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("test: cannot start file-probe");
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

} // namespace ovl::test

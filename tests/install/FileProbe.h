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

// A file-probe.exe process that holds a file open for reading, sharing
// reading and writing but not deletion (as a scanner or a backup agent
// does), for the given time; returned once the file is open. The process
// handle is closed by the owner; WaitForSingleObject on it waits for the end.
class ProbeHold {
public:
    ProbeHold(std::wstring const& path, DWORD milliseconds)
    {
        std::wstring const event = L"Local\\ovl-probe-hold-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                   std::to_wstring(GetTickCount64());
        HANDLE const opened = CreateEventW(nullptr, TRUE, FALSE, event.c_str());
        std::wstring commandLine = L"\"" OVL_FILE_PROBE L"\" hold \"" + path + L"\" " +
                                   std::to_wstring(milliseconds) + L" " + event;
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        if (!opened ||
            !CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started))
            throw std::runtime_error("test: cannot start file-probe");
        CloseHandle(started.hThread);
        process = started.hProcess;
        HANDLE const waits[] = {opened, process};
        DWORD const which = WaitForMultipleObjects(2, waits, FALSE, 30000);
        CloseHandle(opened);
        if (which != WAIT_OBJECT_0)
            throw std::runtime_error("test: file-probe could not hold the file");
    }
    ProbeHold(ProbeHold const&) = delete;
    ProbeHold& operator=(ProbeHold const&) = delete;
    ~ProbeHold()
    {
        WaitForSingleObject(process, 60000);
        CloseHandle(process);
    }
    // Waits until the probe has let the file go.
    void Wait() const { WaitForSingleObject(process, 60000); }

private:
    HANDLE process = nullptr;
};

} // namespace ovl::test

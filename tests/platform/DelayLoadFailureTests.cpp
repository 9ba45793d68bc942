// A DLL or function bound on first use that cannot be had ends the process
// with a message box titled "Error" and exit code 0x80000000, never with a
// crash or a fall-back search of the program's folder.
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Ending {
    std::wstring Message; // the message box's text, empty when none came
    std::string Error;    // what the process wrote on standard error
    DWORD ExitCode = 0;
};

// The text of the process's "Error" message box, which is then dismissed.
std::wstring TakeErrorBox(DWORD pid)
{
    auto const deadline = std::chrono::steady_clock::now() + 30s;
    while (std::chrono::steady_clock::now() < deadline) {
        struct Search {
            DWORD Pid;
            HWND Found;
        } search{pid, nullptr};
        EnumWindows(
            [](HWND window, LPARAM parameter) {
                auto& s = *reinterpret_cast<Search*>(parameter);
                DWORD owner = 0;
                GetWindowThreadProcessId(window, &owner);
                wchar_t title[64] = {};
                GetWindowTextW(window, title, 64);
                if (owner == s.Pid && std::wstring(title) == L"Error") {
                    s.Found = window;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&search));
        if (search.Found) {
            wchar_t text[1024] = {};
            GetDlgItemTextW(search.Found, 0xFFFF, text, 1024); // the message box's static text
            PostMessageW(search.Found, WM_COMMAND, IDOK, 0);
            return text;
        }
        std::this_thread::sleep_for(50ms);
    }
    return L"";
}

// quiet: the run shows no UI, so the process must end without any box.
Ending RunProbe(wchar_t const* what, bool quiet = false)
{
    std::wstring commandLine = L"\"" OVL_DELAY_LOAD_FAILURE_PROBE L"\" " + std::wstring(what);
    SECURITY_ATTRIBUTES inherited{sizeof(inherited), nullptr, TRUE};
    HANDLE readEnd = nullptr;
    HANDLE writeEnd = nullptr;
    if (!CreatePipe(&readEnd, &writeEnd, &inherited, 1 << 16))
        return {L"(no pipe)", "", 0};
    SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdError = writeEnd;
    PROCESS_INFORMATION process{};
    bool const started =
        CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
    CloseHandle(writeEnd);
    if (!started) {
        CloseHandle(readEnd);
        return {L"(not started)", "", 0};
    }
    CloseHandle(process.hThread);
    Ending ending;
    if (!quiet)
        ending.Message = TakeErrorBox(process.dwProcessId);
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0)
        TerminateProcess(process.hProcess, 99);
    GetExitCodeProcess(process.hProcess, &ending.ExitCode);
    CloseHandle(process.hProcess);
    // Only what is already in the pipe: a process the probe started (Wine's
    // desktop, for the first window of a fresh prefix) may still hold its end.
    char buffer[4096];
    DWORD available = 0;
    DWORD read = 0;
    while (PeekNamedPipe(readEnd, nullptr, 0, nullptr, &available, nullptr) && available > 0 &&
           ReadFile(readEnd, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        ending.Error.append(buffer, read);
    CloseHandle(readEnd);
    return ending;
}

TEST(DelayLoadFailure, AMissingDllEndsTheProcessWithAMessage)
{
    Ending const ending = RunProbe(L"missing-dll");
    EXPECT_EQ(ending.Message, L"Unhandled exception:\r\n\r\nCould not load ovl-missing.dll (error 126)");
    EXPECT_EQ(ending.ExitCode, 0x80000000u);
}

// In a run nobody answers (session 0, /Passive with /SkipErrorPrompts, a
// hidden start, a console tool) the same failure ends at once with the same
// code and no box: a box there would keep the process waiting for ever
// (before: ended by the test after 30 s). The text goes to standard error,
// where a console tool's caller sees it (before: nothing said why).
TEST(DelayLoadFailure, ARunWithoutUiEndsWithoutAMessage)
{
    struct Row {
        wchar_t const* What;
        char const* Error;
    };
    for (Row const& row :
         {Row{L"missing-dll quiet", "Unhandled exception:\r\n\r\nCould not load ovl-missing.dll (error 126)\r\n"},
          Row{L"missing-function quiet",
              "Unhandled exception:\r\n\r\nCould not find OvlNoSuchVersionFunction in version.dll (error 127)\r\n"}}) {
        Ending const ending = RunProbe(row.What, true);
        EXPECT_EQ(ending.ExitCode, 0x80000000u) << row.What;
        EXPECT_EQ(ending.Error, row.Error) << row.What;
    }
}

TEST(DelayLoadFailure, AMissingFunctionEndsTheProcessWithAMessage)
{
    Ending const ending = RunProbe(L"missing-function");
    EXPECT_EQ(ending.Message, L"Unhandled exception:\r\n\r\nCould not find OvlNoSuchVersionFunction in version.dll (error 127)");
    EXPECT_EQ(ending.ExitCode, 0x80000000u);
}

} // namespace

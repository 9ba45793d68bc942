// Runs SetupDownloader.exe and watches its window as a user would: records
// each screen (status text and time) and saves a picture of it.
//   demo-driver.exe SHOTS_DIR PRESS_CONTINUE(0|1) CLOSE_AT_END(0|1) EXE [ARGS...]
// Prints "window <seconds> <wall-clock seconds>" when the window is first on screen, one line per
// screen, "screen <seconds> <file> <status>", then "exit <seconds> <code>". Pictures are 24-bit BMP files named after the screen.
#include <windows.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

std::string Utf8(std::wstring const& text)
{
    if (text.empty())
        return {};
    int const n = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

HWND FindMainWindow(DWORD pid)
{
    struct Search {
        DWORD Pid;
        HWND Found;
    } search{pid, nullptr};
    EnumWindows(
        [](HWND hwnd, LPARAM lParam) {
            auto& s = *reinterpret_cast<Search*>(lParam);
            DWORD owner = 0;
            GetWindowThreadProcessId(hwnd, &owner);
            wchar_t name[64];
            GetClassNameW(hwnd, name, 64);
            if (owner == s.Pid && std::wstring(name) == L"OvlSetupDownloaderMainWindow") {
                s.Found = hwnd;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.Found;
}

std::wstring Text(HWND control)
{
    wchar_t text[4096] = {};
    SendMessageTimeoutW(control, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 1000, nullptr);
    return text;
}

// Saves the window's area of the screen as a 24-bit BMP.
bool Capture(HWND window, std::wstring const& path)
{
    RECT r;
    if (!GetWindowRect(window, &r))
        return false;
    int const w = r.right - r.left, h = r.bottom - r.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
    HGDIOBJ old = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
    SelectObject(memory, old);
    BITMAPINFOHEADER header{};
    header.biSize = sizeof(header);
    header.biWidth = w;
    header.biHeight = h;
    header.biPlanes = 1;
    header.biBitCount = 24;
    int const stride = ((w * 3 + 3) / 4) * 4;
    std::vector<BYTE> pixels(static_cast<size_t>(stride) * h);
    GetDIBits(memory, bitmap, 0, h, pixels.data(), reinterpret_cast<BITMAPINFO*>(&header), DIB_RGB_COLORS);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    BITMAPFILEHEADER file{};
    file.bfType = 0x4D42;
    file.bfOffBits = sizeof(file) + sizeof(header);
    file.bfSize = static_cast<DWORD>(file.bfOffBits + pixels.size());
    HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return false;
    DWORD written;
    WriteFile(out, &file, sizeof(file), &written, nullptr);
    WriteFile(out, &header, sizeof(header), &written, nullptr);
    WriteFile(out, pixels.data(), static_cast<DWORD>(pixels.size()), &written, nullptr);
    CloseHandle(out);
    return true;
}

// The picture's name for a status text.
std::wstring ScreenName(std::wstring const& status)
{
    struct Prefix {
        wchar_t const* Text;
        wchar_t const* Name;
    } const prefixes[] = {
        {L"Checking prerequisites", L"prerequisites"}, {L"Orvelle is ready", L"ready"},
        {L"Downloading Orvelle...", L"manifest"},      {L"Downloading ", L"download"},
        {L"Unpacking ", L"unpacking"},                 {L"Verifying ", L"verifying"},
        {L"Installing ", L"installing"},               {L"The system must be restarted", L"restart-prompt"},
    };
    for (auto const& p : prefixes) {
        if (status.starts_with(p.Text))
            return p.Name;
    }
    return L"end";
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5)
        return 2;
    std::wstring const shots = argv[1];
    bool const pressContinue = argv[2][0] == L'1';
    bool const closeAtEnd = argv[3][0] == L'1';
    std::wstring commandLine = L"\"" + std::wstring(argv[4]) + L"\"";
    for (int i = 5; i < argc; ++i)
        commandLine += std::wstring(L" \"") + argv[i] + L"\"";

    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return 3;
    CloseHandle(process.hThread);
    auto const started = std::chrono::steady_clock::now();
    std::wstring last;
    bool pressed = false;
    bool closed = false;
    HWND window = nullptr;
    bool shown = false;
    while (WaitForSingleObject(process.hProcess, 1) == WAIT_TIMEOUT) {
        if (!window || !IsWindow(window))
            window = FindMainWindow(process.dwProcessId);
        if (!window || !IsWindowVisible(window))
            continue;
        if (!shown) {
            shown = true;
            FILETIME now;
            GetSystemTimePreciseAsFileTime(&now);
            double const unix = ((static_cast<double>(now.dwHighDateTime) * 4294967296.0 + now.dwLowDateTime) / 1e7) -
                                11644473600.0;
            std::printf("window %.3f %.6f\n",
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count(), unix);
        }
        std::wstring const status = Text(GetDlgItem(window, 100));
        if (status.empty() || status == last)
            continue;
        last = status;
        double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::wstring const name = ScreenName(status);
        std::wstring const file = shots + L"\\" + name + L".bmp";
        Sleep(name == L"ready" || name == L"restart-prompt" || name == L"end" ? 300 : 10);
        bool const saved = Capture(window, file);
        std::printf("screen %.3f %s %s\n", seconds, saved ? Utf8(name).c_str() : "-", Utf8(status).c_str());
        std::fflush(stdout);
        HWND const button = GetDlgItem(window, 104);
        if (pressContinue && !pressed && name == L"ready" && Text(button) == L"Continue") {
            pressed = true;
            PostMessageW(window, WM_COMMAND, MAKEWPARAM(104, BN_CLICKED), reinterpret_cast<LPARAM>(button));
        }
        if (closeAtEnd && !closed && (name == L"restart-prompt" || name == L"end")) {
            closed = true;
            Sleep(300);
            PostMessageW(window, WM_CLOSE, 0, 0);
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("exit %.3f 0x%08lX\n", seconds, code);
    return 0;
}

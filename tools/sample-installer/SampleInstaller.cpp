// A stand-in installer for tests and the demo. It records how it was started
// and exits with the code it is asked for:
//   sample-installer.exe [--report=FILE] [--exit-code=N] [--show=MILLISECONDS] [anything else]
// The report (UTF-8) holds the raw command line and each parsed argument.
#include <windows.h>

#include <shellapi.h>

#include <cwchar>
#include <string>

namespace {

std::string Utf8(std::wstring const& text)
{
    if (text.empty())
        return {};
    int const length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr, nullptr);
    return result;
}

bool TakeValue(std::wstring const& argument, wchar_t const* name, std::wstring& value)
{
    size_t const length = std::wcslen(name);
    if (argument.compare(0, length, name) != 0)
        return false;
    value = argument.substr(length);
    return true;
}

LRESULT CALLBACK ShowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_PAINT) {
        PAINTSTRUCT paint;
        HDC dc = BeginPaint(hwnd, &paint);
        RECT client;
        GetClientRect(hwnd, &client);
        DrawTextW(dc, L"The sample Orvelle installer ran.", -1, &client, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
        EndPaint(hwnd, &paint);
        return 0;
    }
    if (message == WM_TIMER) {
        DestroyWindow(hwnd);
        return 0;
    }
    if (message == WM_DESTROY) {
        PostQuitMessage(0);
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void ShowFor(HINSTANCE instance, UINT milliseconds)
{
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = ShowProc;
    windowClass.hInstance = instance;
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_WINDOW + 1));
    windowClass.lpszClassName = L"OrvelleSampleInstaller";
    RegisterClassW(&windowClass);
    HWND window = CreateWindowExW(0, windowClass.lpszClassName, L"Orvelle Setup (sample)",
                                  WS_OVERLAPPED | WS_CAPTION | WS_VISIBLE, CW_USEDEFAULT, CW_USEDEFAULT, 360, 120,
                                  nullptr, nullptr, instance, nullptr);
    if (!window)
        return;
    SetTimer(window, 1, milliseconds, nullptr);
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

} // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    std::wstring const commandLine = GetCommandLineW();
    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(commandLine.c_str(), &argc);
    std::wstring report;
    int exitCode = 0;
    UINT show = 0;
    std::string text = "command line: " + Utf8(commandLine) + "\n";
    text += "argument count: " + std::to_string(argc > 0 ? argc - 1 : 0) + "\n";
    for (int i = 1; i < argc; ++i) {
        std::wstring const argument = argv[i];
        text += "argument " + std::to_string(i) + ": " + Utf8(argument) + "\n";
        std::wstring value;
        if (TakeValue(argument, L"--report=", value))
            report = value;
        else if (TakeValue(argument, L"--exit-code=", value))
            exitCode = static_cast<int>(std::wcstol(value.c_str(), nullptr, 0));
        else if (TakeValue(argument, L"--show=", value))
            show = static_cast<UINT>(std::wcstoul(value.c_str(), nullptr, 10));
    }
    LocalFree(argv);

    if (!report.empty()) {
        HANDLE file = CreateFileW(report.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(file);
        }
    }
    if (show)
        ShowFor(instance, show);
    return exitCode;
}

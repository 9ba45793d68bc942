// Shows the main window in one of its screens for a few seconds, for
// screenshots: window-preview.exe [download|ready|restart] [seconds]
#include "window/MainWindow.h"

#include <windows.h>

#include <commctrl.h>
#include <shellapi.h>

#include <cwchar>
#include <string>
#include <thread>

using ovl::setup::ButtonAction;
using ovl::setup::MainWindow;

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int)
{
    SetProcessDpiAwarenessContext(DPI_AWARENESS_CONTEXT_PER_MONITOR_AWARE_V2);
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);

    int argc = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    std::wstring const screen = argc > 1 ? argv[1] : L"download";
    DWORD const seconds = argc > 2 ? std::wcstoul(argv[2], nullptr, 10) : 5;
    LocalFree(argv);

    MainWindow window(instance);
    std::thread worker;
    window.RunMessageLoop([&] {
        worker = std::thread([&] {
            window.PostToUi([&] {
                if (screen == L"ready") {
                    window.SetStatusText(L"Orvelle is ready to be downloaded and installed.");
                    window.SetButtonAction(ButtonAction::Continue);
                    window.EnableButton(true);
                } else if (screen == L"restart") {
                    window.SetStatusText(L"The system must be restarted to finalize installation.");
                    window.SetButtonAction(ButtonAction::Restart);
                    window.EnableButton(true);
                } else {
                    window.ShowTotalProgress(true);
                    window.SetTotalProgressRange(4);
                    window.SetTotalProgress(1);
                    window.SetButtonAction(ButtonAction::Cancel);
                    window.EnableButton(true);
                    window.SetStatusText(L"Downloading Orvelle 5.1...");
                    window.ShowTaskProgress(true);
                    window.SetTaskProgress(42);
                }
            });
            Sleep(seconds * 1000);
            window.PostToUi([&] { window.Close(); });
        });
    });
    worker.join();
    return 0;
}

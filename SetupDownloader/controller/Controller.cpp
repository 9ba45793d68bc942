#include "controller/Controller.h"

#include "platform/Json.h"

#include <objbase.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ovl::setup {

Controller::Controller(MainWindow& window, Configuration config, SwitchFlags flags,
                       std::vector<std::wstring> installerArguments)
    : Window(window), Config(config), Flags(flags), InstallerArguments(std::move(installerArguments))
{
}

Controller::~Controller()
{
    if (Worker.joinable())
        Worker.join();
}

ExitCode Controller::Run()
{
    Window.RunMessageLoop([this] { StartWorker(); });
    if (Worker.joinable())
        Worker.join();
    return Result;
}

void Controller::StartWorker()
{
    Worker = std::thread([this] { WorkerMain(); });
}

namespace {

// An exception's what() text, decoded from UTF-8.
std::wstring DecodeMessage(char const* text)
{
    int const n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    std::wstring message(static_cast<size_t>(std::max(n - 1, 0)), L'\0');
    if (n > 0 && MultiByteToWideChar(CP_UTF8, 0, text, -1, message.data(), n) <= 0)
        return L"(error converting exception message)";
    return message;
}

constexpr wchar_t UnhandledPrefix[] = L"Installation failed. There was an unhandled exception:\r\n\r\n";

} // namespace

void Controller::WorkerMain()
{
    ExitCode code = ExitCode::UnhandledError;
    HRESULT const com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (FAILED(com)) {
        // Ends like any other failure.
        wchar_t text[64];
        std::swprintf(text, 64, L"CoInitializeEx failed (0x%08lX)", static_cast<unsigned long>(com));
        code = EndWithError(UnhandledPrefix + std::wstring(text), ExitCode::UnhandledError);
    } else {
        try {
            code = RunImpl();
        } catch (CanceledException const&) {
            code = EndAsync(L"Installation was canceled.", ExitCode::Canceled);
        } catch (std::exception const& e) {
            code = EndWithError(UnhandledPrefix + DecodeMessage(e.what()), ExitCode::UnhandledError);
        } catch (winrt::hresult_error const& e) {
            code = EndWithError(UnhandledPrefix + e.message(), ExitCode::UnhandledError);
        } catch (...) {
            code = EndWithError(L"Installation failed due to an unknown error.", ExitCode::UnhandledError);
        }
        CoUninitialize();
    }
    Window.PostToUi([this, code] {
        Result = code;
        Window.Close();
    });
}

// --- End screens --------------------------------------------------------------

void Controller::PostEndScreen(std::wstring text, ButtonAction action)
{
    Window.PostToUi([this, text = std::move(text), action] {
        Window.SetStatusText(text);
        Window.SetButtonAction(action);
        Window.EnableButton(true);
        Window.ShowTaskProgress(false);
        Window.ShowTotalProgress(false);
        Window.SetButtonHandler(nullptr);
        Window.Show(); // again visible if the installer step had hidden it
    });
}

ExitCode Controller::EndAsync(std::wstring text, ExitCode code)
{
    PostEndScreen(std::move(text), ButtonAction::Close);
    Window.WaitForButton();
    return code;
}

ExitCode Controller::EndWithError(std::wstring text, ExitCode code)
{
    if (Flags & Switch::SkipErrorPrompts)
        return code;
    return EndAsync(std::move(text), code);
}

ExitCode Controller::EndWithSuccess(std::wstring text)
{
    if (Flags & Switch::SkipSuccessPrompt)
        return ExitCode::Success;
    return EndAsync(std::move(text), ExitCode::Success);
}

ExitCode Controller::EndWithReboot(std::wstring text)
{
    PostEndScreen(std::move(text), ButtonAction::Restart);
    if (Flags & Switch::SkipAndSuppressRebootPrompts)
        return ExitCode::RebootRequired;
    ButtonAction const action = Window.WaitForButton();
    if (action == ButtonAction::Continue || action == ButtonAction::Restart) {
        if (Flags & Switch::SuppressReboot)
            return ExitCode::RebootRequired;
        RestartSystem();
        return ExitCode::RebootInitiated;
    }
    return ExitCode::RebootRequired;
}

MainWindow::ButtonHandler Controller::CancelHandler()
{
    return [this](ButtonAction) {
        CancelRequested.store(true, std::memory_order_release);
        Window.PostToUi([this] { Window.EnableButton(false); });
    };
}

void Controller::PostTaskProgress(double percent)
{
    Window.PostToUi([this, value = TaskProgressValue(percent)] { Window.SetTaskProgress(value); });
}

} // namespace ovl::setup

#include "controller/Controller.h"

#include "install/Restart.h"
#include "platform/Error.h"
#include "platform/Text.h"

#include <objbase.h>


namespace ovl::setup {

Controller::Controller(MainWindow& window, Configuration config, SwitchFlags flags,
                       std::vector<std::wstring> installerArguments)
    : Window(window), Config(config), Flags(flags), InstallerArguments(std::move(installerArguments))
{
}

Controller::~Controller() { EndWorker(); }

ExitCode Controller::Run()
{
    bool const nothingWaits = (Flags & Switch::Passive) == Switch::Passive;
    try {
        Window.RunMessageLoop([this] { StartWorker(); }, nothingWaits);
    } catch (...) {
        EndWorker();
        throw;
    }
    EndWorker();
    return Result;
}

void Controller::StartWorker()
{
    Worker = std::thread([this] { WorkerMain(); });
}

// Normally the worker has ended when the loop ends. When the loop ended
// without it (a stray WM_QUIT, a failure on the UI thread), the worker is
// canceled and every wait of its is answered until it has ended, so that the
// join cannot hang.
void Controller::EndWorker() noexcept
{
    if (!Worker.joinable())
        return;
    if (!WorkerEnded.load()) {
        CancelRequested.store(true, std::memory_order_release);
        Window.AnswerEveryWaitWithClose();
        Window.PumpUntil(WorkerEnded);
    }
    Worker.join();
}

namespace {

constexpr wchar_t UnhandledPrefix[] = L"Installation failed. There was an unhandled exception:\r\n\r\n";

// Runs the end operation of a failed run. Should it fail itself (no memory
// left for the end screen, say), the run still ends with the code it was to
// give.
template <typename End>
ExitCode EndSafely(ExitCode code, End const& end) noexcept
{
    try {
        return end();
    } catch (...) {
        return code;
    }
}

} // namespace

ExitCode Controller::RunAndEnd() noexcept
{
    try {
        return RunImpl();
    } catch (CanceledException const&) {
        return EndSafely(ExitCode::Canceled, [this] { return EndAsync(L"Installation was canceled.", ExitCode::Canceled); });
    } catch (std::exception const& e) {
        return EndSafely(ExitCode::UnhandledError, [&] {
            return EndWithError(UnhandledPrefix + DecodeExceptionMessage(e.what()), ExitCode::UnhandledError);
        });
    } catch (winrt::hresult_error const& e) {
        return EndSafely(ExitCode::UnhandledError,
                         [&] { return EndWithError(UnhandledPrefix + e.message(), ExitCode::UnhandledError); });
    } catch (...) {
        return EndSafely(ExitCode::UnhandledError, [this] {
            return EndWithError(L"Installation failed due to an unknown error.", ExitCode::UnhandledError);
        });
    }
}

void Controller::WorkerMain() noexcept
{
    HRESULT const com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ExitCode code = ExitCode::UnhandledError;
    if (SUCCEEDED(com)) {
        code = RunAndEnd();
        CoUninitialize();
    } else {
        // Ends like any other failure.
        code = EndSafely(ExitCode::UnhandledError, [&] {
            return EndWithError(UnhandledPrefix + FormatW(L"CoInitializeEx failed (0x%08lX)", static_cast<unsigned long>(com)),
                                ExitCode::UnhandledError);
        });
    }
    // Run reads the result only after joining this thread. Closing needs no
    // memory and cannot be lost, so the loop always ends.
    Result = code;
    Window.Close();
    WorkerEnded.store(true);
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
    if (Flags & Switch::NoOneAnswers)
        return code; // a screen nobody sees would wait for ever
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
    std::optional<ButtonAction> pressed;
    if (!(Flags & Switch::SkipAndSuppressRebootPrompts))
        pressed = Window.WaitForButton();
    ExitCode const code = ChooseRebootExitCode(pressed, (Flags & Switch::SuppressReboot) != 0);
    // A restart that Windows refused leaves the restart still required.
    if (code == ExitCode::RebootInitiated && !RestartSystem(Shutdown))
        return ExitCode::RebootRequired;
    return code;
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
    std::optional<int> const value = TaskProgressValue(percent);
    if (TaskProgressShown.Changes(value))
        Window.PostToUi([this, value] { Window.SetTaskProgress(value); });
}

} // namespace ovl::setup

#pragma once
// One run of the system: the workflow on a worker thread, the window on the
// UI thread, and the run's result.

#include "controller/Outcome.h"
#include "entry/CommandLine.h"
#include "entry/Configuration.h"
#include "install/Restart.h"
#include "window/MainWindow.h"

#include <string>
#include <thread>
#include <vector>

namespace ovl::setup {

class Controller {
public:
    Controller(MainWindow& window, Configuration config, SwitchFlags flags, std::vector<std::wstring> installerArguments);
    ~Controller();
    Controller(Controller const&) = delete;
    Controller& operator=(Controller const&) = delete;

    // Runs the message loop until the window is gone and the worker has
    // ended, and returns the run's result.
    ExitCode Run();

private:
    void StartWorker();
    void WorkerMain();
    ExitCode RunImpl();

    ExitCode EndAsync(std::wstring text, ExitCode code);
    ExitCode EndWithError(std::wstring text, ExitCode code);
    ExitCode EndWithSuccess(std::wstring text);
    ExitCode EndWithReboot(std::wstring text);
    void PostTaskProgress(double percent);
    MainWindow::ButtonHandler CancelHandler();
    void PostEndScreen(std::wstring text, ButtonAction action);

    MainWindow& Window;
    Configuration const Config;
    SwitchFlags const Flags;
    std::vector<std::wstring> const InstallerArguments;
    CancelFlag CancelRequested{false};
    std::thread Worker;
    ExitCode Result = ExitCode::UnhandledError;
};

} // namespace ovl::setup

#pragma once
// One run of the system: the workflow on a worker thread, the window on the
// UI thread, and the run's result.

#include "controller/Outcome.h"
#include "entry/CommandLine.h"
#include "entry/Configuration.h"
#include "install/Restart.h"
#include "window/MainWindow.h"

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace ovl::setup {

struct DownloadInfo;
class PinnedFile;

class Controller {
public:
    Controller(MainWindow& window, Configuration config, SwitchFlags flags, std::vector<std::wstring> installerArguments);
    ~Controller();
    Controller(Controller const&) = delete;
    Controller& operator=(Controller const&) = delete;

    // Runs the message loop until the window is gone and the worker has
    // ended, and returns the run's result. Whatever ends the loop, the worker
    // has ended when Run returns or throws.
    ExitCode Run();

    // The restart's system calls (tests replace them: a real restart under
    // Wine ends every process of the prefix). Set before Run.
    void SetShutdownApiForTesting(ShutdownApi api) noexcept { Shutdown = api; }

private:
    void StartWorker();
    void WorkerMain() noexcept;
    void EndWorker() noexcept;
    // RunImpl and the end screen of whatever it throws.
    ExitCode RunAndEnd() noexcept;
    ExitCode RunImpl();
    void CheckPrerequisites();
    void AwaitReady();
    void ShowProgressScreen();
    PinnedFile DownloadAndUnpack(DownloadInfo const& info, std::wstring const& folder);
    std::function<void(double)> TaskProgress();
    void PostStage(std::wstring status);
    void PostTotalProgress(int stagesDone);
    void HideWindow();
    ExitCode EndInstallation(std::uint32_t installerResult);

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
    ExitCode Result = ExitCode::UnhandledError; // written by the worker as it ends, read after the join
    std::atomic<bool> WorkerEnded{false};
    TaskProgressFilter TaskProgressShown; // worker thread only
    ShutdownApi Shutdown;
};

} // namespace ovl::setup

// The installation itself, on the worker thread: every window change is
// posted to the UI thread.
#include "controller/Controller.h"

#include "catalogue/AppPackage.h"
#include "catalogue/SystemInfo.h"
#include "download/FileDownload.h"
#include "install/Extraction.h"
#include "install/DownloadFolder.h"
#include "install/PackageHash.h"
#include "install/PinnedFile.h"
#include "install/Signature.h"
#include "platform/Handle.h"
#include "platform/Text.h"

#include <stdexcept>

namespace ovl::setup {

namespace {

constexpr wchar_t PackageFileName[] = L"orvelle.install.zip";

// Runs the shell call on the UI thread, where the cancel handler runs, unless
// the run was canceled by then: a Cancel up to that moment is seen there, so
// the installer never starts after one (CanceledException instead).
RunOnUi UiRunnerUnlessCanceled(MainWindow& window, CancelFlag const& cancel)
{
    return [&window, &cancel](std::function<void()> call) {
        bool canceled = false;
        window.InvokeOnUi([&call, &cancel, &canceled] {
            canceled = cancel.load(std::memory_order_acquire);
            if (!canceled)
                call();
        });
        if (canceled)
            throw CanceledException();
    };
}

} // namespace

ExitCode Controller::RunImpl()
{
    if (!IsSupportedOsVersion())
        return EndWithError(L"Windows 10 v21H2 or newer is required.", ExitCode::OsNotSupported);
    CheckPrerequisites();
    if (!Config.InstallApp)
        return EndWithSuccess(L"Installation complete.");
    AwaitReady();
    ShowProgressScreen();

    DownloadFolderGuard const folder(CreateDownloadFolder());
    AppPackage package;
    package.Milestone = Config.AppMilestone;
    package.RuntimeVersion = Config.RuntimeVersion3;
    package.Test = Config.Test;
    package.InstallerArguments = InstallerArguments;

    PostStage(L"Downloading Orvelle...");
    DownloadInfo const info = package.GetDownloadInfo(TaskProgress(), CancelRequested);
    ThrowIfCanceled(CancelRequested);
    PinnedFile installer = DownloadAndUnpack(info, folder.GetPath());

    PostTotalProgress(2);
    PostStage(L"Verifying " + info.DisplayName + L"...");
    SignatureVerdict const signature = CheckFileSignature(installer.GetHandle(), installer.GetPath());
    if (signature.Status != 0)
        return EndWithError(DescribeSignatureFailure(signature.Status),
                            ToExitCode(static_cast<std::int32_t>(signature.Status)));
    // Trusted is not enough: only the publisher's own certificates may sign it.
    if (!IsPinnedSigner(signature, ParsePublisherThumbprints(GetPublisherThumbprints())))
        return EndWithError(DescribeUnpinnedSigner(signature), ExitCode::UnhandledError);
    ThrowIfCanceled(CancelRequested);

    PostTotalProgress(3);
    PostStage(L"Installing " + info.DisplayName + L" ...");
    HideWindow();
    ThrowIfCanceled(CancelRequested); // a Cancel (or the loop's end) while the window was being hidden
    // Nothing but the installer may lie beside it: it loads DLLs from its folder.
    std::wstring const& installerPath = installer.GetPath();
    folder.Seal();
    CheckFolderHoldsOnly(folder.GetPath(), FileNameOf(installerPath));
    ThrowIfCanceled(CancelRequested); // the last moment before the launch
    RunOnUi const runOnUi = UiRunnerUnlessCanceled(Window, CancelRequested);
    std::uint32_t const result = package.RunInstaller(installer.GetFinalPath(), Window.GetHandle(), runOnUi);
    installer.Close();
    PostTotalProgress(4);
    return EndInstallation(result);
}

// The prerequisites screen; there is nothing to check, so it completes at once.
void Controller::CheckPrerequisites()
{
    Window.PostToUi([this] {
        Window.SetStatusText(L"Checking prerequisites ...");
        Window.SetButtonAction(ButtonAction::Cancel);
        Window.EnableButton(false);
        Window.SetButtonHandler(CancelHandler());
        Window.ShowTotalProgress(false);
        Window.ShowTaskProgress(true);
        Window.SetTaskProgress(0);
    });
    Window.PostToUi([this] {
        Window.SetTaskProgress(100);
        Window.SetButtonHandler(nullptr);
    });
    TaskProgressShown.Shown(100);
    ThrowIfCanceled(CancelRequested);
}

// The ready screen; unless the prompt is skipped, waits for Continue.
// Closing the window there cancels the run.
void Controller::AwaitReady()
{
    Window.PostToUi([this] {
        Window.SetStatusText(L"Orvelle is ready to be downloaded and installed.");
        Window.SetButtonAction(ButtonAction::Continue);
        Window.EnableButton(true);
        Window.ShowTaskProgress(false);
        Window.SetButtonHandler(nullptr);
    });
    if (!(Flags & Switch::SkipInitialPrompt) && Window.WaitForButton() == ButtonAction::Close)
        throw CanceledException();
}

// The progress screen: from here Cancel and closing the window both cancel the run.
void Controller::ShowProgressScreen()
{
    Window.PostToUi([this] {
        Window.ShowTotalProgress(true);
        Window.SetTotalProgressRange(4);
        Window.SetTotalProgress(0);
        Window.SetButtonAction(ButtonAction::Cancel);
        Window.EnableButton(true);
        Window.SetButtonHandler(CancelHandler());
    });
}

// The first two stages: the package into the folder, then the installer out
// of it; the package is closed (and so deleted) once the installer is out.
PinnedFile Controller::DownloadAndUnpack(DownloadInfo const& info, std::wstring const& folder)
{
    PostStage(L"Downloading " + info.DisplayName + L"...");
    PinnedFile packageFile(JoinPath(folder, PackageFileName), PinnedFileAccess::ReadWrite);
    DownloadToPinnedFile(info.Url, packageFile,
                         [this](DownloadProgress const& p) { PostTaskProgress(p.percent); }, CancelRequested);
    ThrowIfCanceled(CancelRequested);
    CheckPackageSha256(packageFile, info.Sha256); // before a byte of it is unpacked

    PostTotalProgress(1);
    PostStage(L"Unpacking " + info.DisplayName + L" ...");
    PinnedFile installer = ExtractInstaller(packageFile, folder, TaskProgress(), CancelRequested);
    packageFile.Close();
    ThrowIfCanceled(CancelRequested);
    return installer;
}

std::function<void(double)> Controller::TaskProgress()
{
    return [this](double percent) { PostTaskProgress(percent); };
}

// A stage's status text, with the task bar shown as a marquee until the
// stage's first progress report.
void Controller::PostStage(std::wstring status)
{
    Window.PostToUi([this, status = std::move(status)] {
        Window.SetStatusText(status);
        Window.ShowTaskProgress(true);
        Window.SetTaskProgress(std::nullopt);
    });
    TaskProgressShown.Shown(std::nullopt);
}

void Controller::PostTotalProgress(int stagesDone)
{
    Window.PostToUi([this, stagesDone] { Window.SetTotalProgress(stagesDone); });
}

// The installer never starts while the window is on screen.
void Controller::HideWindow()
{
    UniqueHandle const hidden(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!hidden)
        throw std::runtime_error("CreateEventW failed");
    HANDLE const event = hidden.Get();
    Window.PostToUi([this, event] {
        Window.Hide();
        SetEvent(event);
    });
    WaitForSingleObject(event, INFINITE);
}

ExitCode Controller::EndInstallation(std::uint32_t installerResult)
{
    switch (ClassifyInstallerResult(installerResult)) {
    case InstallerEnd::Succeeded:
        return ExitCode::InstallerSucceeded;
    case InstallerEnd::Restart:
        return EndWithReboot(L"The system must be restarted to finalize installation.");
    case InstallerEnd::RestartToContinue:
        return EndWithReboot(L"The system must be restarted to continue installation. Once the system has "
                             L"restarted, you may run the application installer again.");
    case InstallerEnd::Complete:
        return EndWithSuccess(L"Installation complete.");
    case InstallerEnd::RestartStarted:
        return ExitCode::RebootInitiated; // nothing to show: Windows is restarting
    case InstallerEnd::Failed:
        break;
    }
    return EndWithError(FormatW(L"Installation of Orvelle failed (error: %d, 0x%08X).",
                                static_cast<int>(installerResult), installerResult),
                        ToExitCode(installerResult));
}

} // namespace ovl::setup

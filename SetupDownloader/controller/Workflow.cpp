// The installation itself, on the worker thread: every window change is
// posted to the UI thread.
#include "controller/Controller.h"

#include "catalogue/AppPackage.h"
#include "catalogue/SystemInfo.h"
#include "download/FileDownload.h"
#include "install/Extraction.h"
#include "install/PinnedFile.h"
#include "install/Signature.h"
#include "platform/Handle.h"

#include <cstdio>
#include <filesystem>
#include <stdexcept>

namespace ovl::setup {

namespace {

constexpr wchar_t PackageFileName[] = L"orvelle.install.zip";

std::wstring Join(std::wstring const& folder, wchar_t const* name)
{
    return (std::filesystem::path(folder) / name).wstring();
}

} // namespace

ExitCode Controller::RunImpl()
{
    if (!IsSupportedOsVersion())
        return EndWithError(L"Windows 10 v21H2 or newer is required.", ExitCode::OsNotSupported);

    // Prerequisites.
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
    ThrowIfCanceled(CancelRequested);

    if (!Config.InstallApp)
        return EndWithSuccess(L"Installation complete.");

    // Ready.
    Window.PostToUi([this] {
        Window.SetStatusText(L"Orvelle is ready to be downloaded and installed.");
        Window.SetButtonAction(ButtonAction::Continue);
        Window.EnableButton(true);
        Window.ShowTaskProgress(false);
        Window.SetButtonHandler(nullptr);
    });
    if (!(Flags & Switch::SkipInitialPrompt) && Window.WaitForButton() == ButtonAction::Close)
        throw CanceledException();

    // Progress: from here Cancel and closing the window both cancel the run.
    Window.PostToUi([this] {
        Window.ShowTotalProgress(true);
        Window.SetTotalProgressRange(4);
        Window.SetTotalProgress(0);
        Window.SetButtonAction(ButtonAction::Cancel);
        Window.EnableButton(true);
        Window.SetButtonHandler(CancelHandler());
    });

    DownloadFolderGuard const folder(CreateDownloadFolder());

    AppPackage package;
    package.Milestone = Config.AppMilestone;
    package.RuntimeVersion = Config.RuntimeVersion3;
    package.Test = Config.Test;
    package.InstallerArguments = InstallerArguments;

    Window.PostToUi([this] {
        Window.SetStatusText(L"Downloading Orvelle...");
        Window.ShowTaskProgress(true);
        Window.SetTaskProgress(std::nullopt);
    });
    std::function<void(double)> const progress = [this](double percent) { PostTaskProgress(percent); };
    DownloadInfo const info = package.GetDownloadInfo(progress, CancelRequested);
    ThrowIfCanceled(CancelRequested);

    Window.PostToUi([this, name = info.DisplayName] {
        Window.SetStatusText(L"Downloading " + name + L"...");
        Window.SetTaskProgress(std::nullopt);
    });
    PinnedFile packageFile(Join(folder.GetPath(), PackageFileName), PinnedFileAccess::ReadWrite);
    DownloadToPinnedFile(info.Url, packageFile,
                         [this](DownloadProgress const& p) { PostTaskProgress(p.percent); }, CancelRequested);
    ThrowIfCanceled(CancelRequested);

    Window.PostToUi([this] { Window.SetTotalProgress(1); });
    Window.PostToUi([this, name = info.DisplayName] {
        Window.SetStatusText(L"Unpacking " + name + L" ...");
        Window.ShowTaskProgress(true);
        Window.SetTaskProgress(std::nullopt);
    });
    PinnedFile installer = ExtractInstaller(packageFile, folder.GetPath(), progress, CancelRequested);
    packageFile.Close();
    ThrowIfCanceled(CancelRequested);

    Window.PostToUi([this] { Window.SetTotalProgress(2); });
    Window.PostToUi([this, name = info.DisplayName] {
        Window.SetStatusText(L"Verifying " + name + L"...");
        Window.ShowTaskProgress(true);
        Window.SetTaskProgress(std::nullopt);
    });
    LONG const status = VerifyFileSignature(installer.GetHandle(), installer.GetPath());
    if (status != 0) {
        wchar_t text[512];
        std::swprintf(text, 512,
                      L"The digital signature for Orvelle could not be verified. The download may have been "
                      L"corrupted. (0x%08X)",
                      static_cast<unsigned>(status));
        return EndWithError(text, ToExitCode(static_cast<std::int32_t>(status)));
    }
    ThrowIfCanceled(CancelRequested);

    Window.PostToUi([this] { Window.SetTotalProgress(3); });
    Window.PostToUi([this, name = info.DisplayName] {
        Window.SetStatusText(L"Installing " + name + L" ...");
        Window.ShowTaskProgress(true);
        Window.SetTaskProgress(std::nullopt);
    });

    // The installer never starts while the window is on screen.
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

    RunOnUi const runOnUi = [this](std::function<void()> call) { Window.InvokeOnUi(std::move(call)); };
    std::uint32_t const result = package.RunInstaller(installer.GetFinalPath(), Window.GetHandle(), runOnUi);
    installer.Close();
    Window.PostToUi([this] { Window.SetTotalProgress(4); });

    switch (result) {
    case ToValue(ExitCode::InstallerSucceeded):
        return ExitCode::InstallerSucceeded;
    case ToValue(ExitCode::InstallerSucceededRebootRequired):
        return EndWithReboot(L"The system must be restarted to finalize installation.");
    case 0xFFFFF43E: // -3010
        return EndWithReboot(L"The system must be restarted to continue installation. Once the system has "
                             L"restarted, you may run the application installer again.");
    case ERROR_CANCELLED:
    case 0x800704C7:
        return EndWithSuccess(L"Installation complete.");
    default: {
        wchar_t text[256];
        std::swprintf(text, 256, L"Installation of Orvelle failed (error: %d, 0x%08X).", static_cast<int>(result),
                      result);
        return EndWithError(text, ToExitCode(result));
    }
    }
}

} // namespace ovl::setup

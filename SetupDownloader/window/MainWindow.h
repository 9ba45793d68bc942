#pragma once
// The program's only window and the bridge through which the worker thread
// drives it. Everything but PostToUi, InvokeOnUi and WaitForButton runs on
// the UI thread, the thread that constructed the window.

#include "controller/Outcome.h"

#include <windows.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_set>

namespace ovl::setup {

class MainWindow {
public:
    using Callable = std::function<void()>;
    using ButtonHandler = std::function<void(ButtonAction)>;

    static constexpr wchar_t ClassName[] = L"OvlSetupDownloaderMainWindow";
    static constexpr wchar_t Title[] = L"Orvelle Downloader";

    enum ControlId : int {
        StatusLabelId = 100,
        TaskProgressBarId = 101,
        TotalProgressLabelId = 102,
        TotalProgressBarId = 103,
        ButtonId = 104,
        VersionLabelId = 105,
    };

    // Private messages of the bridge.
    static constexpr UINT RunPostedMessage = WM_APP + 1;  // lParam: heap callable owned by the message
    static constexpr UINT RunSentMessage = WM_APP + 2;    // lParam: callable owned by the sender
    static constexpr UINT DestroyNowMessage = WM_APP + 3; // allow closing and destroy the window

    // Registers the class and creates the hidden window; fails with
    // "Failed to create main window".
    explicit MainWindow(HINSTANCE instance);
    ~MainWindow();
    MainWindow(MainWindow const&) = delete;
    MainWindow& operator=(MainWindow const&) = delete;

    HWND GetHandle() const noexcept { return window; }

    // Any thread.
    void PostToUi(Callable callable);
    void InvokeOnUi(Callable callable);
    ButtonAction WaitForButton();

    // UI thread.
    void RunMessageLoop(Callable onShownCallback);
    void SetStatusText(std::wstring const& text);
    void SetButtonAction(ButtonAction action);
    void SetButtonHandler(ButtonHandler handler);
    void EnableButton(bool enabled);
    void ShowTaskProgress(bool visible);
    void ShowTotalProgress(bool visible);
    void SetTaskProgress(std::optional<int> percent);
    void SetTotalProgressRange(int upper);
    void SetTotalProgress(int position);
    void Show();
    void Hide();
    void Close();

    // The version line: the executable's product version and the process
    // architecture, like "1.2.3.4 x64", or the text of what failed.
    static std::wstring GetVersionText();

    // What Ctrl+C copies.
    std::wstring BuildClipboardText() const;

private:
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    void CreateControls(HWND parent);
    void UpdateFonts(UINT dpi);
    void UpdateLayout();
    void OnButtonClicked();
    void UpdateButtonCaption();
    void DeliverToWaiter(ButtonAction action);
    void CopyTextToClipboard();
    bool TakePosted(Callable* callable);

    HINSTANCE instance;
    HWND window = nullptr;
    HWND statusLabel = nullptr;
    HWND taskProgressBar = nullptr;
    HWND totalProgressLabel = nullptr;
    HWND totalProgressBar = nullptr;
    HWND button = nullptr;
    HWND versionLabel = nullptr;
    HFONT messageFont = nullptr;
    HFONT smallFont = nullptr;
    bool canClose = false;
    bool taskProgressVisible = false;
    std::optional<int> taskProgress;
    bool totalProgressVisible = false;
    int totalProgressPos = 0;
    int totalProgressRange = 100;
    ButtonAction buttonAction = ButtonAction::Close;
    ButtonHandler buttonHandler;
    HANDLE buttonEvent = nullptr;
    std::atomic<bool> waitingForButton{false};
    std::optional<ButtonAction> buttonResult;
    Callable onShown;

    // Callables posted but not yet run, so that those whose message never
    // arrives (posted as the window goes away) are freed with the window.
    std::mutex postedLock;
    std::unordered_set<Callable*> posted;
    // The callable InvokeOnUi has sent and waits on (one caller at a time).
    std::atomic<Callable*> invoking{nullptr};
};

} // namespace ovl::setup

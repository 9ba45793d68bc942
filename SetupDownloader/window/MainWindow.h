#pragma once
// The program's only window and the bridge through which the worker thread
// drives it. Everything but PostToUi, InvokeOnUi and WaitForButton runs on
// the UI thread, the thread that constructed the window.

#include "controller/Outcome.h"
#include "platform/Handle.h"
#include "window/ShowCommand.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>

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
    static constexpr UINT RunPostedMessage = WM_APP + 1;  // run the posted callables
    static constexpr UINT RunSentMessage = WM_APP + 2;    // lParam: callable owned by the sender
    static constexpr UINT DestroyNowMessage = WM_APP + 3; // allow closing and destroy the window

    // How the bridge posts its messages; tests replace it to make posts fail.
    using PostFunction = BOOL(WINAPI*)(HWND, UINT, WPARAM, LPARAM);

    // Registers the class and creates the hidden window; fails with
    // "Failed to create main window".
    explicit MainWindow(HINSTANCE instance);
    ~MainWindow();
    MainWindow(MainWindow const&) = delete;
    MainWindow& operator=(MainWindow const&) = delete;

    HWND GetHandle() const noexcept { return window; }

    // Any thread. Posted callables run in order on the UI thread, each once;
    // a post is never lost while the window exists (a full message queue is
    // waited out), and only one wake-up message is in the queue at a time.
    void PostToUi(Callable callable);
    void InvokeOnUi(Callable callable);
    ButtonAction WaitForButton();
    // Allows the window to close and asks it to, after what is already posted.
    void Close();

    // UI thread.
    // Shows the window (see ChooseShowCommand; mayStayHidden: nothing of the
    // run waits for the user), runs onShown once it is on screen, or at once
    // when it stays hidden, and runs the message loop until the window is
    // gone. A posted callable that throws ends the loop, and its exception is
    // rethrown here.
    void RunMessageLoop(Callable onShownCallback, bool mayStayHidden = false);
    // For a run whose loop has ended while its worker still runs: every wait
    // for the button, now and later, answers Close.
    void AnswerEveryWaitWithClose();
    // Dispatches messages and runs posted and sent callables until done is
    // set; no quit request is left behind.
    void PumpUntil(std::atomic<bool> const& done);
    void SetPostFunctionForTesting(PostFunction post) noexcept { postMessage.store(post); }
    // The starter's show command and the show function, for a test that
    // models how Windows applies the one to the other. Before RunMessageLoop.
    void SetShowSystemForTesting(std::optional<int> starterShow, ShowWindowFunction show) noexcept;
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
    bool ButtonAvailable() const noexcept;
    bool FocusButton();
    static bool IsWindowKey(MSG const& message) noexcept;
    bool OnKeyDown(WPARAM key, LPARAM flags);
    void UpdateButtonCaption();
    void DeliverToWaiter(ButtonAction action);
    void CopyTextToClipboard();
    bool OnUiThread() const noexcept;
    void Wake();
    void RunPosted();
    void DropPosted() noexcept;

    HINSTANCE instance;
    HWND window = nullptr;
    HWND statusLabel = nullptr;
    HWND taskProgressBar = nullptr;
    HWND totalProgressLabel = nullptr;
    HWND totalProgressBar = nullptr;
    HWND button = nullptr;
    HWND versionLabel = nullptr;
    UniqueFont messageFont;
    UniqueFont smallFont;
    std::atomic<bool> canClose{false};
    bool taskProgressVisible = false;
    std::optional<int> taskProgress;
    bool totalProgressVisible = false;
    int totalProgressPos = 0;
    int totalProgressRange = 100;
    ButtonAction buttonAction = ButtonAction::Close;
    ButtonHandler buttonHandler;
    UniqueHandle const buttonEvent{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    std::atomic<bool> waitingForButton{false};
    std::optional<ButtonAction> buttonResult;
    std::atomic<bool> answerClose{false};
    Callable onShown;
    std::optional<int> startupShow = ReadStartupShowCommand();
    ShowWindowFunction showWindow = ::ShowWindow;

    // Callables posted and not yet run, and whether a wake-up message for
    // them is in the queue. Once the window is gone nothing is queued.
    std::mutex postedLock;
    std::deque<Callable> posted;
    bool wakePending = false;
    bool windowGone = false;
    std::atomic<PostFunction> postMessage{::PostMessageW};
    bool loopRunning = false;
    std::exception_ptr callableFailure; // the first posted callable that threw
    // The callable InvokeOnUi has sent and waits on (one caller at a time).
    std::atomic<Callable*> invoking{nullptr};
};

} // namespace ovl::setup

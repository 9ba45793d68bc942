#include "window/MainWindow.h"

#include "catalogue/SystemInfo.h"
#include "platform/ExecutablePath.h"
#include "platform/SystemFunctions.h"
#include "platform/Text.h"
#include "window/AccessibleName.h"
#include "window/Layout.h"
#include "window/ShowCommand.h"

#include <commctrl.h>

#include <algorithm>
#include <cwchar>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ovl::setup {

namespace {

constexpr DWORD WindowStyle = WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
constexpr UINT ChildPlacement = SWP_NOZORDER | SWP_NOACTIVATE;
constexpr wchar_t TotalProgressText[] = L"Total progress:";

std::wstring ReadWindowText(HWND control, int bufferSize)
{
    if (!control)
        return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(bufferSize), L'\0');
    int const length = GetWindowTextW(control, buffer.data(), bufferSize);
    return std::wstring(buffer.data(), static_cast<size_t>(std::max(length, 0)));
}

// DrawTextW's DT_CALCRECT measure of text with a font, at most width wide.
LayoutSize MeasureText(HWND control, HFONT font, std::wstring const& text, int width, UINT format)
{
    WindowDC const dc(control);
    if (!dc)
        return {};
    HGDIOBJ const previous = font ? SelectObject(dc.Get(), font) : nullptr;
    RECT rect{0, 0, width, 0};
    DrawTextW(dc.Get(), text.c_str(), static_cast<int>(text.size()), &rect, DT_CALCRECT | format);
    if (previous)
        SelectObject(dc.Get(), previous);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

void Place(HWND control, LayoutRect const& rect)
{
    if (control)
        SetWindowPos(control, nullptr, rect.X, rect.Y, rect.Width, rect.Height, ChildPlacement);
}

void SetVisible(HWND control, bool visible)
{
    if (control)
        ShowWindow(control, visible ? SW_SHOW : SW_HIDE);
}

HWND CreateChild(HWND parent, HINSTANCE instance, wchar_t const* className, wchar_t const* text, DWORD style, int id)
{
    return CreateWindowExW(0, className, text, style, 0, 0, 0, 0, parent,
                           reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance, nullptr);
}

} // namespace

MainWindow::MainWindow(HINSTANCE instanceHandle) : instance(instanceHandle)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof(windowClass);
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = WindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    // The small icon's own image, not the large one scaled down.
    windowClass.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON,
                                                        GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON),
                                                        LR_DEFAULTCOLOR));
    windowClass.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(static_cast<INT_PTR>(COLOR_BTNFACE + 1));
    windowClass.lpszClassName = ClassName;
    RegisterClassExW(&windowClass);

    // 400 x 150 at 96 DPI, unscaled; the first layout sizes it for real.
    RECT rect{0, 0, 400, 150};
    AdjustWindowRectForDpi(&rect, WindowStyle, 0, 96);
    int const width = rect.right - rect.left;
    int const height = rect.bottom - rect.top;
    int const x = (GetSystemMetrics(SM_CXSCREEN) - width) / 2;
    int const y = (GetSystemMetrics(SM_CYSCREEN) - height) / 2;

    window = CreateWindowExW(0, ClassName, Title, WindowStyle, x, y, width, height, nullptr, nullptr, instance, this);
    if (!window)
        throw std::runtime_error("Failed to create main window");
}

MainWindow::~MainWindow()
{
    // Normally the close flow has destroyed the window. If it has not (the
    // run never started), detach and destroy it so that no message reaches
    // this object once it is gone.
    if (window && IsWindow(window)) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        DestroyWindow(window);
    }
    // The fonts and the event go after the window, with the members.
    onShown = nullptr;
    buttonHandler = nullptr;
    DropPosted();
}

LRESULT CALLBACK MainWindow::WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto const* create = reinterpret_cast<CREATESTRUCTW const*>(lParam);
        SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
    }
    auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self)
        return self->HandleMessage(hwnd, message, wParam, lParam);
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

// --- Bridge -----------------------------------------------------------------

bool MainWindow::OnUiThread() const noexcept { return GetWindowThreadProcessId(window, nullptr) == GetCurrentThreadId(); }

void MainWindow::PostToUi(Callable callable)
{
    {
        std::lock_guard lock(postedLock);
        if (windowGone)
            return; // it would never run; it is freed here
        posted.push_back(std::move(callable));
        if (wakePending)
            return; // the wake-up already queued runs it too
        wakePending = true;
    }
    Wake();
}

// Posts the wake-up message. When the queue is full (10,000 messages), a
// worker waits for room; the UI thread itself cannot wait, and runs what is
// queued after the next message it handles instead.
void MainWindow::Wake()
{
    auto giveUp = [this] {
        std::lock_guard lock(postedLock);
        wakePending = false;
    };
    bool const uiThread = OnUiThread();
    for (;;) {
        BOOL sent = FALSE;
        try {
            sent = postMessage.load()(window, RunPostedMessage, 0, 0);
        } catch (...) {
            giveUp();
            throw;
        }
        if (sent)
            return;
        if (uiThread || !IsWindow(window)) {
            giveUp();
            return;
        }
        Sleep(10);
    }
}

// Runs, in order, what was posted until now. A callable that throws ends the
// message loop; its failure is rethrown by RunMessageLoop.
void MainWindow::RunPosted()
{
    std::deque<Callable> batch;
    {
        std::lock_guard lock(postedLock);
        batch.swap(posted);
        wakePending = false;
    }
    for (Callable& callable : batch) {
        try {
            callable();
        } catch (...) {
            if (!callableFailure)
                callableFailure = std::current_exception();
            if (loopRunning)
                PostQuitMessage(0);
        }
    }
}

void MainWindow::DropPosted() noexcept
{
    std::deque<Callable> dropped;
    std::lock_guard lock(postedLock);
    windowGone = true;
    dropped.swap(posted);
}

void MainWindow::InvokeOnUi(Callable callable)
{
    if (OnUiThread()) {
        callable();
        return;
    }
    Callable local = std::move(callable);
    if (!local)
        throw std::bad_function_call();
    invoking.store(&local);
    SendMessageW(window, RunSentMessage, 0, reinterpret_cast<LPARAM>(&local));
    invoking.store(nullptr);
}

ButtonAction MainWindow::WaitForButton()
{
    buttonResult.reset();
    ResetEvent(buttonEvent.Get());
    waitingForButton.store(true);
    if (!answerClose.load())
        WaitForSingleObject(buttonEvent.Get(), INFINITE);
    waitingForButton.store(false);
    if (answerClose.load())
        return ButtonAction::Close;
    return buttonResult.value_or(ButtonAction::Close);
}

void MainWindow::DeliverToWaiter(ButtonAction action)
{
    if (waitingForButton.load()) {
        buttonResult = action;
        SetEvent(buttonEvent.Get());
    }
}

void MainWindow::AnswerEveryWaitWithClose()
{
    answerClose.store(true);
    SetEvent(buttonEvent.Get());
}

void MainWindow::Close()
{
    canClose = true;
    bool const uiThread = OnUiThread();
    while (!PostMessageW(window, DestroyNowMessage, 0, 0)) {
        if (!IsWindow(window))
            return;
        if (uiThread) {
            DestroyWindow(window); // a full queue: no waiting on the UI thread
            return;
        }
        Sleep(10);
    }
}

void MainWindow::RunMessageLoop(Callable onShownCallback, bool mayStayHidden)
{
    onShown = std::move(onShownCallback);
    ShowFirstTime(window, startupShow, ChooseShowCommand(startupShow, mayStayHidden), showWindow);
    UpdateWindow(window);
    // Shown by now, or staying hidden: either way the run starts here, never
    // waiting for a WM_SHOWWINDOW that a hidden start does not send.
    if (onShown) {
        Callable callable = std::move(onShown);
        onShown = nullptr;
        callable();
    }

    loopRunning = true;
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        // The window's keys go to the focused control (the button); hand
        // them to the window, which acts on them itself.
        if (IsWindowKey(message) && message.hwnd != window && IsChild(window, message.hwnd))
            message.hwnd = window;
        TranslateMessage(&message);
        DispatchMessageW(&message);
        RunPosted(); // what a lost wake-up left queued
    }
    loopRunning = false;
    if (callableFailure)
        std::rethrow_exception(std::exchange(callableFailure, nullptr));
}

void MainWindow::PumpUntil(std::atomic<bool> const& done)
{
    for (;;) {
        MSG message;
        while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
            if (message.message == WM_QUIT)
                continue;
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        RunPosted();
        if (done.load())
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

// --- Operations -------------------------------------------------------------

void MainWindow::SetStatusText(std::wstring const& text)
{
    SetWindowTextW(statusLabel, text.c_str());
    // Screen readers learn of the new status, and of the task bar it names.
    AnnounceNameChange(statusLabel);
    AnnounceNameChange(taskProgressBar);
    UpdateLayout();
}

void MainWindow::SetButtonAction(ButtonAction action)
{
    if (action != buttonAction) {
        buttonAction = action;
        UpdateButtonCaption();
    }
}

void MainWindow::SetButtonHandler(ButtonHandler handler) { buttonHandler = std::move(handler); }

void MainWindow::EnableButton(bool enabled)
{
    if (!button)
        return;
    bool const hadFocus = GetFocus() == button;
    EnableWindow(button, enabled ? TRUE : FALSE);
    if (enabled && GetActiveWindow() == window)
        FocusButton();
    else if (!enabled && hadFocus)
        SetFocus(window); // keys (Ctrl+C, Esc) still reach the window
}

bool MainWindow::ButtonAvailable() const noexcept
{
    return button && IsWindowVisible(button) && IsWindowEnabled(button);
}

// Gives the keyboard focus to the button when it can be pressed, and shows
// the focus cue however the window was activated.
bool MainWindow::FocusButton()
{
    if (!ButtonAvailable())
        return false;
    if (GetFocus() != button)
        SetFocus(button);
    SendMessageW(window, WM_CHANGEUISTATE, MAKEWPARAM(UIS_CLEAR, UISF_HIDEFOCUS), 0);
    return true;
}

// The keys the window handles itself: Ctrl+C copies; Enter and Space press
// the button; Esc does what the close box does.
bool MainWindow::IsWindowKey(MSG const& message) noexcept
{
    if (message.message != WM_KEYDOWN && message.message != WM_KEYUP)
        return false;
    switch (message.wParam) {
    case VK_RETURN:
    case VK_SPACE:
    case VK_ESCAPE:
        return true;
    case 'C':
        return message.message == WM_KEYDOWN && GetKeyState(VK_CONTROL) < 0;
    default:
        return false;
    }
}

bool MainWindow::OnKeyDown(WPARAM key, LPARAM flags)
{
    bool const repeated = (flags & 0x40000000) != 0; // held down: one press only
    switch (key) {
    case 'C':
        if (GetKeyState(VK_CONTROL) >= 0)
            return false;
        CopyTextToClipboard();
        return true;
    case VK_RETURN:
    case VK_SPACE:
        if (!repeated && ButtonAvailable())
            OnButtonClicked();
        return true;
    case VK_ESCAPE:
        // A disabled button means nothing can be canceled or closed now.
        if (!repeated && ButtonAvailable())
            SendMessageW(window, WM_CLOSE, 0, 0);
        return true;
    default:
        return false;
    }
}

void MainWindow::ShowTaskProgress(bool visible)
{
    if (visible != taskProgressVisible) {
        taskProgressVisible = visible;
        UpdateLayout();
    }
}

void MainWindow::ShowTotalProgress(bool visible)
{
    if (visible != totalProgressVisible) {
        totalProgressVisible = visible;
        UpdateLayout();
    }
}

void MainWindow::SetTaskProgress(std::optional<int> percent)
{
    taskProgress = percent;
    if (!taskProgressBar)
        return;
    LONG_PTR const style = GetWindowLongPtrW(taskProgressBar, GWL_STYLE);
    if (percent) {
        if (style & PBS_MARQUEE) {
            SendMessageW(taskProgressBar, PBM_SETMARQUEE, FALSE, 0);
            SetWindowLongPtrW(taskProgressBar, GWL_STYLE, style & ~static_cast<LONG_PTR>(PBS_MARQUEE));
        }
        SendMessageW(taskProgressBar, PBM_SETRANGE, 0, 0x00640000);
        SendMessageW(taskProgressBar, PBM_SETPOS, static_cast<WPARAM>(*percent), 0);
    } else {
        if (!(style & PBS_MARQUEE))
            SetWindowLongPtrW(taskProgressBar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(taskProgressBar, PBM_SETMARQUEE, TRUE, 30);
    }
}

void MainWindow::SetTotalProgressRange(int upper)
{
    totalProgressRange = upper;
    if (totalProgressBar)
        SendMessageW(totalProgressBar, PBM_SETRANGE, 0,
                     static_cast<LPARAM>(static_cast<DWORD>(static_cast<WORD>(upper)) << 16));
}

void MainWindow::SetTotalProgress(int position)
{
    totalProgressPos = position;
    if (totalProgressBar)
        SendMessageW(totalProgressBar, PBM_SETPOS, static_cast<WPARAM>(static_cast<INT_PTR>(position)), 0);
}

void MainWindow::Show() { showWindow(window, SW_SHOW); }

void MainWindow::Hide() { showWindow(window, SW_HIDE); }

void MainWindow::SetShowSystemForTesting(std::optional<int> starterShow, ShowWindowFunction show) noexcept
{
    startupShow = starterShow;
    showWindow = show;
}

void MainWindow::OnButtonClicked()
{
    ButtonHandler handler = std::move(buttonHandler);
    buttonHandler = nullptr;
    DeliverToWaiter(buttonAction);
    if (handler)
        handler(buttonAction);
}

void MainWindow::UpdateButtonCaption()
{
    if (button)
        SetWindowTextW(button, GetButtonCaption(buttonAction));
}

// --- Messages ---------------------------------------------------------------

LRESULT MainWindow::HandleMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        CreateControls(hwnd);
        return 0;
    case WM_DESTROY:
        DropPosted();
        DeliverToWaiter(ButtonAction::Close);
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        if (canClose) {
            DestroyWindow(window);
        } else {
            ButtonHandler handler = std::move(buttonHandler);
            buttonHandler = nullptr;
            DeliverToWaiter(ButtonAction::Close);
            if (handler)
                handler(ButtonAction::Close);
        }
        return 0;
    case WM_KEYDOWN:
        if (OnKeyDown(wParam, lParam))
            return 0;
        break;
    case WM_KEYUP:
        if (wParam == VK_RETURN || wParam == VK_SPACE || wParam == VK_ESCAPE)
            return 0; // acted on when pressed
        break;
    case WM_ACTIVATE:
        if (LOWORD(wParam) != WA_INACTIVE && !HIWORD(wParam) && FocusButton())
            return 0;
        break;
    case WM_SETFOCUS:
        FocusButton();
        return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == ButtonId && HIWORD(wParam) == BN_CLICKED) {
            OnButtonClicked();
            return 0;
        }
        break;
    case WM_DPICHANGED: {
        UpdateFonts(HIWORD(wParam));
        auto const* suggested = reinterpret_cast<RECT const*>(lParam);
        SetWindowPos(hwnd, nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                     suggested->bottom - suggested->top, SWP_NOZORDER | SWP_NOACTIVATE);
        UpdateLayout();
        return 0;
    }
    case RunPostedMessage:
        RunPosted();
        return 0;
    case RunSentMessage:
        // Only the callable InvokeOnUi is waiting on is run.
        if (auto* callable = reinterpret_cast<Callable*>(lParam); callable && callable == invoking.load())
            (*callable)();
        return 0;
    case DestroyNowMessage:
        canClose = true;
        RunPosted(); // what was posted before the close request
        DestroyWindow(hwnd);
        return 0;
    default:
        break;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}

void MainWindow::CreateControls(HWND parent)
{
    UINT const dpi = GetWindowDpi(parent);
    statusLabel = CreateChild(parent, instance, L"STATIC", L"", WS_CHILD | WS_VISIBLE, StatusLabelId);
    taskProgressBar = CreateChild(parent, instance, PROGRESS_CLASSW, nullptr, WS_CHILD | PBS_MARQUEE, TaskProgressBarId);
    totalProgressLabel = CreateChild(parent, instance, L"STATIC", TotalProgressText, WS_CHILD, TotalProgressLabelId);
    totalProgressBar = CreateChild(parent, instance, PROGRESS_CLASSW, nullptr, WS_CHILD, TotalProgressBarId);
    button = CreateChild(parent, instance, L"BUTTON", L"Close", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                         ButtonId);
    versionLabel = CreateChild(parent, instance, L"STATIC", GetVersionText().c_str(), WS_CHILD | WS_VISIBLE,
                               VersionLabelId);
    if (versionLabel)
        EnableWindow(versionLabel, FALSE); // drawn grey
    // Each bar is named by the text above it, for screen readers.
    NameControlByLabel(taskProgressBar, statusLabel);
    NameControlByLabel(totalProgressBar, totalProgressLabel);
    UpdateFonts(dpi);
}

void MainWindow::UpdateFonts(UINT dpi)
{
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    GetNonClientMetricsForDpi(&metrics, dpi);
    UniqueFont message(CreateFontIndirectW(&metrics.lfMessageFont));
    LOGFONTW smallLook = metrics.lfMessageFont;
    smallLook.lfHeight = MulDiv(smallLook.lfHeight, 4, 5);
    UniqueFont small(CreateFontIndirectW(&smallLook));

    for (HWND control : {statusLabel, taskProgressBar, totalProgressLabel, totalProgressBar, button}) {
        if (control)
            SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(message.Get()), TRUE);
    }
    if (versionLabel)
        SendMessageW(versionLabel, WM_SETFONT, reinterpret_cast<WPARAM>(small.Get()), TRUE);
    // The previous fonts go now that no control uses them.
    messageFont = std::move(message);
    smallFont = std::move(small);
}

void MainWindow::UpdateLayout()
{
    if (!window)
        return;
    int const dpi = static_cast<int>(GetWindowDpi(window));
    RECT client{};
    GetClientRect(window, &client);
    int const cw = client.right - client.left;
    int const ch = client.bottom - client.top;
    LayoutFrame const frame = ComputeLayoutFrame(dpi, cw);

    LayoutMeasures measures;
    measures.HasStatus = statusLabel != nullptr;
    if (statusLabel && frame.ContentWidth > 0)
        measures.StatusHeight =
            MeasureText(statusLabel, messageFont.Get(), ReadWindowText(statusLabel, 4096), frame.ContentWidth, DT_WORDBREAK)
                .Height;
    if (totalProgressVisible)
        measures.TotalLabelHeight = MeasureText(totalProgressLabel ? totalProgressLabel : window, messageFont.Get(),
                                                TotalProgressText, frame.ContentWidth, 0)
                                        .Height;
    SIZE ideal{ScaleForDpi(75, dpi), ScaleForDpi(23, dpi)};
    if (button)
        SendMessageW(button, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal));
    measures.IdealButton = {ideal.cx, ideal.cy};
    measures.HasVersion = versionLabel != nullptr;
    if (versionLabel)
        measures.Version = MeasureText(versionLabel, smallFont.Get(), ReadWindowText(versionLabel, 256), frame.ContentWidth, 0);

    Layout const layout = ComputeLayout(dpi, cw, taskProgressVisible, totalProgressVisible, measures);

    Place(statusLabel, layout.Status);
    SetVisible(taskProgressBar, layout.TaskShown);
    Place(taskProgressBar, layout.TaskBar);
    SetVisible(totalProgressLabel, layout.TotalShown);
    Place(totalProgressLabel, layout.TotalLabel);
    SetVisible(totalProgressBar, layout.TotalShown);
    Place(totalProgressBar, layout.TotalBar);
    Place(button, layout.Button);
    if (versionLabel)
        Place(versionLabel, layout.Version);

    if (layout.NeededClient.Width == cw && layout.NeededClient.Height == ch)
        return;
    RECT needed{0, 0, layout.NeededClient.Width, layout.NeededClient.Height};
    AdjustWindowRectForDpi(&needed, static_cast<DWORD>(GetWindowLongW(window, GWL_STYLE)),
                           static_cast<DWORD>(GetWindowLongW(window, GWL_EXSTYLE)), static_cast<UINT>(dpi));
    SetWindowPos(window, nullptr, 0, 0, needed.right - needed.left, needed.bottom - needed.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

// --- Version line and clipboard -------------------------------------------

std::wstring MainWindow::GetVersionText()
{
    ExecutablePath const executable = ReadExecutablePath();
    if (executable.Error)
        return FormatW(L"GetModuleFileNameW error: %lu", executable.Error);
    if (executable.TooLong)
        return FormatW(L"GetModuleFileNameW still failing at buffer size %lu", MaxExecutablePathBuffer);
    wchar_t const* const path = executable.Path.c_str();

    DWORD handle = 0;
    DWORD const size = GetFileVersionInfoSizeW(path, &handle);
    if (size == 0)
        return FormatW(L"GetFileVersionInfoSizeW error: %lu", GetLastError());
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data()))
        return FormatW(L"GetFileVersionInfoW error: %lu", GetLastError());
    VS_FIXEDFILEINFO* info = nullptr;
    UINT infoSize = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &infoSize) || !info)
        return L"VerQueryValueW failed";
    return FormatW(L"%lu.%lu.%lu.%lu %ls", static_cast<unsigned long>(HIWORD(info->dwProductVersionMS)),
                   static_cast<unsigned long>(LOWORD(info->dwProductVersionMS)),
                   static_cast<unsigned long>(HIWORD(info->dwProductVersionLS)),
                   static_cast<unsigned long>(LOWORD(info->dwProductVersionLS)),
                   GetArchitectureName(GetProcessArchitecture()));
}

std::wstring MainWindow::BuildClipboardText() const
{
    std::wstring const status = ReadWindowText(statusLabel, 4096);
    std::wstring const caption = ReadWindowText(button, 64);
    std::wstring const version = ReadWindowText(versionLabel, 256);
    WindowTextState state;
    state.Title = Title;
    state.Status = status;
    state.TaskVisible = taskProgressVisible;
    state.TaskProgress = taskProgress;
    state.TotalVisible = totalProgressVisible;
    state.TotalPosition = totalProgressPos;
    state.TotalRange = totalProgressRange;
    state.ButtonEnabled = button && IsWindowEnabled(button);
    state.ButtonCaption = caption;
    if (versionLabel)
        state.VersionText = version;
    return BuildWindowText(state);
}

void MainWindow::CopyTextToClipboard()
{
    std::wstring const text = BuildClipboardText();
    if (!OpenClipboard(window))
        return;
    EmptyClipboard(); // and so it stays should the copy fail
    UniqueGlobalMemory memory(GlobalAlloc(GMEM_MOVEABLE, (text.size() + 1) * sizeof(wchar_t)));
    void* const locked = memory ? GlobalLock(memory.Get()) : nullptr;
    if (locked) {
        std::wmemcpy(static_cast<wchar_t*>(locked), text.c_str(), text.size() + 1);
        GlobalUnlock(memory.Get());
        if (SetClipboardData(CF_UNICODETEXT, memory.Get()))
            memory.Release(); // the clipboard owns it now
    }
    CloseClipboard();
}

} // namespace ovl::setup

#pragma once
// Runs a scenario against a real MainWindow: the test thread becomes the UI
// thread and runs the message loop; the scenario runs on a worker thread, as
// the controller's workflow does, and the window is closed when it returns.

#include "support/DesktopSupport.h"
#include "window/MainWindow.h"

#include <windows.h>

#include <functional>
#include <thread>

namespace ovl::test {

inline void RunWindowScenario(std::function<void(ovl::setup::MainWindow&)> const& scenario)
{
    ovl::setup::MainWindow window(GetModuleHandleW(nullptr));
    std::thread worker;
    window.RunMessageLoop([&] {
        worker = std::thread([&] {
            scenario(window);
            window.PostToUi([&] { window.Close(); });
        });
    });
    worker.join();
}

// Reads something on the UI thread and hands it back to the worker.
template <typename F>
auto OnUi(ovl::setup::MainWindow& window, F f) -> decltype(f())
{
    decltype(f()) result{};
    window.InvokeOnUi([&] { result = f(); });
    return result;
}

// A control's rectangle in the client coordinates of its parent.
inline RECT ChildRect(HWND parent, int id)
{
    RECT rect{};
    HWND child = GetDlgItem(parent, id);
    GetWindowRect(child, &rect);
    MapWindowPoints(HWND_DESKTOP, parent, reinterpret_cast<POINT*>(&rect), 2);
    return rect;
}

inline SIZE ClientSize(HWND window)
{
    RECT rect{};
    GetClientRect(window, &rect);
    return {rect.right - rect.left, rect.bottom - rect.top};
}

} // namespace ovl::test

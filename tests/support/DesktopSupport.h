#pragma once
// Keyboard input and the clipboard, as a user at the desktop would use them.

#include <windows.h>

#include <string>

namespace ovl::test {

// Ctrl+C, typed for real into the foreground window.
inline void TypeCtrlC()
{
    INPUT keys[4] = {};
    for (auto& key : keys)
        key.type = INPUT_KEYBOARD;
    keys[0].ki.wVk = VK_CONTROL;
    keys[1].ki.wVk = 'C';
    keys[2].ki.wVk = 'C';
    keys[2].ki.dwFlags = KEYEVENTF_KEYUP;
    keys[3].ki.wVk = VK_CONTROL;
    keys[3].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(4, keys, sizeof(INPUT));
}

// One key, pressed and released for real in the foreground window.
inline void TypeKey(WORD virtualKey)
{
    INPUT keys[2] = {};
    for (auto& key : keys) {
        key.type = INPUT_KEYBOARD;
        key.ki.wVk = virtualKey;
    }
    keys[1].ki.dwFlags = KEYEVENTF_KEYUP;
    SendInput(2, keys, sizeof(INPUT));
}

// Brings a window of another thread or process to the foreground, so that
// typed keys reach it, and gives it a moment to take the focus.
inline void BringToFront(HWND window)
{
    SetForegroundWindow(window);
    Sleep(200);
}

// The clipboard's text; OpenClipboard is retried, since Wine's X11 driver
// polls the selection.
inline std::wstring ClipboardText()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (OpenClipboard(nullptr)) {
            std::wstring text;
            if (HANDLE data = GetClipboardData(CF_UNICODETEXT)) {
                if (auto const* locked = static_cast<wchar_t const*>(GlobalLock(data))) {
                    text = locked;
                    GlobalUnlock(data);
                }
            }
            CloseClipboard();
            return text;
        }
        Sleep(20);
    }
    return L"(clipboard could not be opened)";
}

inline void ClearClipboard()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (OpenClipboard(nullptr)) {
            EmptyClipboard();
            CloseClipboard();
            return;
        }
        Sleep(20);
    }
}

} // namespace ovl::test

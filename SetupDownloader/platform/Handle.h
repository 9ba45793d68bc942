#pragma once
// Scope-bound owners of Win32 handles: one generic owner, and one line per
// kind of handle naming its close function and what counts as no handle.

#include <windows.h>

#include <utility>

namespace ovl::setup {

template <typename T, void (*CloseFunction)(T) noexcept, bool (*IsValidFunction)(T) noexcept>
class UniqueOwner {
public:
    UniqueOwner() noexcept = default;
    explicit UniqueOwner(T value) noexcept : value_(value) {}
    UniqueOwner(UniqueOwner&& other) noexcept : value_(std::exchange(other.value_, T{})) {}
    UniqueOwner& operator=(UniqueOwner&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.value_, T{}));
        return *this;
    }
    UniqueOwner(UniqueOwner const&) = delete;
    UniqueOwner& operator=(UniqueOwner const&) = delete;
    ~UniqueOwner() { Reset(); }

    T Get() const noexcept { return value_; }
    bool IsValid() const noexcept { return IsValidFunction(value_); }
    explicit operator bool() const noexcept { return IsValid(); }

    void Reset(T value = T{}) noexcept
    {
        if (IsValid())
            CloseFunction(value_);
        value_ = value;
    }
    // Gives the handle up without closing it.
    T Release() noexcept { return std::exchange(value_, T{}); }

private:
    T value_{};
};

namespace handle_kinds {
template <typename T>
bool IsNotNull(T value) noexcept
{
    return value != nullptr;
}
// Kernel objects: null and INVALID_HANDLE_VALUE both mean none.
inline bool IsKernelHandle(HANDLE handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
inline void CloseKernelHandle(HANDLE handle) noexcept { CloseHandle(handle); }
// A handle kept from stray closes (HANDLE_FLAG_PROTECT_FROM_CLOSE): its owner lifts that first.
inline void CloseProtectedHandle(HANDLE handle) noexcept
{
    SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, 0);
    CloseHandle(handle);
}
inline void FreeLocal(HLOCAL memory) noexcept { LocalFree(memory); }
inline void FreeGlobal(HGLOBAL memory) noexcept { GlobalFree(memory); }
inline void DeleteFontObject(HFONT font) noexcept { DeleteObject(font); }
} // namespace handle_kinds

using UniqueHandle = UniqueOwner<HANDLE, handle_kinds::CloseKernelHandle, handle_kinds::IsKernelHandle>;
using UniqueProtectedHandle = UniqueOwner<HANDLE, handle_kinds::CloseProtectedHandle, handle_kinds::IsKernelHandle>;
using UniqueLocalMemory = UniqueOwner<HLOCAL, handle_kinds::FreeLocal, handle_kinds::IsNotNull<HLOCAL>>;
using UniqueGlobalMemory = UniqueOwner<HGLOBAL, handle_kinds::FreeGlobal, handle_kinds::IsNotNull<HGLOBAL>>;
using UniqueFont = UniqueOwner<HFONT, handle_kinds::DeleteFontObject, handle_kinds::IsNotNull<HFONT>>;

// A window's device context (GetDC), released with the window it came from.
class WindowDC {
public:
    explicit WindowDC(HWND window) noexcept : window_(window), dc_(GetDC(window)) {}
    ~WindowDC()
    {
        if (dc_)
            ReleaseDC(window_, dc_);
    }
    WindowDC(WindowDC const&) = delete;
    WindowDC& operator=(WindowDC const&) = delete;

    HDC Get() const noexcept { return dc_; }
    explicit operator bool() const noexcept { return dc_ != nullptr; }

private:
    HWND window_;
    HDC dc_;
};

} // namespace ovl::setup

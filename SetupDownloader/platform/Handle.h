#pragma once
// Scope-bound owner of a Win32 kernel handle.

#include <windows.h>

#include <utility>

namespace ovl::setup {

class UniqueHandle {
public:
    UniqueHandle() noexcept = default;
    explicit UniqueHandle(HANDLE handle) noexcept : handle_(handle) {}
    UniqueHandle(UniqueHandle&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    UniqueHandle& operator=(UniqueHandle&& other) noexcept
    {
        if (this != &other)
            Reset(std::exchange(other.handle_, nullptr));
        return *this;
    }
    UniqueHandle(UniqueHandle const&) = delete;
    UniqueHandle& operator=(UniqueHandle const&) = delete;
    ~UniqueHandle() { Reset(); }

    HANDLE Get() const noexcept { return handle_; }
    // Null and INVALID_HANDLE_VALUE both count as no handle.
    bool IsValid() const noexcept { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
    explicit operator bool() const noexcept { return IsValid(); }

    void Reset(HANDLE handle = nullptr) noexcept
    {
        if (IsValid())
            CloseHandle(handle_);
        handle_ = handle;
    }

private:
    HANDLE handle_ = nullptr;
};

} // namespace ovl::setup

#pragma once
// A stand-in for Windows.Foundation's asynchronous operations: a result that
// arrives later on another thread, a completion handler invoked exactly once,
// GetResults that raises winrt::hresult_error for a failed or canceled
// operation, and Cancel, after which the handler is still invoked.
//
// An operation may also carry a stall limit: whoever produces it reports
// progress on an activity clock, and an operation that has seen none for
// longer than the limit fails by itself when its waiter checks (CheckStall),
// as a waiter does every time it looks at its cancel flag.

#include "platform/Error.h"
#include "platform/Lock.h"

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace winrt::Windows::Foundation {

enum class AsyncStatus { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

// When the work behind an operation last made progress.
class ActivityClock {
public:
    ActivityClock() noexcept { Touch(); }
    void Touch() noexcept { last_.store(GetTickCount64(), std::memory_order_relaxed); }
    std::chrono::milliseconds Idle() const noexcept
    {
        return std::chrono::milliseconds(GetTickCount64() - last_.load(std::memory_order_relaxed));
    }

private:
    std::atomic<ULONGLONG> last_{0};
};

namespace impl {

// Shared between the operation's owner and whatever completes it.
template <typename T>
class AsyncState {
public:
    // Completes once; later calls (a late platform callback after a Cancel)
    // return false and change nothing.
    bool Complete(T result) { return Finish(AsyncStatus::Completed, std::move(result), 0, {}); }
    bool Fail(hresult code, std::wstring message) { return Finish(AsyncStatus::Error, std::nullopt, code, std::move(message)); }

    // What Cancel (and a stall) does to the work behind the operation, run
    // after the handler has been told.
    void SetCanceler(std::function<void()> canceler)
    {
        std::lock_guard guard(lock_);
        canceler_ = std::move(canceler);
    }

    void Cancel()
    {
        if (Finish(AsyncStatus::Canceled, std::nullopt, OperationCanceled, L"The operation was canceled"))
            RunCanceler();
    }

    // The operation fails with (code, message) once clock has been idle for
    // longer than limit while it is pending.
    void SetStallLimit(std::shared_ptr<ActivityClock const> clock, std::chrono::milliseconds limit, hresult code,
                       std::wstring message)
    {
        std::lock_guard guard(lock_);
        stallClock_ = std::move(clock);
        stallLimit_ = limit;
        stallCode_ = code;
        stallMessage_ = std::move(message);
    }

    // True when the operation has just failed for having stalled.
    bool CheckStall()
    {
        hresult code = 0;
        std::wstring message;
        {
            std::lock_guard guard(lock_);
            if (status_ != AsyncStatus::Started || !stallClock_ || stallClock_->Idle() <= stallLimit_)
                return false;
            code = stallCode_;
            message = stallMessage_;
        }
        if (!Fail(code, std::move(message)))
            return false;
        RunCanceler();
        return true;
    }

    // Invoked at once, on the calling thread, when the operation has already ended.
    void SetCompleted(std::function<void(AsyncStatus)> handler)
    {
        AsyncStatus status;
        {
            std::lock_guard guard(lock_);
            if (status_ == AsyncStatus::Started) {
                handler_ = std::move(handler);
                return;
            }
            status = status_;
        }
        handler(status);
    }

    AsyncStatus Status() const
    {
        std::lock_guard guard(lock_);
        return status_;
    }

    T GetResults() const
    {
        std::lock_guard guard(lock_);
        if (status_ == AsyncStatus::Completed)
            return *result_;
        if (status_ == AsyncStatus::Started)
            throw hresult_error(IllegalMethodCall, L"The operation has not completed yet");
        throw hresult_error(error_, message_);
    }

private:
    bool Finish(AsyncStatus status, std::optional<T> result, hresult code, std::wstring message)
    {
        std::function<void(AsyncStatus)> handler;
        {
            std::lock_guard guard(lock_);
            if (status_ != AsyncStatus::Started)
                return false;
            status_ = status;
            result_ = std::move(result);
            error_ = code;
            message_ = std::move(message);
            handler = std::move(handler_);
            handler_ = nullptr;
        }
        if (handler)
            handler(status);
        return true;
    }

    void RunCanceler()
    {
        std::function<void()> canceler;
        {
            std::lock_guard guard(lock_);
            canceler = std::move(canceler_);
            canceler_ = nullptr;
        }
        if (canceler)
            canceler();
    }

    mutable ovl::setup::SlimLock lock_;
    AsyncStatus status_ = AsyncStatus::Started;
    std::optional<T> result_;
    hresult error_ = 0;
    std::wstring message_;
    std::function<void(AsyncStatus)> handler_;
    std::function<void()> canceler_;
    std::shared_ptr<ActivityClock const> stallClock_;
    std::chrono::milliseconds stallLimit_{0};
    hresult stallCode_ = 0;
    std::wstring stallMessage_;
};

} // namespace impl

template <typename T>
class IAsyncOperation {
public:
    IAsyncOperation() = default;
    explicit IAsyncOperation(std::shared_ptr<impl::AsyncState<T>> state) : state_(std::move(state)) {}

    // An operation that has already completed with a result.
    static IAsyncOperation FromResult(T result)
    {
        auto state = std::make_shared<impl::AsyncState<T>>();
        state->Complete(std::move(result));
        return IAsyncOperation(std::move(state));
    }

    void Completed(std::function<void(AsyncStatus)> handler) const { state_->SetCompleted(std::move(handler)); }
    T GetResults() const { return state_->GetResults(); }
    void Cancel() const { state_->Cancel(); }
    AsyncStatus Status() const { return state_->Status(); }
    // Fails the operation when it has stalled; true when it just did.
    bool CheckStall() const { return state_->CheckStall(); }
    explicit operator bool() const noexcept { return state_ != nullptr; }

private:
    std::shared_ptr<impl::AsyncState<T>> state_;
};

} // namespace winrt::Windows::Foundation

#pragma once
// A stand-in for Windows.Foundation's asynchronous operations: a result that
// arrives later on another thread, a completion handler invoked exactly once,
// GetResults that raises winrt::hresult_error for a failed or canceled
// operation, and Cancel, after which the handler is still invoked.

#include "platform/Json.h" // winrt::hresult_error

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

namespace winrt::Windows::Foundation {

enum class AsyncStatus { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

inline constexpr hresult OperationCanceled = static_cast<hresult>(0x800704C7); // HRESULT_FROM_WIN32(ERROR_CANCELLED)

namespace impl {

// Shared between the operation's owner and whatever completes it.
template <typename T>
class AsyncState {
public:
    // Completes once; later calls (a late platform callback after a Cancel)
    // return false and change nothing.
    bool Complete(T result) { return Finish(AsyncStatus::Completed, std::move(result), 0, {}); }
    bool Fail(hresult code, std::wstring message) { return Finish(AsyncStatus::Error, std::nullopt, code, std::move(message)); }

    // What Cancel does to the work behind the operation (run after the
    // handler has been told of the cancellation).
    void SetCanceler(std::function<void()> canceler)
    {
        std::lock_guard guard(lock_);
        canceler_ = std::move(canceler);
    }

    void Cancel()
    {
        std::function<void()> canceler;
        {
            std::lock_guard guard(lock_);
            canceler = std::move(canceler_);
        }
        Finish(AsyncStatus::Canceled, std::nullopt, OperationCanceled, L"The operation was canceled");
        if (canceler)
            canceler();
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
            throw hresult_error(static_cast<hresult>(0x8000000E), L"The operation has not completed yet");
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

    mutable std::mutex lock_;
    AsyncStatus status_ = AsyncStatus::Started;
    std::optional<T> result_;
    hresult error_ = 0;
    std::wstring message_;
    std::function<void(AsyncStatus)> handler_;
    std::function<void()> canceler_;
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
    explicit operator bool() const noexcept { return state_ != nullptr; }

private:
    std::shared_ptr<impl::AsyncState<T>> state_;
};

} // namespace winrt::Windows::Foundation

#pragma once
// Every HTTP transfer: one GET with up to ten attempts, resuming with a byte
// range where the server accepts them, streaming the body to a sink.

#include "controller/Outcome.h"
#include "platform/Http.h"
#include "platform/Lock.h"

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ovl::setup {

struct DownloadProgress {
    double percent = 0.0; // 0 to 100, or -1 when no total length was announced
    std::int32_t attempt = 0;
};

using DownloadProgressCallback = std::function<void(DownloadProgress const&)>;

// (chunk bytes, byte count, offset of the chunk's first byte in the body).
using DownloadSink = std::function<void(std::uint8_t const* data, std::uint32_t count, std::uint64_t offset)>;

// Sees every response an attempt receives, before the transfer logic judges
// it (a publisher's check records statuses and headers with it).
using ResponseObserver = std::function<void(winrt::Windows::Web::Http::HttpResponseMessage const&)>;

inline constexpr std::int32_t MaxAttempts = 10;
inline constexpr std::chrono::milliseconds RetryDelay{500};
inline constexpr std::uint32_t ChunkSize = 65536;
inline constexpr std::chrono::milliseconds CancelPollInterval{50};

// Downloads url and returns the body's total length; see the retry policy in
// the implementation. Fails with winrt::hresult_error when the client or the
// URL cannot be set up, CanceledException, or std::runtime_error.
std::uint64_t DownloadToSink(std::wstring_view url, DownloadProgressCallback const& progress, CancelFlag const& cancel,
                             DownloadSink sink, ResponseObserver const& observer = {});

// The whole body in memory, at most maxSize bytes ("The response is larger
// than allowed" otherwise, after the usual attempts).
std::vector<std::uint8_t> DownloadBytes(std::wstring_view url, std::uint64_t maxSize,
                                        DownloadProgressCallback const& progress, CancelFlag const& cancel);

// What one call of DownloadToSink carries from attempt to attempt.
struct TransferState {
    std::uint64_t received = 0; // body bytes the sink has taken
    bool acceptsRanges = false;
    std::uint64_t length = 0;
    bool lengthKnown = false;
    std::int32_t attempt = 0;
};

// The "Range" header for the state's attempt: "bytes=<received>-" when it can
// resume (not the first attempt, ranges accepted, something received).
// Otherwise none, and a later attempt starts over (received becomes 0).
std::optional<std::wstring> ChooseRange(TransferState& state);

// What a response means for its body.
enum class ResponseVerdict {
    ReadBody,
    EmptyBody, // a Content-Length of 0: the transfer is done, the body not opened
    HttpError, // not a success status: EnsureSuccessStatusCode says which
};

// Judges a response's status and headers by the transfer rules, updating the
// state (resume offset, Accept-Ranges, length). A 206 not asked for, or one
// that resumes elsewhere than at received, fails with a runtime error.
ResponseVerdict AcceptResponse(winrt::Windows::Web::Http::HttpResponseMessage const& response, bool rangeRequested,
                               TransferState& state);

// True when a comma-separated "Accept-Ranges" value lists the token "bytes".
bool IsByteRangeToken(std::wstring_view value);

// True when a 206 response's Content-Range is in bytes and starts at offset.
bool IsResumedAt(winrt::Windows::Web::Http::HttpResponseMessage const& response, std::uint64_t offset);

// Waits for an operation, looking at the cancel flag and the operation's
// stall rule every 50 ms; on a cancel it cancels the operation and returns
// only once the operation has reported its end, then throws CanceledException.
//
// The completion handler wakes this frame through a lock and a condition
// variable: unlike a kernel event (created, set, waited on and closed for
// every read), they cost no system call when the result is already there,
// and under Wine no round trip to the wineserver when it is not. The state
// they share is owned by the handler as well, so that it outlives every use.
template <typename T>
T WaitForAsync(winrt::Windows::Foundation::IAsyncOperation<T> operation, CancelFlag const& cancel)
{
    struct Waiter {
        SlimLock Lock;
        ConditionVariable Done;
        bool Completed = false;
    };
    auto const waiter = std::make_shared<Waiter>();
    operation.Completed([waiter](winrt::Windows::Foundation::AsyncStatus) {
        {
            std::lock_guard guard(waiter->Lock);
            waiter->Completed = true;
        }
        waiter->Done.WakeAll();
    });
    auto waitForCompletion = [&waiter](std::optional<std::chrono::milliseconds> limit) {
        std::lock_guard guard(waiter->Lock);
        if (!waiter->Completed) {
            if (limit)
                waiter->Done.WaitFor(waiter->Lock, *limit);
            else
                while (!waiter->Completed)
                    waiter->Done.Wait(waiter->Lock);
        }
        return waiter->Completed;
    };

    while (!waitForCompletion(CancelPollInterval)) {
        // An operation that has received nothing for the stall time fails by
        // itself now; its handler then ends this wait.
        operation.CheckStall();
        if (cancel.load(std::memory_order_acquire)) {
            operation.Cancel();
            waitForCompletion(std::nullopt);
            throw CanceledException();
        }
    }
    ThrowIfCanceled(cancel);
    return operation.GetResults();
}

} // namespace ovl::setup

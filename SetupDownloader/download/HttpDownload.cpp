#include "download/HttpDownload.h"

#include "platform/Text.h"

#include <algorithm>
#include <thread>

namespace ovl::setup {

using namespace winrt::Windows;
using Web::Http::HttpResponseMessage;

bool IsByteRangeToken(std::wstring_view value)
{
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find(L',', start);
        if (end == std::wstring_view::npos)
            end = value.size();
        std::wstring_view const piece = TrimBlanks(value.substr(start, end - start));
        if (piece.size() == 5 && EqualsIgnoreAsciiCase(piece, L"bytes"))
            return true;
        start = end + 1;
    }
    return false;
}

bool IsResumedAt(HttpResponseMessage const& response, std::uint64_t offset)
{
    auto const& range = response.Content().Headers().ContentRange();
    return range && EqualsIgnoreAsciiCase(range->Unit, L"bytes") && range->FirstBytePosition &&
           *range->FirstBytePosition == offset;
}

std::optional<std::wstring> ChooseRange(TransferState& state)
{
    if (state.attempt == 0)
        return std::nullopt;
    if (state.acceptsRanges && state.received > 0)
        return FormatW(L"bytes=%llu-", static_cast<unsigned long long>(state.received));
    state.received = 0;
    return std::nullopt;
}

ResponseVerdict AcceptResponse(HttpResponseMessage const& response, bool rangeRequested, TransferState& state)
{
    if (!response.IsSuccessStatusCode()) {
        if (rangeRequested) {
            state.acceptsRanges = false;
            state.received = 0;
        }
        return ResponseVerdict::HttpError;
    }
    std::uint32_t const status = response.StatusCode();
    if (status == 206 && !rangeRequested)
        throw std::runtime_error("The server sent part of the file without being asked for a part");
    if (status == 206 && !IsResumedAt(response, state.received)) {
        state.acceptsRanges = false;
        state.received = 0;
        throw std::runtime_error("The server resumed the download at the wrong offset");
    }
    if (status != 206 && rangeRequested)
        state.received = 0; // the whole body again

    if (response.Headers().HasKey(L"Accept-Ranges"))
        state.acceptsRanges = IsByteRangeToken(response.Headers().Lookup(L"Accept-Ranges"));

    if (!state.lengthKnown && status != 206) {
        if (auto const contentLength = response.Content().Headers().ContentLength()) {
            state.length = *contentLength;
            state.lengthKnown = true;
            if (state.length == 0)
                return ResponseVerdict::EmptyBody;
        }
    }
    return ResponseVerdict::ReadBody;
}

namespace {

// Streams a response's body to the sink, reporting progress after every
// chunk; returns the body's total length.
std::uint64_t ReadBody(HttpResponseMessage const& response, TransferState& state, DownloadProgressCallback const& progress,
                       CancelFlag const& cancel, DownloadSink const& sink)
{
    Storage::Streams::IInputStream const stream = WaitForAsync(response.Content().ReadAsInputStreamAsync(), cancel);
    Storage::Streams::Buffer const buffer(ChunkSize);
    std::vector<std::uint8_t> chunk;
    for (;;) {
        ThrowIfCanceled(cancel);
        Storage::Streams::IBuffer const read =
            WaitForAsync(stream.ReadAsync(buffer, ChunkSize, Storage::Streams::InputStreamOptions::None), cancel);
        std::uint32_t const n = read.Length();
        if (n == 0) {
            if (state.length != 0 && state.received != state.length)
                throw std::runtime_error("The download ended before all of its content had arrived");
            return state.received;
        }
        chunk.resize(n);
        Storage::Streams::DataReader::FromBuffer(read).ReadBytes(chunk);
        sink(chunk.data(), n, state.received);
        state.received += n;
        if (progress) {
            double const percent =
                state.length != 0
                    ? std::min(static_cast<double>(state.received) * 100.0 / static_cast<double>(state.length), 100.0)
                    : -1.0;
            progress(DownloadProgress{percent, state.attempt});
        }
    }
}

// One attempt: the request (resuming where the state allows), the response's
// judgement, and the body.
std::uint64_t RunAttempt(Web::Http::HttpClient const& client, Foundation::Uri const& uri, TransferState& state,
                         DownloadProgressCallback const& progress, CancelFlag const& cancel, DownloadSink const& sink,
                         ResponseObserver const& observer)
{
    Web::Http::HttpRequestMessage request(Web::Http::HttpMethod::Get(), uri);
    std::optional<std::wstring> const range = ChooseRange(state);
    if (range)
        request.Headers().Insert(L"Range", *range);
    HttpResponseMessage const response = WaitForAsync(
        client.SendRequestAsync(request, Web::Http::HttpCompletionOption::ResponseHeadersRead), cancel);
    if (observer)
        observer(response);
    switch (AcceptResponse(response, range.has_value(), state)) {
    case ResponseVerdict::HttpError:
        response.EnsureSuccessStatusCode(); // throws
        break;
    case ResponseVerdict::EmptyBody:
        return 0;
    case ResponseVerdict::ReadBody:
        break;
    }
    return ReadBody(response, state, progress, cancel, sink);
}

} // namespace

std::uint64_t DownloadToSink(std::wstring_view url, DownloadProgressCallback const& progress, CancelFlag const& cancel,
                             DownloadSink sink, ResponseObserver const& observer)
{
    // Set-up, once per call; its failures are not retried.
    Web::Http::Filters::HttpBaseProtocolFilter filter;
    filter.AllowAutoRedirect(true);
    filter.AutomaticDecompression(false);
    filter.UseProxy(true);
    filter.AllowUI(false);
    filter.CacheControl().ReadBehavior(Web::Http::Filters::HttpCacheReadBehavior::NoCache);
    filter.CacheControl().WriteBehavior(Web::Http::Filters::HttpCacheWriteBehavior::NoCache);
    Web::Http::HttpClient const client(filter);
    Foundation::Uri const uri(url);

    // Retry policy: a cancel leaves at once; any other failure is retried
    // after RetryDelay, and the tenth is final (a platform error then as
    // "Download failed: " and its message).
    TransferState state;
    for (state.attempt = 0; state.attempt < MaxAttempts; ++state.attempt) {
        ThrowIfCanceled(cancel);
        try {
            return RunAttempt(client, uri, state, progress, cancel, sink, observer);
        } catch (CanceledException const&) {
            throw;
        } catch (winrt::hresult_error const& e) {
            if (state.attempt == MaxAttempts - 1)
                throw std::runtime_error("Download failed: " + Utf16ToUtf8(e.message()));
        } catch (std::exception const&) {
            if (state.attempt == MaxAttempts - 1)
                throw;
        }
        // Every per-attempt object is gone here; the client and the Uri stay.
        std::this_thread::sleep_for(RetryDelay);
    }
    throw std::runtime_error("Download failed"); // not reached: the last attempt rethrows
}

std::vector<std::uint8_t> DownloadBytes(std::wstring_view url, std::uint64_t maxSize,
                                        DownloadProgressCallback const& progress, CancelFlag const& cancel)
{
    std::vector<std::uint8_t> body;
    std::uint64_t const total =
        DownloadToSink(url, progress, cancel, [&body, maxSize](std::uint8_t const* data, std::uint32_t n, std::uint64_t offset) {
            if (offset + n > maxSize)
                throw std::runtime_error("The response is larger than allowed");
            if (body.size() < offset + n)
                body.resize(static_cast<size_t>(offset + n));
            std::copy(data, data + n, body.begin() + static_cast<std::ptrdiff_t>(offset));
        });
    body.resize(static_cast<size_t>(total));
    return body;
}

} // namespace ovl::setup

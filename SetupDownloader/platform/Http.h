#pragma once
// Stand-ins for the Windows Runtime HTTP client (Windows.Web.Http, its
// filters and headers, Windows.Foundation.Uri, Windows.Storage.Streams) over
// WinHTTP in asynchronous mode. Only what the downloader uses is offered:
// a GET per request with optional extra headers, completion at the response
// headers, the body as a stream read in chunks, and cancellation.
//
// Each request is driven by a thread of its own, which alone calls WinHTTP for
// it: it resolves the system's proxy, sends, takes the headers in (answering a
// proxy's Negotiate or NTLM challenge once, with the logged-on user's
// credentials) and reads the body ahead of its reader. So no WinHTTP call that
// may wait on the network runs on the thread that waits for an operation:
// under Wine an "asynchronous" WinHttpReadData blocks its caller until the
// whole count has come whenever part of the response is already buffered, and
// a proxy script may take its time on any system.
//
// Cancel completes the operation at once (its handler runs, GetResults
// raises) and has the request closed; what WinHTTP reports later is ignored,
// and each request's state stays alive until WinHTTP reports its handle
// closed, since under Wine closing the handle does not abort a pending read.
//
// Every operation carries the stall rule: when no byte of the response has
// arrived for GetStallTimeout() while it is pending, it fails with
// "The server stopped responding" (HRESULT_FROM_WIN32(ERROR_WINHTTP_TIMEOUT))
// the next time its waiter checks. WinHTTP's own time-outs are set a little
// longer, so that the rule decides.

#include "platform/Async.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovl::setup {

// How long a transfer may go without receiving a byte; a build setting (30 s
// in the product, shorter in the tests' builds).
std::chrono::milliseconds GetStallTimeout() noexcept;

// A seam for tests: given the count a request's thread is about to ask one
// network read of a response body for, the count to ask WinHTTP for. Tests
// use it to model Windows, where a read completes with whatever has arrived
// (Wine completes a read only once its whole count is in), and to inject a
// failure on a request's thread. None (the product) asks for the count as is.
using NetworkReadSeam = std::uint32_t (*)(std::uint32_t count);
void SetNetworkReadSeam(NetworkReadSeam seam) noexcept;

} // namespace ovl::setup

namespace winrt::Windows::Foundation {

// An absolute http or https URL, parsed once. A malformed URL raises
// hresult_error (E_INVALIDARG) on construction.
class Uri {
public:
    explicit Uri(std::wstring_view text);

    std::wstring const& AbsoluteUri() const noexcept { return text_; }
    bool IsSecure() const noexcept { return secure_; }
    std::wstring const& Host() const noexcept { return host_; }
    std::uint16_t Port() const noexcept { return port_; }
    std::wstring const& PathAndQuery() const noexcept { return pathAndQuery_; }

private:
    std::wstring text_;
    bool secure_ = false;
    std::wstring host_;
    std::uint16_t port_ = 0;
    std::wstring pathAndQuery_;
};

} // namespace winrt::Windows::Foundation

namespace winrt::Windows::Storage::Streams {

// A byte buffer with a capacity and a filled length; copies share the bytes.
// A read may complete with a buffer other than the one it was given: one
// that views the bytes where the stream already holds them.
class IBuffer {
public:
    IBuffer() = default;
    // Views capacity bytes at data, which the owner keeps alive.
    IBuffer(std::shared_ptr<std::uint8_t> data, std::uint32_t capacity) : data_(std::move(data)), capacity_(capacity) {}
    std::uint32_t Capacity() const noexcept { return capacity_; }
    std::uint32_t Length() const noexcept { return length_; }
    void Length(std::uint32_t length) { length_ = std::min(length, Capacity()); }
    std::uint8_t* data() const noexcept { return data_.get(); }

private:
    std::shared_ptr<std::uint8_t> data_;
    std::uint32_t capacity_ = 0;
    std::uint32_t length_ = 0;
};

class Buffer : public IBuffer {
public:
    explicit Buffer(std::uint32_t capacity) : IBuffer(Allocate(capacity), capacity) {}

private:
    static std::shared_ptr<std::uint8_t> Allocate(std::uint32_t capacity)
    {
        std::shared_ptr<std::uint8_t[]> bytes = std::make_shared<std::uint8_t[]>(capacity);
        return std::shared_ptr<std::uint8_t>(bytes, bytes.get());
    }
};

enum class InputStreamOptions { None = 0, Partial = 1, ReadAhead = 2 };

namespace impl {
struct RequestHandle;
}

// The response body, read in order.
class IInputStream {
public:
    IInputStream() = default;
    explicit IInputStream(std::shared_ptr<impl::RequestHandle> request) : request_(std::move(request)) {}

    // Completes with a buffer holding up to count bytes of the body, whose
    // Length is the count read; a Length of 0 means the body has ended.
    Foundation::IAsyncOperation<IBuffer> ReadAsync(IBuffer buffer, std::uint32_t count, InputStreamOptions options) const;

private:
    std::shared_ptr<impl::RequestHandle> request_;
};

// Copies bytes out of a buffer.
class DataReader {
public:
    static DataReader FromBuffer(IBuffer const& buffer) { return DataReader(buffer); }
    void ReadBytes(std::span<std::uint8_t> out);

private:
    explicit DataReader(IBuffer buffer) : buffer_(std::move(buffer)) {}
    IBuffer buffer_;
    std::uint32_t position_ = 0;
};

} // namespace winrt::Windows::Storage::Streams

namespace winrt::Windows::Web::Http {

namespace Filters {

enum class HttpCacheReadBehavior { Default = 0, MostRecent = 1, OnlyFromCache = 2, NoCache = 3 };
enum class HttpCacheWriteBehavior { Default = 0, NoCache = 1 };

class HttpCacheControl {
public:
    HttpCacheReadBehavior ReadBehavior() const noexcept { return read_; }
    void ReadBehavior(HttpCacheReadBehavior value) noexcept { read_ = value; }
    HttpCacheWriteBehavior WriteBehavior() const noexcept { return write_; }
    void WriteBehavior(HttpCacheWriteBehavior value) noexcept { write_ = value; }

private:
    HttpCacheReadBehavior read_ = HttpCacheReadBehavior::Default;
    HttpCacheWriteBehavior write_ = HttpCacheWriteBehavior::Default;
};

// The settings of one client. WinHTTP keeps no cache and never shows a
// dialog, so the cache settings and AllowUI(false) hold by construction;
// AllowUI(true) and cached reads are not offered and raise.
class HttpBaseProtocolFilter {
public:
    bool AllowAutoRedirect() const noexcept { return allowAutoRedirect_; }
    void AllowAutoRedirect(bool value) noexcept { allowAutoRedirect_ = value; }
    bool AutomaticDecompression() const noexcept { return automaticDecompression_; }
    void AutomaticDecompression(bool value) noexcept { automaticDecompression_ = value; }
    bool UseProxy() const noexcept { return useProxy_; }
    void UseProxy(bool value) noexcept { useProxy_ = value; }
    bool AllowUI() const noexcept { return allowUI_; }
    void AllowUI(bool value) noexcept { allowUI_ = value; }
    HttpCacheControl& CacheControl() noexcept { return cacheControl_; }
    HttpCacheControl const& CacheControl() const noexcept { return cacheControl_; }

private:
    bool allowAutoRedirect_ = true;
    bool automaticDecompression_ = true;
    bool useProxy_ = true;
    bool allowUI_ = true;
    HttpCacheControl cacheControl_;
};

} // namespace Filters

enum class HttpCompletionOption { ResponseContentRead = 0, ResponseHeadersRead = 1 };

class HttpMethod {
public:
    static HttpMethod Get() { return HttpMethod(L"GET"); }
    std::wstring const& Method() const noexcept { return method_; }

private:
    explicit HttpMethod(std::wstring method) : method_(std::move(method)) {}
    std::wstring method_;
};

class HttpRequestHeaderCollection {
public:
    void Insert(std::wstring name, std::wstring value) { headers_.emplace_back(std::move(name), std::move(value)); }
    std::vector<std::pair<std::wstring, std::wstring>> const& Items() const noexcept { return headers_; }

private:
    std::vector<std::pair<std::wstring, std::wstring>> headers_;
};

class HttpRequestMessage {
public:
    HttpRequestMessage(HttpMethod method, Foundation::Uri uri) : method_(std::move(method)), uri_(std::move(uri)) {}
    HttpMethod const& Method() const noexcept { return method_; }
    Foundation::Uri const& RequestUri() const noexcept { return uri_; }
    HttpRequestHeaderCollection& Headers() noexcept { return headers_; }
    HttpRequestHeaderCollection const& Headers() const noexcept { return headers_; }

private:
    HttpMethod method_;
    Foundation::Uri uri_;
    HttpRequestHeaderCollection headers_;
};

// Response headers; names compared without regard to case. A header sent
// several times reads as its values joined with ", ".
class HttpResponseHeaderCollection {
public:
    bool HasKey(std::wstring_view name) const;
    std::wstring Lookup(std::wstring_view name) const; // raises hresult_error when absent
    void Append(std::wstring name, std::wstring value);

private:
    std::vector<std::pair<std::wstring, std::wstring>> headers_;
};

struct HttpContentRangeHeaderValue {
    std::wstring Unit;
    std::optional<std::uint64_t> FirstBytePosition;
    std::optional<std::uint64_t> LastBytePosition;
    std::optional<std::uint64_t> Length;

    // "unit first-last/length", "unit */length"; none when malformed.
    static std::optional<HttpContentRangeHeaderValue> Parse(std::wstring_view text);
};

class HttpContentHeaderCollection {
public:
    std::optional<std::uint64_t> ContentLength() const noexcept { return contentLength_; }
    std::optional<HttpContentRangeHeaderValue> const& ContentRange() const noexcept { return contentRange_; }

private:
    friend class HttpResponseMessage;
    std::optional<std::uint64_t> contentLength_;
    std::optional<HttpContentRangeHeaderValue> contentRange_;
};

class IHttpContent {
public:
    HttpContentHeaderCollection const& Headers() const noexcept { return headers_; }
    // The body as it is sent, as a sequential stream; completes at once.
    Foundation::IAsyncOperation<Storage::Streams::IInputStream> ReadAsInputStreamAsync() const;

private:
    friend class HttpResponseMessage;
    HttpContentHeaderCollection headers_;
    std::shared_ptr<Storage::Streams::impl::RequestHandle> request_;
};

class HttpResponseMessage {
public:
    HttpResponseMessage() = default;
    HttpResponseMessage(std::uint32_t status, std::wstring reason, HttpResponseHeaderCollection headers,
                        std::shared_ptr<Storage::Streams::impl::RequestHandle> request);

    std::uint32_t StatusCode() const noexcept { return status_; }
    std::wstring const& ReasonPhrase() const noexcept { return reason_; }
    bool IsSuccessStatusCode() const noexcept { return status_ >= 200 && status_ <= 299; }
    // Raises hresult_error (0x8019xxxx, xxxx the status) describing the status.
    void EnsureSuccessStatusCode() const;
    HttpResponseHeaderCollection const& Headers() const noexcept { return headers_; }
    IHttpContent const& Content() const noexcept { return content_; }

private:
    std::uint32_t status_ = 0;
    std::wstring reason_;
    HttpResponseHeaderCollection headers_;
    IHttpContent content_;
};

namespace impl {
struct Session;
}

// A client with the filter's settings: WinHTTP sessions in asynchronous mode
// (one per proxy in use), the program's User-Agent, no cache.
class HttpClient {
public:
    explicit HttpClient(Filters::HttpBaseProtocolFilter const& filter);

    // Completes as soon as the status line and headers are in.
    Foundation::IAsyncOperation<HttpResponseMessage> SendRequestAsync(HttpRequestMessage const& request,
                                                                      HttpCompletionOption option) const;

private:
    std::shared_ptr<impl::Session> session_;
};

} // namespace winrt::Windows::Web::Http

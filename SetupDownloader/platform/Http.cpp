#include "platform/Http.h"

#include "platform/InternetHandle.h"
#include "platform/Lock.h"
#include "platform/Proxy.h"
#include "platform/ReadPacing.h"
#include "platform/Text.h"

#include <windows.h>

#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

#define OVL_WIDEN2(x) L##x
#define OVL_WIDEN(x) OVL_WIDEN2(x)

namespace ovl::setup {

namespace {
std::atomic<NetworkReadSeam> networkReadSeam{nullptr};
} // namespace

void SetNetworkReadSeam(NetworkReadSeam seam) noexcept { networkReadSeam.store(seam); }

} // namespace ovl::setup

namespace winrt::Windows {

using Foundation::IAsyncOperation;
using Foundation::impl::AsyncState;
using Storage::Streams::IBuffer;
using Storage::Streams::IInputStream;
using Web::Http::HttpResponseMessage;

namespace {

using ovl::setup::ConditionVariable;
using ovl::setup::EqualsIgnoreAsciiCase;
using ovl::setup::SlimLock;
using ovl::setup::TrimBlanks;

using ovl::setup::MaxReadSize;
// Memory of the chunks read ahead of the reader: the network and the reader's
// work on what came before overlap. It counts what the chunks hold, not the
// bytes in them: on Windows a read completes with whatever has arrived, so a
// slow link would otherwise hold a whole chunk for every few KiB.
constexpr size_t ReadAheadMemory = 2 * MaxReadSize;
// What a queued chunk costs beside its bytes (its shared block, the heap's
// header, its place in the queue): counted too, so that a server trickling
// tiny segments past a slow reader cannot queue millions of chunks.
constexpr size_t ChunkOverhead = 128;
// Emptied chunks kept for the next reads, so that a steady transfer allocates nothing.
constexpr size_t MaxSpareChunks = 2;
constexpr wchar_t UserAgent[] = L"Orvelle-SetupDownloader/" OVL_WIDEN(OVL_VERSION);
constexpr hresult Stalled = FromWin32(ERROR_WINHTTP_TIMEOUT);
constexpr wchar_t StalledMessage[] = L"The server stopped responding";
// WinHTTP's own time-outs exceed the stall rule by this much, so that the
// rule, not WinHTTP, ends a silent transfer.
constexpr std::chrono::milliseconds TimeoutMargin{5000};

// The performance counter, for timing reads (std::chrono's clocks would
// bring the C runtime's clock functions along).
std::int64_t PerformanceCount()
{
    LARGE_INTEGER count{};
    QueryPerformanceCounter(&count);
    return count.QuadPart;
}

std::chrono::microseconds TimeSince(std::int64_t start)
{
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    return std::chrono::microseconds((PerformanceCount() - start) * 1000000 / frequency.QuadPart);
}

// A description of a WinHTTP (or Win32) error for messages.
std::wstring DescribeError(DWORD error)
{
    struct Known {
        DWORD Code;
        wchar_t const* Text;
    };
    static constexpr Known known[] = {
        {ERROR_WINHTTP_TIMEOUT, L"the request timed out"},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, L"the server name could not be resolved"},
        {ERROR_WINHTTP_CANNOT_CONNECT, L"a connection with the server could not be established"},
        {ERROR_WINHTTP_CONNECTION_ERROR, L"the connection with the server was reset or ended abnormally"},
        {ERROR_WINHTTP_INVALID_SERVER_RESPONSE, L"the server response could not be parsed"},
        {ERROR_WINHTTP_SECURE_FAILURE, L"the server's certificate is not valid or not trusted"},
        {ERROR_WINHTTP_SECURE_CHANNEL_ERROR, L"a secure channel could not be established"},
        {ERROR_WINHTTP_REDIRECT_FAILED, L"the redirection failed"},
        {ERROR_WINHTTP_INVALID_URL, L"the URL is not valid"},
        {ERROR_WINHTTP_UNRECOGNIZED_SCHEME, L"the URL scheme is not supported"},
        {ERROR_WINHTTP_OPERATION_CANCELLED, L"the operation was canceled"},
    };
    for (auto const& entry : known) {
        if (entry.Code == error)
            return ovl::setup::FormatW(L"WinHTTP error %lu: %ls", error, entry.Text);
    }
    wchar_t* text = nullptr;
    DWORD const flags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS;
    DWORD const length = FormatMessageW(flags, nullptr, error, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    ovl::setup::UniqueLocalMemory const owned(text);
    std::wstring const description(
        length && text ? TrimBlanks(std::wstring_view(text, length)) : std::wstring_view());
    if (description.empty())
        return ovl::setup::FormatW(L"WinHTTP error %lu", error);
    return ovl::setup::FormatW(L"WinHTTP error %lu: %ls", error, description.c_str());
}

std::optional<std::uint64_t> ParseUnsigned(std::wstring_view text)
{
    text = TrimBlanks(text);
    if (text.empty() || text.size() > 19)
        return std::nullopt;
    std::uint64_t value = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return value;
}

} // namespace

// --- Uri ----------------------------------------------------------------------

namespace Foundation {

Uri::Uri(std::wstring_view text) : text_(text)
{
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwSchemeLength = static_cast<DWORD>(-1);
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (text_.empty() || text_.find(L'\0') != std::wstring::npos ||
        !WinHttpCrackUrl(text_.c_str(), static_cast<DWORD>(text_.size()), 0, &parts))
        throw hresult_error(InvalidArgument, L"The URL is not valid: " + ovl::setup::Excerpt(text_, 100));
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0)
        throw hresult_error(InvalidArgument, L"The URL is not a valid http or https URL: " + ovl::setup::Excerpt(text_, 100));
    secure_ = parts.nScheme == INTERNET_SCHEME_HTTPS;
    host_.assign(parts.lpszHostName, parts.dwHostNameLength);
    port_ = parts.nPort;
    pathAndQuery_.assign(parts.lpszUrlPath ? parts.lpszUrlPath : L"", parts.dwUrlPathLength);
    if (parts.lpszExtraInfo)
        pathAndQuery_.append(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    if (pathAndQuery_.empty())
        pathAndQuery_ = L"/";
}

} // namespace Foundation

// --- Sessions -------------------------------------------------------------------

namespace Web::Http::impl {

// A client's WinHTTP sessions, one per proxy server (Wine applies a proxy only
// to a whole session), each opened on first use with the client's settings.
struct Session {
    bool FollowRedirects = true;
    bool UseProxy = true;
    bool Decompress = false;
    std::chrono::milliseconds Stall{0};

    SlimLock Lock;
    std::map<std::wstring, ovl::setup::UniqueInternet> Handles; // by proxy server; "" is direct

    // The session for a proxy server ("" for none); null with the error set
    // when it cannot be opened.
    HINTERNET For(std::wstring const& proxy);
    // The routes to an origin (Proxy.h), discovered once per run: the first
    // request to an origin may wait a while.
    std::shared_ptr<ovl::setup::ProxyRoutes> RoutesFor(Foundation::Uri const& uri) const;
};

HINTERNET Session::For(std::wstring const& proxy)
{
    std::lock_guard guard(Lock);
    auto& handle = Handles[proxy];
    if (handle)
        return handle.Get();
    handle.Reset(WinHttpOpen(UserAgent, proxy.empty() ? WINHTTP_ACCESS_TYPE_NO_PROXY : WINHTTP_ACCESS_TYPE_NAMED_PROXY,
                             proxy.empty() ? WINHTTP_NO_PROXY_NAME : proxy.c_str(), WINHTTP_NO_PROXY_BYPASS,
                             WINHTTP_FLAG_ASYNC));
    if (!handle)
        return nullptr;
    int const timeout = static_cast<int>((Stall + TimeoutMargin).count());
    WinHttpSetTimeouts(handle.Get(), timeout, timeout, timeout, timeout);
    DWORD responseTimeout = static_cast<DWORD>(timeout);
    WinHttpSetOption(handle.Get(), WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout, sizeof(responseTimeout));
    if (Decompress) {
        DWORD flags = WINHTTP_DECOMPRESSION_FLAG_ALL;
        WinHttpSetOption(handle.Get(), WINHTTP_OPTION_DECOMPRESSION, &flags, sizeof(flags));
    }
    return handle.Get();
}

std::shared_ptr<ovl::setup::ProxyRoutes> Session::RoutesFor(Foundation::Uri const& uri) const
{
    if (!UseProxy)
        return std::make_shared<ovl::setup::ProxyRoutes>(std::vector<std::wstring>{});
    std::wstring const origin = ovl::setup::FormatW(L"%ls://%ls:%u", uri.IsSecure() ? L"https" : L"http",
                                                    uri.Host().c_str(), static_cast<unsigned>(uri.Port()));
    return ovl::setup::DiscoverProxyRoutes(origin, uri.AbsoluteUri(), uri.Host(), uri.IsSecure());
}

} // namespace Web::Http::impl

// --- Requests -------------------------------------------------------------------

namespace Storage::Streams::impl {

using Foundation::ActivityClock;

// One request and the thread that drives it (see Http.h). WinHTTP's
// callbacks only record what happened and wake that thread; it alone calls
// WinHTTP for the request and closes its handles. The state keeps itself
// alive from the installation of the callback until WinHTTP reports the
// handle closed, so that late callbacks (and a read that a close does not
// abort) still find it.
struct RequestCore : std::enable_shared_from_this<RequestCore> {
    RequestCore(std::shared_ptr<Web::Http::impl::Session> session, Web::Http::HttpRequestMessage const& request);

    // What a callback reports to the thread.
    enum class Event { None, SendDone, HeadersDone, ReadDone, Failed };

    std::shared_ptr<Web::Http::impl::Session> const Session;
    Foundation::Uri const Uri;
    std::wstring const Method;
    std::wstring const ExtraHeaders;
    std::shared_ptr<ActivityClock> const Activity = std::make_shared<ActivityClock>();

    // The thread's own.
    ovl::setup::UniqueInternet Connect;
    // Closed by hand in CloseHandles: WinHTTP finishes closing a request
    // asynchronously (HANDLE_CLOSING), which its state must outlive.
    HINTERNET Request = nullptr;
    bool AuthTried = false;
    std::wstring Route; // the proxy server the request goes through; "" for none
    // A piece of the body: WinHTTP reads into it, the reader takes from it.
    struct Chunk {
        explicit Chunk(std::uint32_t capacity = MaxReadSize)
            : Data(std::make_shared_for_overwrite<std::uint8_t[]>(capacity)), Capacity(capacity)
        {
        }
        std::shared_ptr<std::uint8_t[]> Data;
        std::uint32_t Capacity;
        size_t Size = 0;
    };
    // The chunk a read writes into; it belongs to the request, so that a read
    // that a close does not abort still writes into live memory.
    Chunk Reading;

    SlimLock Lock; // never held across a WinHTTP call
    ConditionVariable Changed;
    std::shared_ptr<RequestCore> Self;
    int OpenRequests = 0; // request handles not yet reported closed
    bool Closed = false;
    Event Happened = Event::None;
    DWORD Count = 0; // of a read
    DWORD Error = 0; // of a failure
    // The operations handed out and what is ready for them.
    std::shared_ptr<AsyncState<HttpResponseMessage>> Send;
    std::shared_ptr<RequestHandle> PendingHandle;
    bool BodyWanted = false;
    std::deque<Chunk> Ready;
    size_t ReadyOffset = 0; // already taken from Ready.front()
    size_t ReadyBytes = 0;  // in Ready, not yet taken
    size_t ReadyMemory = 0; // the capacity and overhead of the chunks in Ready
    std::vector<Chunk> Spare;
    bool Ended = false;
    DWORD BodyError = 0;
    std::shared_ptr<AsyncState<IBuffer>> Read;
    std::uint32_t ReadLimit = 0;

    // On the request's thread.
    void Run() noexcept;
    void Abandon(DWORD error) noexcept;
    DWORD Exchange();
    DWORD ExchangeThroughRoute();
    void ArmStallRule();
    DWORD Open();
    DWORD Await(Event expected, DWORD* count = nullptr);
    bool AnswerProxyChallenge();
    void CompleteSend(DWORD status);
    void FailSend(DWORD error);
    std::pair<std::shared_ptr<AsyncState<HttpResponseMessage>>, std::shared_ptr<RequestHandle>> TakeSend();
    void ReadBody();
    void Deliver(DWORD count);
    void EndBody(DWORD error);
    void CloseHandles();

    // From any thread.
    enum class ReadStart { Pending, Completed, Ended, Failed, Busy, Closed };
    ReadStart StartRead(std::shared_ptr<AsyncState<IBuffer>> const& read, std::uint32_t count, IBuffer& taken,
                        DWORD& error);
    void Close();
    void Report(Event event, DWORD count, DWORD error);
    void OnHandleClosing();
    IBuffer TakeReady(std::uint32_t limit); // with Lock held
    bool MayReadAhead() const { return BodyWanted && ReadyMemory < ReadAheadMemory; } // with Lock held
    static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length);
};

// The user's hold on a request: when the response and its stream are gone,
// the request is closed.
struct RequestHandle {
    std::shared_ptr<RequestCore> Core;
    explicit RequestHandle(std::shared_ptr<RequestCore> core) : Core(std::move(core)) {}
    RequestHandle(RequestHandle const&) = delete;
    RequestHandle& operator=(RequestHandle const&) = delete;
    ~RequestHandle() { Core->Close(); }
};

std::wstring HeaderLines(Web::Http::HttpRequestMessage const& request)
{
    std::wstring lines;
    for (auto const& [name, value] : request.Headers().Items())
        lines += name + L": " + value + L"\r\n";
    return lines;
}

RequestCore::RequestCore(std::shared_ptr<Web::Http::impl::Session> session, Web::Http::HttpRequestMessage const& request)
    : Session(std::move(session)), Uri(request.RequestUri()), Method(request.Method().Method()),
      ExtraHeaders(HeaderLines(request))
{
}

// Nothing thrown here may end the process: a failure fails the request's
// pending operations instead, and every later read.
void RequestCore::Run() noexcept
{
    try {
        if (DWORD const error = Exchange())
            FailSend(error);
        else
            ReadBody();
    } catch (std::bad_alloc const&) {
        Abandon(ERROR_NOT_ENOUGH_MEMORY);
    } catch (...) {
        Abandon(ERROR_INTERNAL_ERROR);
    }
    CloseHandles();
}

void RequestCore::Abandon(DWORD error) noexcept
{
    try {
        FailSend(error);
        EndBody(error);
    } catch (...) {
        Close(); // no memory even for the message: a stalled wait still ends it
    }
}

// Finds the routes to the server (which may take a while, so the stall rule
// starts only afterwards), then sends through the route in use; a route that
// cannot be reached passes the turn to the next one, each tried once.
DWORD RequestCore::Exchange()
{
    std::shared_ptr<ovl::setup::ProxyRoutes> const routes = Session->RoutesFor(Uri);
    ArmStallRule();
    for (std::size_t tried = 1;; ++tried) {
        Route = routes->Current();
        AuthTried = false;
        DWORD const error = ExchangeThroughRoute();
        if (!error || !ovl::setup::IsRouteFailure(error) || tried >= routes->Count())
            return error;
        routes->Failed(Route);
        CloseHandles();
    }
}

void RequestCore::ArmStallRule()
{
    Activity->Touch();
    std::shared_ptr<AsyncState<HttpResponseMessage>> send;
    {
        std::lock_guard guard(Lock);
        send = Send;
    }
    if (send)
        send->SetStallLimit(Activity, Session->Stall, Stalled, StalledMessage);
}

// Sends the request and takes the response's headers in; the response is
// then handed out. A proxy's Negotiate or NTLM challenge is answered once.
DWORD RequestCore::ExchangeThroughRoute()
{
    if (DWORD const error = Open())
        return error;
    auto const context = reinterpret_cast<DWORD_PTR>(this);
    for (;;) {
        if (!WinHttpSendRequest(Request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, context))
            return GetLastError();
        if (DWORD const error = Await(Event::SendDone))
            return error;
        if (!WinHttpReceiveResponse(Request, nullptr))
            return GetLastError();
        if (DWORD const error = Await(Event::HeadersDone))
            return error;
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!WinHttpQueryHeaders(Request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                 WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX))
            return GetLastError();
        if (status == HTTP_STATUS_PROXY_AUTH_REQ && AnswerProxyChallenge())
            continue;
        CompleteSend(status);
        return 0;
    }
}

DWORD RequestCore::Open()
{
    HINTERNET const session = Session->For(Route);
    if (!session)
        return GetLastError();
    Connect.Reset(WinHttpConnect(session, Uri.Host().c_str(), Uri.Port(), 0));
    if (!Connect)
        return GetLastError();
    Request = WinHttpOpenRequest(Connect.Get(), Method.c_str(), Uri.PathAndQuery().c_str(), nullptr, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, (Uri.IsSecure() ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_REFRESH);
    if (!Request)
        return GetLastError();
    DWORD const notifications =
        WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES | WINHTTP_CALLBACK_FLAG_RECEIVE_RESPONSE;
    if (WinHttpSetStatusCallback(Request, OnStatus, notifications, 0) == WINHTTP_INVALID_STATUS_CALLBACK)
        return GetLastError();
    {
        std::lock_guard guard(Lock);
        Self = shared_from_this(); // until HANDLE_CLOSING of every request handle
        ++OpenRequests;
        Happened = Event::None;
    }
    auto context = reinterpret_cast<DWORD_PTR>(this);
    WinHttpSetOption(Request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    // A redirect from HTTPS to plain HTTP is refused, as WinHTTP does by default.
    DWORD policy = Session->FollowRedirects ? WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP
                                            : WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
    WinHttpSetOption(Request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    if (!ExtraHeaders.empty() &&
        !WinHttpAddRequestHeaders(Request, ExtraHeaders.c_str(), static_cast<DWORD>(ExtraHeaders.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE))
        return GetLastError();
    std::lock_guard guard(Lock);
    return Closed ? ERROR_WINHTTP_OPERATION_CANCELLED : 0;
}

// Waits until a callback reports the end of the call made, or the request is closed.
DWORD RequestCore::Await(Event expected, DWORD* count)
{
    std::lock_guard guard(Lock);
    while (!Closed && Happened == Event::None)
        Changed.Wait(Lock);
    if (Closed)
        return ERROR_WINHTTP_OPERATION_CANCELLED;
    Event const happened = std::exchange(Happened, Event::None);
    if (count)
        *count = Count;
    if (happened == Event::Failed)
        return Error;
    return happened == expected ? 0 : ERROR_WINHTTP_INTERNAL_ERROR;
}

// A proxy that the request goes through and that asks for Negotiate or NTLM
// gets the logged-on user's credentials, once, without any prompt (Proxy.h).
// WinHTTP's automatic-logon policy stays at its default (the intranet only),
// since a policy set here would cover the origin and every redirect too.
bool RequestCore::AnswerProxyChallenge()
{
    DWORD supported = 0;
    DWORD first = 0;
    DWORD target = 0;
    if (!WinHttpQueryAuthSchemes(Request, &supported, &first, &target))
        return false;
    DWORD const scheme = ovl::setup::ProxyChallengeScheme(!Route.empty(), AuthTried, supported, target);
    if (!scheme)
        return false;
    AuthTried = true;
    return WinHttpSetCredentials(Request, WINHTTP_AUTH_TARGET_PROXY, scheme, nullptr, nullptr, nullptr) != FALSE;
}

void RequestCore::CompleteSend(DWORD status)
{
    auto query = [this](DWORD info) {
        DWORD bytes = 0;
        WinHttpQueryHeaders(Request, info, WINHTTP_HEADER_NAME_BY_INDEX, nullptr, &bytes, WINHTTP_NO_HEADER_INDEX);
        std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
        bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        if (!WinHttpQueryHeaders(Request, info, WINHTTP_HEADER_NAME_BY_INDEX, text.data(), &bytes,
                                 WINHTTP_NO_HEADER_INDEX))
            return std::wstring();
        text.resize(bytes / sizeof(wchar_t));
        return text;
    };
    std::wstring const reason = query(WINHTTP_QUERY_STATUS_TEXT);
    std::wstring const raw = query(WINHTTP_QUERY_RAW_HEADERS_CRLF);

    Web::Http::HttpResponseHeaderCollection headers;
    size_t position = raw.find(L"\r\n"); // skip the status line
    while (position != std::wstring::npos && position + 2 < raw.size()) {
        size_t const start = position + 2;
        size_t end = raw.find(L"\r\n", start);
        std::wstring_view const line(raw.data() + start, (end == std::wstring::npos ? raw.size() : end) - start);
        if (auto const colon = line.find(L':'); colon != std::wstring_view::npos && colon > 0)
            headers.Append(std::wstring(TrimBlanks(line.substr(0, colon))),
                           std::wstring(TrimBlanks(line.substr(colon + 1))));
        position = end;
    }

    auto [send, handle] = TakeSend();
    if (send)
        send->Complete(HttpResponseMessage(status, reason, std::move(headers), std::move(handle)));
}

// The send operation handed out and the handle its response is to hold; once.
std::pair<std::shared_ptr<AsyncState<HttpResponseMessage>>, std::shared_ptr<RequestHandle>> RequestCore::TakeSend()
{
    std::lock_guard guard(Lock);
    return {std::move(Send), std::move(PendingHandle)};
}

void RequestCore::FailSend(DWORD error)
{
    auto const [send, handle] = TakeSend();
    if (send)
        send->Fail(FromWin32(error), DescribeError(error));
    // Dropping the handle closes the request.
}

// Reads the body ahead of the reader, up to ReadAheadMemory, once it is
// wanted, in reads paced by how fast the previous one came (ReadPacing.h).
// WinHTTP reports every receive from the socket (RESPONSE_RECEIVED), which
// keeps the stall rule's clock going while a read collects its bytes; under
// Wine a read does not complete before its whole count has come, so a stall
// loses what that read had collected, and the next attempt resumes at the end
// of what the reader had taken.
void RequestCore::ReadBody()
{
    std::uint32_t size = ovl::setup::MinReadSize;
    for (;;) {
        {
            std::lock_guard guard(Lock);
            while (!Closed && !MayReadAhead())
                Changed.Wait(Lock);
            if (Closed)
                return;
        }
        Activity->Touch(); // the wait for the network starts here
        std::int64_t const started = PerformanceCount();
        DWORD count = 0;
        std::uint32_t asked = size;
        if (ovl::setup::NetworkReadSeam const seam = ovl::setup::networkReadSeam.load())
            asked = std::min(seam(size), size);
        DWORD const error = WinHttpReadData(Request, Reading.Data.get(), asked, nullptr)
                                ? Await(Event::ReadDone, &count)
                                : GetLastError();
        if (error || count == 0) {
            EndBody(error);
            return;
        }
        Deliver(count);
        size = ovl::setup::NextReadSize(size, TimeSince(started));
    }
}

// Hands out up to limit bytes of the first ready chunk, as a buffer that
// views them in place. An emptied chunk is kept for reuse; a read reuses it
// only once the reader has let go of every view of it.
IBuffer RequestCore::TakeReady(std::uint32_t limit)
{
    Chunk& chunk = Ready.front();
    auto const n = static_cast<std::uint32_t>(std::min<size_t>(limit, chunk.Size - ReadyOffset));
    IBuffer view(std::shared_ptr<std::uint8_t>(chunk.Data, chunk.Data.get() + ReadyOffset), n);
    view.Length(n);
    ReadyOffset += n;
    ReadyBytes -= n;
    if (ReadyOffset == chunk.Size) {
        ReadyMemory -= chunk.Capacity + ChunkOverhead;
        if (Spare.size() < MaxSpareChunks && chunk.Capacity == MaxReadSize)
            Spare.push_back(std::move(chunk));
        Ready.pop_front();
        ReadyOffset = 0;
    }
    return view;
}

// Queues the chunk just read (count bytes) for the reader, handing it to a
// waiting read at once, and takes a spare one for the next read. A read that
// filled less than half of its chunk is queued as a copy that holds just its
// bytes, and the chunk reads again.
void RequestCore::Deliver(DWORD count)
{
    std::optional<Chunk> copy;
    if (count <= Reading.Capacity / 2) {
        copy.emplace(count);
        std::memcpy(copy->Data.get(), Reading.Data.get(), count);
        copy->Size = count;
    }
    std::shared_ptr<AsyncState<IBuffer>> read;
    IBuffer target;
    {
        std::lock_guard guard(Lock);
        if (copy) {
            Ready.push_back(std::move(*copy));
        } else {
            Reading.Size = count;
            Ready.push_back(std::move(Reading));
            Reading.Data.reset();
            auto const unused =
                std::find_if(Spare.begin(), Spare.end(), [](Chunk const& c) { return c.Data.use_count() == 1; });
            if (unused != Spare.end()) {
                Reading = std::move(*unused);
                Spare.erase(unused);
            }
        }
        ReadyBytes += count;
        ReadyMemory += Ready.back().Capacity + ChunkOverhead;
        if (Read) {
            read = std::move(Read);
            target = TakeReady(ReadLimit);
        }
    }
    if (!Reading.Data)
        Reading = Chunk();
    if (read)
        read->Complete(target);
}

// A reader's read: served at once from the ready chunks (taken), or by the
// body's end or failure, or left pending for the next chunk. Wakes the
// request's thread when the read lets it read ahead again.
RequestCore::ReadStart RequestCore::StartRead(std::shared_ptr<AsyncState<IBuffer>> const& read, std::uint32_t count,
                                              IBuffer& taken, DWORD& error)
{
    ReadStart start = ReadStart::Pending;
    bool wake = false;
    {
        std::lock_guard guard(Lock);
        bool const couldRead = MayReadAhead();
        if (Closed) {
            start = ReadStart::Closed;
        } else if (Read) {
            start = ReadStart::Busy;
        } else if (!Ready.empty()) {
            taken = TakeReady(count);
            start = ReadStart::Completed;
        } else if (BodyError) {
            error = BodyError;
            start = ReadStart::Failed;
        } else if (Ended) {
            start = ReadStart::Ended;
        } else {
            Read = read;
            ReadLimit = count;
        }
        BodyWanted = true;
        wake = !couldRead && MayReadAhead();
    }
    if (wake)
        Changed.WakeAll();
    return start;
}

void RequestCore::EndBody(DWORD error)
{
    std::shared_ptr<AsyncState<IBuffer>> read;
    {
        std::lock_guard guard(Lock);
        Ended = error == 0;
        BodyError = error;
        read = std::move(Read);
    }
    if (!read)
        return;
    if (error) {
        read->Fail(FromWin32(error), DescribeError(error));
    } else {
        read->Complete(IBuffer()); // a Length of 0: the end
    }
}

void RequestCore::CloseHandles()
{
    if (HINTERNET const request = std::exchange(Request, nullptr))
        WinHttpCloseHandle(request); // HANDLE_CLOSING follows, now or after a pending read
    Connect.Reset();
}

void RequestCore::Close()
{
    {
        std::lock_guard guard(Lock);
        Closed = true;
    }
    Changed.WakeAll();
}

void RequestCore::Report(Event event, DWORD count, DWORD error)
{
    {
        std::lock_guard guard(Lock);
        Happened = event;
        Count = count;
        Error = error;
    }
    Changed.WakeAll();
}

void RequestCore::OnHandleClosing()
{
    std::shared_ptr<RequestCore> self;
    {
        std::lock_guard guard(Lock);
        if (--OpenRequests == 0)
            self = std::move(Self);
    }
    // self goes last: this object may be destroyed here.
}

void CALLBACK RequestCore::OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length)
{
    auto* core = reinterpret_cast<RequestCore*>(context);
    if (!core)
        return;
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
        core->OnHandleClosing();
        break;
    case WINHTTP_CALLBACK_STATUS_RESPONSE_RECEIVED: // bytes of the response came in
        core->Activity->Touch();
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        core->Report(Event::SendDone, 0, 0);
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        core->Activity->Touch();
        core->Report(Event::HeadersDone, 0, 0);
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        core->Activity->Touch();
        core->Report(Event::ReadDone, length, 0);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        core->Report(Event::Failed, 0, static_cast<WINHTTP_ASYNC_RESULT const*>(info)->dwError);
        break;
    default:
        break;
    }
}

} // namespace Storage::Streams::impl

// --- Streams --------------------------------------------------------------------

namespace Storage::Streams {

using impl::RequestCore;

IAsyncOperation<IBuffer> IInputStream::ReadAsync(IBuffer buffer, std::uint32_t count, InputStreamOptions) const
{
    auto state = std::make_shared<AsyncState<IBuffer>>();
    IAsyncOperation<IBuffer> operation(state);
    std::shared_ptr<RequestCore> const core = request_ ? request_->Core : nullptr;
    if (!core) {
        state->Fail(FromWin32(ERROR_INVALID_HANDLE), L"The stream is closed");
        return operation;
    }
    state->SetCanceler([core] { core->Close(); });
    state->SetStallLimit(core->Activity, core->Session->Stall, Stalled, StalledMessage);

    DWORD error = 0;
    switch (core->StartRead(state, count, buffer, error)) {
    case RequestCore::ReadStart::Pending:
        break;
    case RequestCore::ReadStart::Completed:
        state->Complete(buffer);
        break;
    case RequestCore::ReadStart::Ended:
        state->Complete(IBuffer()); // a Length of 0: the end
        break;
    case RequestCore::ReadStart::Failed:
        state->Fail(FromWin32(error), DescribeError(error));
        break;
    case RequestCore::ReadStart::Busy:
        state->Fail(IllegalMethodCall, L"A read is already pending on the stream");
        break;
    case RequestCore::ReadStart::Closed:
        state->Fail(FromWin32(ERROR_INVALID_HANDLE), L"The stream is closed");
        break;
    }
    return operation;
}

void DataReader::ReadBytes(std::span<std::uint8_t> out)
{
    std::uint32_t const available = buffer_.Length() - position_;
    if (out.size() > available)
        throw hresult_error(Bounds, L"The buffer holds fewer bytes than asked for");
    if (!out.empty())
        std::memcpy(out.data(), buffer_.data() + position_, out.size());
    position_ += static_cast<std::uint32_t>(out.size());
}

} // namespace Storage::Streams

// --- HTTP -----------------------------------------------------------------------

namespace Web::Http {

using Storage::Streams::impl::RequestCore;
using Storage::Streams::impl::RequestHandle;

bool HttpResponseHeaderCollection::HasKey(std::wstring_view name) const
{
    return std::any_of(headers_.begin(), headers_.end(),
                       [&](auto const& header) { return EqualsIgnoreAsciiCase(header.first, name); });
}

std::wstring HttpResponseHeaderCollection::Lookup(std::wstring_view name) const
{
    std::wstring value;
    bool found = false;
    for (auto const& [key, text] : headers_) {
        if (!EqualsIgnoreAsciiCase(key, name))
            continue;
        if (found)
            value += L", ";
        value += text;
        found = true;
    }
    if (!found)
        throw hresult_error(Bounds, L"No response header named " + std::wstring(name));
    return value;
}

void HttpResponseHeaderCollection::Append(std::wstring name, std::wstring value)
{
    headers_.emplace_back(std::move(name), std::move(value));
}

std::optional<HttpContentRangeHeaderValue> HttpContentRangeHeaderValue::Parse(std::wstring_view text)
{
    text = TrimBlanks(text);
    size_t const space = text.find(L' ');
    if (space == std::wstring_view::npos || space == 0)
        return std::nullopt;
    HttpContentRangeHeaderValue value;
    value.Unit = std::wstring(text.substr(0, space));
    std::wstring_view rest = TrimBlanks(text.substr(space + 1));
    size_t const slash = rest.find(L'/');
    std::wstring_view const range = slash == std::wstring_view::npos ? rest : rest.substr(0, slash);
    if (slash != std::wstring_view::npos) {
        std::wstring_view const length = TrimBlanks(rest.substr(slash + 1));
        if (length != L"*") {
            value.Length = ParseUnsigned(length);
            if (!value.Length)
                return std::nullopt;
        }
    }
    if (TrimBlanks(range) != L"*") {
        size_t const dash = range.find(L'-');
        if (dash == std::wstring_view::npos)
            return std::nullopt;
        value.FirstBytePosition = ParseUnsigned(range.substr(0, dash));
        value.LastBytePosition = ParseUnsigned(range.substr(dash + 1));
        if (!value.FirstBytePosition || !value.LastBytePosition)
            return std::nullopt;
    }
    return value;
}

IAsyncOperation<Storage::Streams::IInputStream> IHttpContent::ReadAsInputStreamAsync() const
{
    return IAsyncOperation<Storage::Streams::IInputStream>::FromResult(Storage::Streams::IInputStream(request_));
}

HttpResponseMessage::HttpResponseMessage(std::uint32_t status, std::wstring reason, HttpResponseHeaderCollection headers,
                                         std::shared_ptr<RequestHandle> request)
    : status_(status), reason_(std::move(reason)), headers_(std::move(headers))
{
    content_.request_ = std::move(request);
    if (headers_.HasKey(L"Content-Length"))
        content_.headers_.contentLength_ = ParseUnsigned(headers_.Lookup(L"Content-Length"));
    if (headers_.HasKey(L"Content-Range"))
        content_.headers_.contentRange_ = HttpContentRangeHeaderValue::Parse(headers_.Lookup(L"Content-Range"));
}

void HttpResponseMessage::EnsureSuccessStatusCode() const
{
    if (IsSuccessStatusCode())
        return;
    std::wstring message = ovl::setup::FormatW(L"Response status code does not indicate success: %u", status_);
    if (!reason_.empty())
        message += L" (" + reason_ + L")";
    message += L".";
    throw hresult_error(static_cast<hresult>(0x80190000u | (status_ & 0xFFFFu)), message);
}

HttpClient::HttpClient(Filters::HttpBaseProtocolFilter const& filter) : session_(std::make_shared<impl::Session>())
{
    if (filter.AllowUI())
        throw hresult_error(InvalidArgument, L"This HTTP client never shows user interface");
    if (filter.CacheControl().ReadBehavior() == Filters::HttpCacheReadBehavior::OnlyFromCache)
        throw hresult_error(InvalidArgument, L"This HTTP client keeps no cache");
    session_->FollowRedirects = filter.AllowAutoRedirect();
    session_->UseProxy = filter.UseProxy();
    session_->Decompress = filter.AutomaticDecompression();
    session_->Stall = ovl::setup::GetStallTimeout();
    // The direct session is opened now, so that a client that cannot be set
    // up fails here, before any attempt.
    if (!session_->For(L"")) {
        DWORD const error = GetLastError();
        throw hresult_error(FromWin32(error), DescribeError(error));
    }
}

IAsyncOperation<HttpResponseMessage> HttpClient::SendRequestAsync(HttpRequestMessage const& request,
                                                                  HttpCompletionOption) const
{
    auto state = std::make_shared<AsyncState<HttpResponseMessage>>();
    auto core = std::make_shared<RequestCore>(session_, request);
    core->Send = state;
    core->PendingHandle = std::make_shared<RequestHandle>(core);
    state->SetCanceler([core] { core->Close(); });
    // The stall rule applies once the routes are known (RequestCore::Exchange).
    try {
        std::thread([core] { core->Run(); }).detach();
    } catch (...) {
        core->PendingHandle.reset(); // no thread: nothing else will let go of it
        throw;
    }
    return IAsyncOperation<HttpResponseMessage>(state);
}

} // namespace Web::Http

} // namespace winrt::Windows

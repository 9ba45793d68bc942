#include "platform/Http.h"

#include "platform/Text.h"

#include <windows.h>

#include <winhttp.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwctype>
#include <mutex>

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif

namespace winrt::Windows {

using Foundation::IAsyncOperation;
using Foundation::impl::AsyncState;
using Storage::Streams::IBuffer;
using Storage::Streams::IInputStream;
using Web::Http::HttpResponseMessage;

namespace {

constexpr hresult InvalidArgument = static_cast<hresult>(0x80070057);
constexpr std::uint32_t MaxReadSize = 65536;

hresult FromWin32(DWORD error) { return static_cast<hresult>(HRESULT_FROM_WIN32(error)); }

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
    std::wstring description = length && text ? std::wstring(text, length) : std::wstring();
    if (text)
        LocalFree(text);
    while (!description.empty() && std::iswspace(static_cast<std::wint_t>(description.back())))
        description.pop_back();
    if (description.empty())
        return ovl::setup::FormatW(L"WinHTTP error %lu", error);
    return ovl::setup::FormatW(L"WinHTTP error %lu: %ls", error, description.c_str());
}

bool EqualsIgnoreCase(std::wstring_view a, std::wstring_view b) { return ovl::setup::EqualsIgnoreAsciiCase(a, b); }

std::wstring_view Trim(std::wstring_view text)
{
    while (!text.empty() && (text.front() == L' ' || text.front() == L'\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == L' ' || text.back() == L'\t' || text.back() == L'\r'))
        text.remove_suffix(1);
    return text;
}

std::optional<std::uint64_t> ParseUnsigned(std::wstring_view text)
{
    text = Trim(text);
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
        throw hresult_error(InvalidArgument, L"The URL is not valid: " + text_);
    if ((parts.nScheme != INTERNET_SCHEME_HTTP && parts.nScheme != INTERNET_SCHEME_HTTPS) ||
        parts.dwHostNameLength == 0)
        throw hresult_error(InvalidArgument, L"The URL is not a valid http or https URL: " + text_);
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

// --- WinHTTP state --------------------------------------------------------------

namespace Web::Http::impl {

struct Session {
    HINTERNET Handle = nullptr;
    bool FollowRedirects = true;
    ~Session()
    {
        if (Handle)
            WinHttpCloseHandle(Handle);
    }
};

} // namespace Web::Http::impl

namespace Storage::Streams::impl {

// One WinHTTP request and what is pending on it. It keeps itself alive from
// the moment its status callback is set until WinHTTP reports the handle
// closed, so that late callbacks (and a read that a close does not abort)
// still find their state.
struct RequestCore {
    std::shared_ptr<Web::Http::impl::Session> Session;
    HINTERNET Connect = nullptr;
    HINTERNET Request = nullptr;
    std::shared_ptr<RequestCore> Self;
    std::atomic<bool> Closed{false};

    std::mutex Lock; // never held across a WinHTTP call
    std::shared_ptr<AsyncState<HttpResponseMessage>> Send;
    std::shared_ptr<RequestHandle> PendingHandle; // handed to the response
    std::shared_ptr<AsyncState<IBuffer>> Read;
    IBuffer ReadTarget;
    std::vector<std::uint8_t> ReadBuffer = std::vector<std::uint8_t>(MaxReadSize); // WinHTTP writes here

    void Close()
    {
        if (Request && !Closed.exchange(true))
            WinHttpCloseHandle(Request);
    }

    // The pending send and the user's handle for its response, taken out.
    std::pair<std::shared_ptr<AsyncState<HttpResponseMessage>>, std::shared_ptr<RequestHandle>> TakeSend();
    void FailSend(DWORD error);
    void CompleteSend();
    void FailRead(DWORD error);
    void CompleteRead(DWORD count);
    void OnHandleClosing();
    static void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length);
};

// The user's hold on a request: when the response and its stream are gone,
// the request is closed.
struct RequestHandle {
    std::shared_ptr<RequestCore> Core;
    RequestHandle() = default;
    RequestHandle(RequestHandle const&) = delete;
    RequestHandle& operator=(RequestHandle const&) = delete;
    ~RequestHandle()
    {
        if (Core)
            Core->Close();
    }
};

std::pair<std::shared_ptr<AsyncState<HttpResponseMessage>>, std::shared_ptr<RequestHandle>> RequestCore::TakeSend()
{
    std::lock_guard guard(Lock);
    return {std::move(Send), std::move(PendingHandle)};
}

void RequestCore::FailSend(DWORD error)
{
    auto [send, handle] = TakeSend();
    if (send)
        send->Fail(FromWin32(error), DescribeError(error));
    // Dropping the handle closes the request.
}

void RequestCore::CompleteSend()
{
    DWORD status = 0;
    DWORD size = sizeof(status);
    if (!WinHttpQueryHeaders(Request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                             &status, &size, WINHTTP_NO_HEADER_INDEX)) {
        FailSend(GetLastError());
        return;
    }
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
            headers.Append(std::wstring(Trim(line.substr(0, colon))), std::wstring(Trim(line.substr(colon + 1))));
        position = end;
    }

    auto [send, handle] = TakeSend();
    if (send)
        send->Complete(HttpResponseMessage(status, reason, std::move(headers), std::move(handle)));
}

void RequestCore::FailRead(DWORD error)
{
    std::shared_ptr<AsyncState<IBuffer>> read;
    {
        std::lock_guard guard(Lock);
        read = std::move(Read);
    }
    if (read)
        read->Fail(FromWin32(error), DescribeError(error));
}

void RequestCore::CompleteRead(DWORD count)
{
    std::shared_ptr<AsyncState<IBuffer>> read;
    IBuffer target;
    {
        std::lock_guard guard(Lock);
        read = std::move(Read);
        target = ReadTarget;
        ReadTarget = IBuffer();
    }
    if (!read || read->Status() != Foundation::AsyncStatus::Started)
        return;
    std::uint32_t const n = std::min<std::uint32_t>(count, target.Capacity());
    if (n)
        std::memcpy(target.data(), ReadBuffer.data(), n);
    target.Length(n);
    read->Complete(target);
}

void RequestCore::OnHandleClosing()
{
    std::shared_ptr<RequestCore> self;
    std::shared_ptr<AsyncState<HttpResponseMessage>> send;
    std::shared_ptr<AsyncState<IBuffer>> read;
    std::shared_ptr<RequestHandle> handle;
    {
        std::lock_guard guard(Lock);
        self = std::move(Self);
        send = std::move(Send);
        read = std::move(Read);
        handle = std::move(PendingHandle);
    }
    // An operation still pending when the handle goes ends as an error.
    if (send)
        send->Fail(FromWin32(ERROR_WINHTTP_OPERATION_CANCELLED), DescribeError(ERROR_WINHTTP_OPERATION_CANCELLED));
    if (read)
        read->Fail(FromWin32(ERROR_WINHTTP_OPERATION_CANCELLED), DescribeError(ERROR_WINHTTP_OPERATION_CANCELLED));
    if (Connect) {
        WinHttpCloseHandle(Connect);
        Connect = nullptr;
    }
    // self goes last: this object may be destroyed here.
}

void CALLBACK RequestCore::OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length)
{
    auto* core = reinterpret_cast<RequestCore*>(context);
    if (!core)
        return;
    if (status == WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING) {
        core->OnHandleClosing();
        return;
    }
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        if (core->Closed)
            core->FailSend(ERROR_WINHTTP_OPERATION_CANCELLED);
        else if (!WinHttpReceiveResponse(core->Request, nullptr))
            core->FailSend(GetLastError());
        break;
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        if (core->Closed)
            core->FailSend(ERROR_WINHTTP_OPERATION_CANCELLED);
        else
            core->CompleteSend();
        break;
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        core->CompleteRead(length);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR: {
        auto const* result = static_cast<WINHTTP_ASYNC_RESULT const*>(info);
        if (result->dwResult == API_READ_DATA)
            core->FailRead(result->dwError);
        else
            core->FailSend(result->dwError);
        break;
    }
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
    if (!core || core->Closed) {
        state->Fail(FromWin32(ERROR_INVALID_HANDLE), L"The stream is closed");
        return operation;
    }
    std::uint32_t const size = std::min({count, buffer.Capacity(), MaxReadSize});
    {
        std::lock_guard guard(core->Lock);
        if (core->Read) {
            state->Fail(static_cast<hresult>(0x8000000E), L"A read is already pending on the stream");
            return operation;
        }
        core->Read = state;
        core->ReadTarget = buffer;
    }
    state->SetCanceler([core] { core->Close(); });
    if (!WinHttpReadData(core->Request, core->ReadBuffer.data(), size, nullptr))
        core->FailRead(GetLastError());
    return operation;
}

void DataReader::ReadBytes(std::span<std::uint8_t> out)
{
    std::uint32_t const available = buffer_.Length() - position_;
    if (out.size() > available)
        throw hresult_error(static_cast<hresult>(0x8000000B), L"The buffer holds fewer bytes than asked for");
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
                       [&](auto const& header) { return EqualsIgnoreCase(header.first, name); });
}

std::wstring HttpResponseHeaderCollection::Lookup(std::wstring_view name) const
{
    std::wstring value;
    bool found = false;
    for (auto const& [key, text] : headers_) {
        if (!EqualsIgnoreCase(key, name))
            continue;
        if (found)
            value += L", ";
        value += text;
        found = true;
    }
    if (!found)
        throw hresult_error(static_cast<hresult>(0x8000000B), L"No response header named " + std::wstring(name));
    return value;
}

void HttpResponseHeaderCollection::Append(std::wstring name, std::wstring value)
{
    headers_.emplace_back(std::move(name), std::move(value));
}

std::optional<HttpContentRangeHeaderValue> HttpContentRangeHeaderValue::Parse(std::wstring_view text)
{
    text = Trim(text);
    size_t const space = text.find(L' ');
    if (space == std::wstring_view::npos || space == 0)
        return std::nullopt;
    HttpContentRangeHeaderValue value;
    value.Unit = std::wstring(text.substr(0, space));
    std::wstring_view rest = Trim(text.substr(space + 1));
    size_t const slash = rest.find(L'/');
    std::wstring_view const range = slash == std::wstring_view::npos ? rest : rest.substr(0, slash);
    if (slash != std::wstring_view::npos) {
        std::wstring_view const length = Trim(rest.substr(slash + 1));
        if (length != L"*") {
            value.Length = ParseUnsigned(length);
            if (!value.Length)
                return std::nullopt;
        }
    }
    if (Trim(range) != L"*") {
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
    // Automatic proxy applies the system's configuration (Windows 8.1 and later).
    DWORD const access = filter.UseProxy() ? WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY : WINHTTP_ACCESS_TYPE_NO_PROXY;
    session_->Handle = WinHttpOpen(nullptr, access, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!session_->Handle && filter.UseProxy())
        session_->Handle = WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                       WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (!session_->Handle) {
        DWORD const error = GetLastError();
        throw hresult_error(FromWin32(error), DescribeError(error));
    }
    session_->FollowRedirects = filter.AllowAutoRedirect();
    if (filter.AutomaticDecompression()) {
        DWORD flags = WINHTTP_DECOMPRESSION_FLAG_ALL;
        WinHttpSetOption(session_->Handle, WINHTTP_OPTION_DECOMPRESSION, &flags, sizeof(flags));
    }
}

IAsyncOperation<HttpResponseMessage> HttpClient::SendRequestAsync(HttpRequestMessage const& request,
                                                                  HttpCompletionOption) const
{
    auto state = std::make_shared<AsyncState<HttpResponseMessage>>();
    IAsyncOperation<HttpResponseMessage> operation(state);
    auto fail = [&](DWORD error) {
        state->Fail(FromWin32(error), DescribeError(error));
        return operation;
    };

    auto const& uri = request.RequestUri();
    auto core = std::make_shared<RequestCore>();
    core->Session = session_;
    core->Connect = WinHttpConnect(session_->Handle, uri.Host().c_str(), uri.Port(), 0);
    if (!core->Connect)
        return fail(GetLastError());
    core->Request = WinHttpOpenRequest(core->Connect, request.Method().Method().c_str(), uri.PathAndQuery().c_str(),
                                       nullptr, WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                       (uri.IsSecure() ? WINHTTP_FLAG_SECURE : 0) | WINHTTP_FLAG_REFRESH);
    if (!core->Request) {
        DWORD const error = GetLastError();
        WinHttpCloseHandle(core->Connect);
        core->Connect = nullptr;
        return fail(error);
    }
    if (WinHttpSetStatusCallback(core->Request, RequestCore::OnStatus,
                                 WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS | WINHTTP_CALLBACK_FLAG_HANDLES,
                                 0) == WINHTTP_INVALID_STATUS_CALLBACK) {
        DWORD const error = GetLastError();
        WinHttpCloseHandle(core->Request);
        WinHttpCloseHandle(core->Connect);
        core->Request = core->Connect = nullptr;
        return fail(error);
    }
    DWORD_PTR context = reinterpret_cast<DWORD_PTR>(core.get());
    WinHttpSetOption(core->Request, WINHTTP_OPTION_CONTEXT_VALUE, &context, sizeof(context));
    core->Self = core; // until HANDLE_CLOSING

    if (!session_->FollowRedirects) {
        DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
        WinHttpSetOption(core->Request, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
    }
    std::wstring headers;
    for (auto const& [name, value] : request.Headers().Items())
        headers += name + L": " + value + L"\r\n";
    if (!headers.empty() &&
        !WinHttpAddRequestHeaders(core->Request, headers.c_str(), static_cast<DWORD>(headers.size()),
                                  WINHTTP_ADDREQ_FLAG_ADD | WINHTTP_ADDREQ_FLAG_REPLACE)) {
        DWORD const error = GetLastError();
        core->Close();
        return fail(error);
    }

    {
        std::lock_guard guard(core->Lock);
        core->Send = state;
        core->PendingHandle = std::make_shared<RequestHandle>();
        core->PendingHandle->Core = core;
    }
    state->SetCanceler([core] { core->Close(); });
    if (!WinHttpSendRequest(core->Request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, context))
        core->FailSend(GetLastError());
    return operation;
}

} // namespace Web::Http

} // namespace winrt::Windows

// The platform's own transfer, for comparison: a plain WinHTTP loop reading a
// body and dropping it. By default synchronous, in 64 KiB reads; with --async,
// the same loop on an asynchronous session (the mode the program must use), in
// reads of 1 MiB (the program's largest), each waited for on an event.
//   bench-winhttp.exe URL [--async]    prints "<bytes> <seconds>"
#include <windows.h>

#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

namespace {

// What the asynchronous session's callback reports to the loop; owns its event.
struct Completion {
    HANDLE Done = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    DWORD Read = 0;
    DWORD Error = 0;
    Completion() = default;
    Completion(Completion const&) = delete;
    Completion& operator=(Completion const&) = delete;
    ~Completion()
    {
        if (Done)
            CloseHandle(Done);
    }
};

// Every step the loop waits for (the send, the headers, a read) ends in exactly
// one signal of the auto-reset event, with its result or its error; other
// notifications are not asked for.
void CALLBACK OnStatus(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info, DWORD length)
{
    auto* completion = reinterpret_cast<Completion*>(context);
    switch (status) {
    case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
        completion->Read = length;
        SetEvent(completion->Done);
        break;
    case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
        completion->Error = static_cast<WINHTTP_ASYNC_RESULT const*>(info)->dwError;
        SetEvent(completion->Done);
        break;
    case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
    case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
        SetEvent(completion->Done);
        break;
    default:
        break;
    }
}

bool ReadSynchronously(HINTERNET request, unsigned long long& total)
{
    bool ok = WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr);
    std::vector<char> buffer(65536);
    DWORD read = 0;
    while (ok && (ok = WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) && read > 0)
        total += read;
    return ok;
}

bool ReadAsynchronously(HINTERNET request, unsigned long long& total)
{
    Completion completion;
    if (!completion.Done)
        return false;
    auto const context = reinterpret_cast<DWORD_PTR>(&completion);
    if (WinHttpSetStatusCallback(request, OnStatus, WINHTTP_CALLBACK_FLAG_ALL_COMPLETIONS, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
        return false;
    auto const completed = [&](BOOL started) {
        if (!started)
            completion.Error = GetLastError();
        return started && WaitForSingleObject(completion.Done, INFINITE) == WAIT_OBJECT_0 && completion.Error == 0;
    };
    bool ok = completed(WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, context)) &&
              completed(WinHttpReceiveResponse(request, nullptr));
    std::vector<char> buffer(1048576);
    while (ok && (ok = completed(WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), nullptr))) &&
           completion.Read > 0)
        total += completion.Read;
    // Nothing is pending now; the callback goes before the completion it
    // signals, so that no late notification can reach it.
    WinHttpSetStatusCallback(request, nullptr, 0, 0);
    SetLastError(completion.Error);
    return ok;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool const async = argc == 3 && std::wstring(argv[2]) == L"--async";
    if (argc != 2 && !async) {
        std::fprintf(stderr, "usage: bench-winhttp URL [--async]\n");
        return 2;
    }
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(argv[1], 0, 0, &parts))
        return 2;
    std::wstring const host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring const path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                              std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    auto const started = std::chrono::steady_clock::now();
    HINTERNET session =
        WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, async ? WINHTTP_FLAG_ASYNC : 0);
    HINTERNET connect = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connect, L"GET", path.c_str(), nullptr, nullptr, nullptr,
                                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    unsigned long long total = 0;
    bool const ok = request && (async ? ReadAsynchronously(request, total) : ReadSynchronously(request, total));
    DWORD const error = GetLastError();
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
    if (!ok) {
        std::fprintf(stderr, "bench-winhttp: failed (error %lu)\n", error);
        return 1;
    }
    std::printf("%llu %.3f\n", total, seconds);
    return 0;
}

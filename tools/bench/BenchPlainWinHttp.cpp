// The platform's own transfer, for comparison: a plain synchronous WinHTTP
// loop reading a body in 64 KiB reads and dropping it.
//   bench-winhttp.exe URL    prints "<bytes> <seconds>"
#include <windows.h>

#include <winhttp.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: bench-winhttp URL\n");
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
    HINTERNET session = WinHttpOpen(L"bench", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connect = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connect, L"GET", path.c_str(), nullptr, nullptr, nullptr,
                                           parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0);
    unsigned long long total = 0;
    bool ok = request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr);
    std::vector<char> buffer(65536);
    DWORD read = 0;
    while (ok && (ok = WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &read)) && read > 0)
        total += read;
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
    if (!ok) {
        std::fprintf(stderr, "bench-winhttp: failed (error %lu)\n", GetLastError());
        return 1;
    }
    std::printf("%llu %.3f\n", total, seconds);
    return 0;
}

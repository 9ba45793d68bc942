#pragma once
// Access to the test server that tests/harness/with-test-server started.

#include <windows.h>

#include <winhttp.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ovl::test {

inline std::wstring Env(char const* name)
{
    char const* value = std::getenv(name);
    if (!value)
        throw std::runtime_error(std::string("run through ctest: ") + name + " is not set");
    return std::wstring(value, value + std::strlen(value));
}

inline std::wstring HttpBase() { return Env("OVL_TEST_HTTP"); }
inline std::wstring HttpsBase() { return Env("OVL_TEST_HTTPS"); }
inline std::wstring UntrustedHttpsBase() { return Env("OVL_TEST_HTTPS_UNTRUSTED"); }

// A unique id for a test's URLs, so that the server counts its requests apart.
inline std::wstring UniqueId(wchar_t const* name)
{
    static int counter = 0;
    return std::wstring(name) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter);
}

// The bytes of the server's /body: byte i is Block[i % 65521].
inline std::uint8_t BodyByte(std::uint64_t i)
{
    std::uint64_t const j = i % 65521;
    return static_cast<std::uint8_t>((j * 131 + (j >> 8) * 7) & 0xFF);
}

inline std::vector<std::uint8_t> ExpectedBody(std::uint64_t size)
{
    std::vector<std::uint8_t> body(static_cast<size_t>(size));
    for (std::uint64_t i = 0; i < size; ++i)
        body[static_cast<size_t>(i)] = BodyByte(i);
    return body;
}

// A plain synchronous GET for the server's own pages (not the code under test).
inline std::string FetchText(std::wstring const& url)
{
    URL_COMPONENTSW parts{};
    parts.dwStructSize = sizeof(parts);
    parts.dwHostNameLength = parts.dwUrlPathLength = parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), 0, 0, &parts))
        throw std::runtime_error("test: bad URL");
    std::wstring const host(parts.lpszHostName, parts.dwHostNameLength);
    std::wstring const path = std::wstring(parts.lpszUrlPath, parts.dwUrlPathLength) +
                              std::wstring(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    HINTERNET session = WinHttpOpen(L"test", WINHTTP_ACCESS_TYPE_NO_PROXY, nullptr, nullptr, 0);
    HINTERNET connect = WinHttpConnect(session, host.c_str(), parts.nPort, 0);
    HINTERNET request = WinHttpOpenRequest(connect, L"GET", path.c_str(), nullptr, nullptr, nullptr, 0);
    std::string text;
    if (request && WinHttpSendRequest(request, nullptr, 0, nullptr, 0, 0, 0) && WinHttpReceiveResponse(request, nullptr)) {
        char buffer[4096];
        DWORD read = 0;
        while (WinHttpReadData(request, buffer, sizeof(buffer), &read) && read > 0)
            text.append(buffer, read);
    }
    WinHttpCloseHandle(request);
    WinHttpCloseHandle(connect);
    WinHttpCloseHandle(session);
    return text;
}

struct RecordedRequest {
    double Time = 0;
    std::string Path;
    std::string Range; // "-" when absent
};

// The requests the server saw for an id, in order.
inline std::vector<RecordedRequest> RequestsFor(std::wstring const& id)
{
    std::istringstream lines(FetchText(HttpBase() + L"/_requests?id=" + id));
    std::vector<RecordedRequest> requests;
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        RecordedRequest r;
        fields >> r.Time >> r.Path;
        std::getline(fields >> std::ws, r.Range);
        requests.push_back(r);
    }
    return requests;
}

// The body bytes the server has sent so far to the latest request of id.
inline std::uint64_t SentBytes(std::wstring const& id)
{
    return std::strtoull(FetchText(HttpBase() + L"/_progress?id=" + id).c_str(), nullptr, 10);
}

} // namespace ovl::test

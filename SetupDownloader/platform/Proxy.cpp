#include "platform/Proxy.h"

#include "platform/Handle.h"
#include "platform/InternetHandle.h"
#include "platform/Text.h"

#include <windows.h>

#include <winhttp.h>

#include <vector>

namespace ovl::setup {

namespace {

// The entries of a list separated by ';' or white space.
std::vector<std::wstring_view> Entries(std::wstring_view list)
{
    std::vector<std::wstring_view> entries;
    size_t start = 0;
    while (start < list.size()) {
        size_t end = list.find_first_of(L"; \t\r\n", start);
        if (end == std::wstring_view::npos)
            end = list.size();
        if (end > start)
            entries.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return entries;
}

std::wstring_view WithoutScheme(std::wstring_view server)
{
    for (std::wstring_view prefix : {std::wstring_view(L"http://"), std::wstring_view(L"https://")}) {
        if (server.size() >= prefix.size() && EqualsIgnoreAsciiCase(server.substr(0, prefix.size()), prefix))
            return server.substr(prefix.size());
    }
    return server;
}

// Wildcard match ('*' for any run of characters), ASCII letters folded.
bool Matches(std::wstring_view pattern, std::wstring_view text)
{
    size_t p = 0, t = 0, star = std::wstring_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == L'*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && FoldAscii(pattern[p]) == FoldAscii(text[t])) {
            ++p;
            ++t;
        } else if (star != std::wstring_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == L'*')
        ++p;
    return p == pattern.size();
}

std::wstring ServerFrom(ProxyConfig const& config, std::wstring_view host, bool secure)
{
    if (BypassesProxy(config.Bypass, host))
        return {};
    return SelectProxyServer(config.Proxy, secure);
}

} // namespace

std::wstring SelectProxyServer(std::wstring_view list, bool secure)
{
    std::wstring_view const scheme = secure ? L"https" : L"http";
    std::wstring_view generic;
    for (std::wstring_view entry : Entries(list)) {
        size_t const equals = entry.find(L'=');
        if (equals == std::wstring_view::npos) {
            if (generic.empty())
                generic = entry;
        } else if (EqualsIgnoreAsciiCase(entry.substr(0, equals), scheme) && equals + 1 < entry.size()) {
            return std::wstring(WithoutScheme(entry.substr(equals + 1)));
        }
    }
    return std::wstring(WithoutScheme(generic));
}

bool BypassesProxy(std::wstring_view bypassList, std::wstring_view host)
{
    for (std::wstring_view entry : Entries(bypassList)) {
        if (EqualsIgnoreAsciiCase(entry, L"<local>")) {
            if (host.find(L'.') == std::wstring_view::npos)
                return true;
        } else if (Matches(WithoutScheme(entry), host)) {
            return true;
        }
    }
    return false;
}

std::wstring ChooseProxy(ProxySources const& sources, std::wstring_view host, bool secure)
{
    if (sources.AutomaticSaysDirect)
        return {};
    if (sources.Automatic)
        return ServerFrom(*sources.Automatic, host, secure);
    if (sources.User)
        return ServerFrom(*sources.User, host, secure);
    if (sources.Machine)
        return ServerFrom(*sources.Machine, host, secure);
    return {};
}

namespace {

std::wstring Take(wchar_t* text)
{
    UniqueGlobalMemory const owned(text);
    return text ? std::wstring(text) : std::wstring();
}

// The automatic configuration's answer for url: detection and a PAC script
// are run by WinHTTP, which downloads the script itself.
void AskAutomaticConfiguration(std::wstring const& url, bool detect, std::wstring const& scriptUrl,
                               ProxySources& sources)
{
    UniqueInternet const session(
        WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = (detect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) |
                      (scriptUrl.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
    options.dwAutoDetectFlags = detect ? (WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A) : 0;
    options.lpszAutoConfigUrl = scriptUrl.empty() ? nullptr : scriptUrl.c_str();
    options.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO info{};
    if (!WinHttpGetProxyForUrl(session.Get(), url.c_str(), &options, &info))
        return; // no answer: the fixed settings apply
    ProxyConfig config{Take(info.lpszProxy), Take(info.lpszProxyBypass)};
    if (info.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !config.Proxy.empty())
        sources.Automatic = std::move(config);
    else
        sources.AutomaticSaysDirect = true;
}

} // namespace

std::wstring ResolveProxy(std::wstring const& url, std::wstring_view host, bool secure)
{
    ProxySources sources;
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        std::wstring const scriptUrl = Take(user.lpszAutoConfigUrl);
        ProxyConfig fixed{Take(user.lpszProxy), Take(user.lpszProxyBypass)};
        if (user.fAutoDetect || !scriptUrl.empty())
            AskAutomaticConfiguration(url, user.fAutoDetect != FALSE, scriptUrl, sources);
        if (!fixed.Proxy.empty())
            sources.User = std::move(fixed);
    }
    WINHTTP_PROXY_INFO machine{};
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        ProxyConfig config{Take(machine.lpszProxy), Take(machine.lpszProxyBypass)};
        if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !config.Proxy.empty())
            sources.Machine = std::move(config);
    }
    return ChooseProxy(sources, host, secure);
}

} // namespace ovl::setup

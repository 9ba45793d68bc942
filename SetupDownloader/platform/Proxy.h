#pragma once
// Which proxy a request goes through, as the system's settings say: the
// current user's Internet settings first (automatic detection or a PAC script,
// resolved per URL; else a fixed proxy with its bypass list), then the
// machine's WinHTTP setting (what "netsh winhttp set proxy" writes), then
// none. The rules are plain logic; ResolveProxy asks Windows for the inputs.

#include <optional>
#include <string>
#include <string_view>

namespace ovl::setup {

// A proxy list as Windows writes it ("host:port", "http=a:1;https=b:2",
// several entries separated by ';' or blanks) and its bypass list
// ("<local>;*.example.com;10.*").
struct ProxyConfig {
    std::wstring Proxy;
    std::wstring Bypass;
};

// What the system says, for one URL.
struct ProxySources {
    // The answer of the automatic configuration (detection or PAC script),
    // when the user asked for one and it could be obtained.
    std::optional<ProxyConfig> Automatic;
    bool AutomaticSaysDirect = false; // the script or detection answered DIRECT
    std::optional<ProxyConfig> User;    // the user's fixed proxy
    std::optional<ProxyConfig> Machine; // the machine's WinHTTP proxy
};

// The proxy server ("host:port") of the first entry of a list that serves the
// scheme: "scheme=server" entries for it, or entries without a scheme. Empty
// when none does.
std::wstring SelectProxyServer(std::wstring_view list, bool secure);

// True when the host is on the bypass list: "<local>" for names without a
// dot, "*" as a wildcard, letters compared without regard to case.
bool BypassesProxy(std::wstring_view bypassList, std::wstring_view host);

// The proxy server for a request to host, or empty for a direct connection.
std::wstring ChooseProxy(ProxySources const& sources, std::wstring_view host, bool secure);

// The system's answer for url (an absolute http or https URL): the inputs are
// read from Windows, so this may take a while when automatic detection runs.
std::wstring ResolveProxy(std::wstring const& url, std::wstring_view host, bool secure);

} // namespace ovl::setup

#pragma once
// Which way a request goes to its server, as the user's browser would choose
// it: the current user's Internet settings (automatic detection or a PAC
// script, resolved per URL; else a fixed proxy with its bypass list; else
// direct). The machine's WinHTTP setting (what "netsh winhttp set proxy"
// writes) applies only where the process has no user settings of its own (a
// service account) or the user's are empty.
//
// A proxy list gives several routes in order ("PROXY a; PROXY b; DIRECT"): a
// route whose connection fails passes the turn to the next one. The settings
// are read, and automatic configuration run, once per run and origin (a
// failure is remembered too), never per attempt.
//
// The rules are plain logic; DiscoverProxyRoutes asks Windows for the inputs.

#include "platform/Lock.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovl::setup {

// A proxy list as Windows writes it ("host:port", "http=a:1;https=b:2",
// several entries separated by ';' or blanks, "DIRECT" for a direct
// connection) and its bypass list ("<local>;*.example.com;10.*").
struct ProxyConfig {
    std::wstring Proxy;
    std::wstring Bypass;
};

// The current user's Internet settings.
struct UserProxySettings {
    bool AutoDetect = false;
    std::wstring ScriptUrl;
    ProxyConfig Fixed;

    bool Empty() const noexcept { return !AutoDetect && ScriptUrl.empty() && Fixed.Proxy.empty(); }
};

// What the system's settings say.
struct ProxySources {
    // The user's settings, where they decide (UserSettingsDecide).
    std::optional<UserProxySettings> User;
    std::optional<ProxyConfig> Machine; // the machine's WinHTTP proxy
};

// True when the user's settings decide, as they do for the browser: the
// process runs as a user with settings of its own (not SYSTEM, LOCAL SERVICE
// or NETWORK SERVICE) and they are not empty.
bool UserSettingsDecide(bool serviceAccount, UserProxySettings const& user);

// The routes of a list for the scheme, in order: the proxy servers
// ("host:port") of its "scheme=server" entries, or of its entries without a
// scheme when the scheme has none, and "" for each "DIRECT". Empty when none
// serves the scheme.
std::vector<std::wstring> ProxyRoutesFrom(std::wstring_view list, bool secure);

// True when the host is on the bypass list: "<local>" for names without a
// dot, "*" as a wildcard, letters compared without regard to case.
bool BypassesProxy(std::wstring_view bypassList, std::wstring_view host);

// The routes for a request to host, in order; "" is a direct connection.
// Never empty. automatic is the answer of the user's automatic configuration
// (detection or script) for the URL, when it could be obtained; an empty
// Proxy in it means DIRECT.
std::vector<std::wstring> ChooseProxyRoutes(ProxySources const& sources, std::optional<ProxyConfig> const& automatic,
                                            std::wstring_view host, bool secure);

// The routes for one origin and the one in use, shared by every request to
// that origin in the run. A route whose connection failed passes the turn to
// the next one; after the last, the first has it again.
class ProxyRoutes {
public:
    explicit ProxyRoutes(std::vector<std::wstring> routes);

    std::wstring Current() const;
    std::size_t Count() const noexcept { return routes_.size(); }
    // The connection through route failed: when route is still the one in
    // use (another request may have moved on already), the next one is.
    void Failed(std::wstring const& route);

private:
    std::vector<std::wstring> const routes_;
    mutable SlimLock lock_;
    std::size_t current_ = 0;
};

// True when a failure to send a request through a route means that the route
// cannot be used (the proxy or the server cannot be reached), so the next one
// is tried: a WinHTTP error code.
bool IsRouteFailure(unsigned long error) noexcept;

// The scheme (WINHTTP_AUTH_SCHEME_*) with which to answer a 407, or 0 for
// none: only a proxy that the request actually goes through, only once in a
// request, only Negotiate or NTLM (the logged-on user's credentials; no
// stored ones exist for Basic or Digest), and only when the challenge comes
// from the proxy.
unsigned long ProxyChallengeScheme(bool throughProxy, bool answeredBefore, unsigned long supportedSchemes,
                                   unsigned long target) noexcept;

// Runs an automatic-configuration lookup first without the logged-on user's
// credentials (lookup(false)) and, only when that fails with
// ERROR_WINHTTP_LOGIN_FAILURE, once more with them (lookup(true)). A lookup
// returns 0 or a WinHTTP error code; so does this.
template <typename Lookup>
unsigned long LookUpWithLogonFallback(Lookup const& lookup)
{
    constexpr unsigned long loginFailure = 12015; // ERROR_WINHTTP_LOGIN_FAILURE
    unsigned long const error = lookup(false);
    return error == loginFailure ? lookup(true) : error;
}

// The routes for url (an absolute http or https URL) of the origin key: the
// inputs are read from Windows on first use in the run, which may take a
// while when automatic detection runs or a script is fetched.
std::shared_ptr<ProxyRoutes> DiscoverProxyRoutes(std::wstring const& origin, std::wstring const& url,
                                                 std::wstring_view host, bool secure);

// Forgets what was discovered: the next request reads the settings afresh,
// as a new run would (tests change the settings between runs).
void ForgetProxyDiscovery();

} // namespace ovl::setup

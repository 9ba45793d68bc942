#include "platform/Proxy.h"

#include "platform/Handle.h"
#include "platform/InternetHandle.h"
#include "platform/Text.h"

#include <windows.h>

#include <winhttp.h>

#include <mutex>
#include <vector>

namespace ovl::setup {

static_assert(ERROR_WINHTTP_LOGIN_FAILURE == 12015, "LookUpWithLogonFallback names the code by value");

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

bool IsKeyword(std::wstring_view entry)
{
    return EqualsIgnoreAsciiCase(entry, L"PROXY") || EqualsIgnoreAsciiCase(entry, L"HTTP");
}

std::vector<std::wstring> RoutesFrom(ProxyConfig const& config, std::wstring_view host, bool secure)
{
    if (BypassesProxy(config.Bypass, host))
        return {};
    return ProxyRoutesFrom(config.Proxy, secure);
}

} // namespace

bool UserSettingsDecide(bool serviceAccount, UserProxySettings const& user)
{
    return !serviceAccount && !user.Empty();
}

std::vector<std::wstring> ProxyRoutesFrom(std::wstring_view list, bool secure)
{
    std::wstring_view const scheme = secure ? L"https" : L"http";
    std::vector<std::wstring> own;
    std::vector<std::wstring> generic;
    for (std::wstring_view entry : Entries(list)) {
        size_t const equals = entry.find(L'=');
        if (equals == std::wstring_view::npos) {
            if (EqualsIgnoreAsciiCase(entry, L"DIRECT"))
                generic.emplace_back();
            else if (!IsKeyword(entry))
                generic.emplace_back(WithoutScheme(entry));
        } else if (EqualsIgnoreAsciiCase(entry.substr(0, equals), scheme) && equals + 1 < entry.size()) {
            own.emplace_back(WithoutScheme(entry.substr(equals + 1)));
        }
    }
    return own.empty() ? generic : own;
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

std::vector<std::wstring> ChooseProxyRoutes(ProxySources const& sources, std::optional<ProxyConfig> const& automatic,
                                            std::wstring_view host, bool secure)
{
    std::vector<std::wstring> routes;
    if (sources.User) {
        if (automatic)
            routes = RoutesFrom(*automatic, host, secure);
        else
            routes = RoutesFrom(sources.User->Fixed, host, secure);
    } else if (sources.Machine) {
        routes = RoutesFrom(*sources.Machine, host, secure);
    }
    if (routes.empty())
        routes.emplace_back(); // direct
    return routes;
}

ProxyRoutes::ProxyRoutes(std::vector<std::wstring> routes)
    : routes_(routes.empty() ? std::vector<std::wstring>{std::wstring()} : std::move(routes))
{
}

std::wstring ProxyRoutes::Current() const
{
    std::lock_guard guard(lock_);
    return routes_[current_];
}

void ProxyRoutes::Failed(std::wstring const& route)
{
    std::lock_guard guard(lock_);
    if (routes_[current_] == route)
        current_ = (current_ + 1) % routes_.size();
}

bool IsRouteFailure(unsigned long error) noexcept
{
    switch (error) {
    case ERROR_WINHTTP_CANNOT_CONNECT:
    case ERROR_WINHTTP_NAME_NOT_RESOLVED:
    case ERROR_WINHTTP_CONNECTION_ERROR:
        return true;
    default:
        return false;
    }
}

unsigned long ProxyChallengeScheme(bool throughProxy, bool answeredBefore, unsigned long supportedSchemes,
                                   unsigned long target) noexcept
{
    if (!throughProxy || answeredBefore || target != WINHTTP_AUTH_TARGET_PROXY)
        return 0;
    if (supportedSchemes & WINHTTP_AUTH_SCHEME_NEGOTIATE)
        return WINHTTP_AUTH_SCHEME_NEGOTIATE;
    if (supportedSchemes & WINHTTP_AUTH_SCHEME_NTLM)
        return WINHTTP_AUTH_SCHEME_NTLM;
    return 0;
}

namespace {

std::wstring Take(wchar_t* text)
{
    UniqueGlobalMemory const owned(text);
    return text ? std::wstring(text) : std::wstring();
}

// True when the process runs as SYSTEM, LOCAL SERVICE or NETWORK SERVICE,
// which have no Internet settings of a user of their own.
bool IsServiceAccount()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    UniqueHandle const token(raw);
    alignas(TOKEN_USER) BYTE buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD size = 0;
    if (!GetTokenInformation(token.Get(), TokenUser, buffer, sizeof(buffer), &size))
        return false;
    PSID const sid = reinterpret_cast<TOKEN_USER const*>(buffer)->User.Sid;
    for (DWORD rid : {SECURITY_LOCAL_SYSTEM_RID, SECURITY_LOCAL_SERVICE_RID, SECURITY_NETWORK_SERVICE_RID}) {
        SID account{SID_REVISION, 1, SECURITY_NT_AUTHORITY, {rid}};
        if (EqualSid(sid, &account))
            return true;
    }
    return false;
}

constexpr int LookupTimeoutMs = 30000;

// What the run has found out, shared by every request.
struct Discovery {
    SlimLock Lock; // held while discovering: one request discovers, the others wait for its answer
    bool SettingsRead = false;
    ProxySources Settings;
    bool AutomaticFailed = false;
    std::vector<std::pair<std::wstring, std::shared_ptr<ProxyRoutes>>> ByOrigin;

    void ReadSettings();
    std::optional<ProxyConfig> AskAutomaticConfiguration(std::wstring const& url);
};

Discovery& TheDiscovery()
{
    static Discovery discovery;
    return discovery;
}

void Discovery::ReadSettings()
{
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG user{};
    if (WinHttpGetIEProxyConfigForCurrentUser(&user)) {
        UserProxySettings settings;
        settings.AutoDetect = user.fAutoDetect != FALSE;
        settings.ScriptUrl = Take(user.lpszAutoConfigUrl);
        settings.Fixed = ProxyConfig{Take(user.lpszProxy), Take(user.lpszProxyBypass)};
        if (UserSettingsDecide(IsServiceAccount(), settings))
            Settings.User = std::move(settings);
    }
    WINHTTP_PROXY_INFO machine{};
    if (WinHttpGetDefaultProxyConfiguration(&machine)) {
        ProxyConfig config{Take(machine.lpszProxy), Take(machine.lpszProxyBypass)};
        if (machine.dwAccessType == WINHTTP_ACCESS_TYPE_NAMED_PROXY && !config.Proxy.empty())
            Settings.Machine = std::move(config);
    }
    SettingsRead = true;
}

// The answer of the user's automatic configuration for url, run by WinHTTP
// (which fetches the script itself); none when it cannot be obtained.
std::optional<ProxyConfig> Discovery::AskAutomaticConfiguration(std::wstring const& url)
{
    UniqueInternet const session(
        WinHttpOpen(nullptr, WINHTTP_ACCESS_TYPE_NO_PROXY, WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0));
    if (!session)
        return std::nullopt;
    // Each step of fetching a script ends after a while, so that discovery,
    // which the stall rule does not watch, cannot hold a download for ever.
    WinHttpSetTimeouts(session.Get(), LookupTimeoutMs, LookupTimeoutMs, LookupTimeoutMs, LookupTimeoutMs);
    UserProxySettings const& user = *Settings.User;
    WINHTTP_AUTOPROXY_OPTIONS options{};
    options.dwFlags = (user.AutoDetect ? WINHTTP_AUTOPROXY_AUTO_DETECT : 0) |
                      (user.ScriptUrl.empty() ? 0 : WINHTTP_AUTOPROXY_CONFIG_URL);
    options.dwAutoDetectFlags = user.AutoDetect ? (WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A) : 0;
    options.lpszAutoConfigUrl = user.ScriptUrl.empty() ? nullptr : user.ScriptUrl.c_str();
    WINHTTP_PROXY_INFO info{};
    unsigned long const error = LookUpWithLogonFallback([&](bool autoLogon) -> unsigned long {
        options.fAutoLogonIfChallenged = autoLogon ? TRUE : FALSE;
        return WinHttpGetProxyForUrl(session.Get(), url.c_str(), &options, &info) ? 0 : GetLastError();
    });
    if (error)
        return std::nullopt;
    ProxyConfig config{Take(info.lpszProxy), Take(info.lpszProxyBypass)};
    if (info.dwAccessType != WINHTTP_ACCESS_TYPE_NAMED_PROXY)
        config = ProxyConfig{}; // DIRECT
    return config;
}

} // namespace

std::shared_ptr<ProxyRoutes> DiscoverProxyRoutes(std::wstring const& origin, std::wstring const& url,
                                                 std::wstring_view host, bool secure)
{
    Discovery& discovery = TheDiscovery();
    std::lock_guard guard(discovery.Lock);
    for (auto const& [key, routes] : discovery.ByOrigin) {
        if (key == origin)
            return routes;
    }
    if (!discovery.SettingsRead)
        discovery.ReadSettings();
    std::optional<UserProxySettings> const& user = discovery.Settings.User;
    std::optional<ProxyConfig> automatic;
    if (user && (user->AutoDetect || !user->ScriptUrl.empty()) && !discovery.AutomaticFailed) {
        automatic = discovery.AskAutomaticConfiguration(url);
        discovery.AutomaticFailed = !automatic;
    }
    auto routes = std::make_shared<ProxyRoutes>(ChooseProxyRoutes(discovery.Settings, automatic, host, secure));
    discovery.ByOrigin.emplace_back(origin, routes);
    return routes;
}

void ForgetProxyDiscovery()
{
    Discovery& discovery = TheDiscovery();
    std::lock_guard guard(discovery.Lock);
    discovery.SettingsRead = false;
    discovery.Settings = ProxySources{};
    discovery.AutomaticFailed = false;
    discovery.ByOrigin.clear();
}

} // namespace ovl::setup

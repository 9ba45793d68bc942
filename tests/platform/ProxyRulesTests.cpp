#include "platform/Proxy.h"

#include <windows.h>

#include <winhttp.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

using Routes = std::vector<std::wstring>;

TEST(ProxyRoutesFrom, SchemeEntriesFirstThenTheGenericOnesInOrder)
{
    struct Row {
        wchar_t const* List;
        bool Secure;
        Routes Expected;
    } const rows[] = {
        {L"", false, {}},
        {L"proxy:8080", false, {L"proxy:8080"}},
        {L"proxy:8080", true, {L"proxy:8080"}},
        {L"http=a:1;https=b:2", false, {L"a:1"}},
        {L"http=a:1;https=b:2", true, {L"b:2"}},
        {L"HTTPS=b:2", true, {L"b:2"}},
        {L"https=b:2", false, {}}, // nothing serves plain HTTP
        {L"ftp=f:21;generic:3", false, {L"generic:3"}},
        {L"generic:3;https=b:2", true, {L"b:2"}}, // a scheme's own entries win
        {L"http://proxy:8080", false, {L"proxy:8080"}},
        {L"https=https://b:2", true, {L"b:2"}},
        {L" a:1  b:2 ", false, {L"a:1", L"b:2"}},
        {L"http=", false, {}},
        // A script's answer: every entry in order, DIRECT as a direct route.
        {L"a:1;b:2;DIRECT", false, {L"a:1", L"b:2", L""}},
        {L"PROXY a:1; PROXY b:2; DIRECT", true, {L"a:1", L"b:2", L""}},
        {L"direct", false, {L""}},
        {L"http=a:1;http=b:2;c:3", false, {L"a:1", L"b:2"}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ProxyRoutesFrom(row.List, row.Secure), row.Expected) << row.List << " " << row.Secure;
}

TEST(BypassesProxy, LocalNamesWildcardsAndCase)
{
    struct Row {
        wchar_t const* List;
        wchar_t const* Host;
        bool Expected;
    } const rows[] = {
        {L"", L"host", false},
        {L"<local>", L"intranet", true},
        {L"<LOCAL>", L"intranet", true},
        {L"<local>", L"www.example.com", false},
        {L"*.example.com", L"dl.example.com", true},
        {L"*.example.com", L"example.com", false},
        {L"*.EXAMPLE.com", L"Dl.Example.Com", true},
        {L"10.*", L"10.1.2.3", true},
        {L"10.*", L"110.1.2.3", false},
        {L"a.example; b.example", L"b.example", true},
        {L"a.example;b.example", L"c.example", false},
        {L"*", L"anything", true},
        {L"dl*.example.com", L"dl2.example.com", true},
        {L"http://dl.example.com", L"dl.example.com", true},
    };
    for (auto const& row : rows)
        EXPECT_EQ(BypassesProxy(row.List, row.Host), row.Expected) << row.List << " " << row.Host;
}

TEST(UserSettingsDecide, AUserWithSettingsOfItsOwn)
{
    UserProxySettings const none;
    UserProxySettings detect;
    detect.AutoDetect = true;
    UserProxySettings script;
    script.ScriptUrl = L"http://wpad/proxy.pac";
    UserProxySettings fixed;
    fixed.Fixed.Proxy = L"user:2";
    UserProxySettings bypassOnly;
    bypassOnly.Fixed.Bypass = L"<local>";
    struct Row {
        char const* Name;
        bool ServiceAccount;
        UserProxySettings const& Settings;
        bool Expected;
    } const rows[] = {
        {"empty", false, none, false},
        {"detection", false, detect, true},
        {"script", false, script, true},
        {"fixed proxy", false, fixed, true},
        {"a bypass list alone", false, bypassOnly, false},
        {"service account with detection", true, detect, false},
        {"service account with a fixed proxy", true, fixed, false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(UserSettingsDecide(row.ServiceAccount, row.Settings), row.Expected) << row.Name;
}

TEST(ChooseProxyRoutes, TheUsersSettingsAsTheBrowserUsesThem)
{
    UserProxySettings detectWithFixed;
    detectWithFixed.AutoDetect = true;
    detectWithFixed.Fixed = ProxyConfig{L"user:2", L"*.intranet"};
    UserProxySettings detectOnly;
    detectOnly.AutoDetect = true;
    ProxyConfig const machine{L"machine:3", L"<local>"};
    ProxyConfig const script{L"a:1;b:2;DIRECT", L""};
    ProxyConfig const scriptDirect{L"", L""};
    struct Row {
        char const* Name;
        ProxySources Sources;
        std::optional<ProxyConfig> Automatic;
        wchar_t const* Host;
        Routes Expected;
    } const rows[] = {
        {"nothing set", {}, std::nullopt, L"dl.example.com", {L""}},
        {"machine only", {std::nullopt, machine}, std::nullopt, L"dl.example.com", {L"machine:3"}},
        {"machine bypass", {std::nullopt, machine}, std::nullopt, L"intranethost", {L""}},
        {"script answer, in order", {detectOnly, machine}, script, L"dl.example.com", {L"a:1", L"b:2", L""}},
        {"script says direct", {detectWithFixed, machine}, scriptDirect, L"dl.example.com", {L""}},
        // Detection found nothing: the user's fixed proxy, never the machine's.
        {"no answer, the user's fixed proxy", {detectWithFixed, machine}, std::nullopt, L"dl.example.com", {L"user:2"}},
        {"no answer, the user's bypass", {detectWithFixed, machine}, std::nullopt, L"a.intranet", {L""}},
        {"no answer and no fixed proxy: direct", {detectOnly, machine}, std::nullopt, L"dl.example.com", {L""}},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ChooseProxyRoutes(row.Sources, row.Automatic, row.Host, false), row.Expected) << row.Name;
}

TEST(ProxyRoutes, AFailedRoutePassesTheTurnToTheNextOne)
{
    struct Row {
        char const* Name;
        Routes List;
        std::vector<std::wstring> Failures; // reported in order
        std::wstring Expected;              // the route in use afterwards
    } const rows[] = {
        {"none failed", {L"a:1", L"b:2", L""}, {}, L"a:1"},
        {"first failed", {L"a:1", L"b:2", L""}, {L"a:1"}, L"b:2"},
        {"both proxies failed", {L"a:1", L"b:2", L""}, {L"a:1", L"b:2"}, L""},
        {"all failed: the first again", {L"a:1", L"b:2", L""}, {L"a:1", L"b:2", L""}, L"a:1"},
        // Two requests saw the first route fail: the turn passes once.
        {"a failure reported twice", {L"a:1", L"b:2", L""}, {L"a:1", L"a:1"}, L"b:2"},
        {"a route not in use", {L"a:1", L"b:2"}, {L"b:2"}, L"a:1"},
        {"no routes: direct", {}, {L""}, L""},
    };
    for (auto const& row : rows) {
        ProxyRoutes routes(row.List);
        for (auto const& failure : row.Failures)
            routes.Failed(failure);
        EXPECT_EQ(routes.Current(), row.Expected) << row.Name;
        EXPECT_EQ(routes.Count(), row.List.empty() ? 1u : row.List.size()) << row.Name;
    }
}

TEST(IsRouteFailure, OnlyAServerOrProxyThatCannotBeReached)
{
    struct Row {
        unsigned long Error;
        bool Expected;
    } const rows[] = {
        {ERROR_WINHTTP_CANNOT_CONNECT, true},
        {ERROR_WINHTTP_NAME_NOT_RESOLVED, true},
        {ERROR_WINHTTP_CONNECTION_ERROR, true},
        {ERROR_WINHTTP_TIMEOUT, false},
        {ERROR_WINHTTP_SECURE_FAILURE, false},
        {ERROR_WINHTTP_OPERATION_CANCELLED, false},
        {0, false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(IsRouteFailure(row.Error), row.Expected) << row.Error;
}

TEST(ProxyChallengeScheme, OnlyAProxyInUseAndOnlyOnce)
{
    unsigned long const both = WINHTTP_AUTH_SCHEME_NEGOTIATE | WINHTTP_AUTH_SCHEME_NTLM;
    struct Row {
        char const* Name;
        bool ThroughProxy;
        bool AnsweredBefore;
        unsigned long Schemes;
        unsigned long Target;
        unsigned long Expected;
    } const rows[] = {
        {"proxy asks for both", true, false, both, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_NEGOTIATE},
        {"proxy asks for NTLM", true, false, WINHTTP_AUTH_SCHEME_NTLM, WINHTTP_AUTH_TARGET_PROXY, WINHTTP_AUTH_SCHEME_NTLM},
        {"a mirror's 407 without a proxy", false, false, both, WINHTTP_AUTH_TARGET_PROXY, 0},
        {"answered before", true, true, both, WINHTTP_AUTH_TARGET_PROXY, 0},
        {"Basic", true, false, WINHTTP_AUTH_SCHEME_BASIC, WINHTTP_AUTH_TARGET_PROXY, 0},
        {"Digest", true, false, WINHTTP_AUTH_SCHEME_DIGEST, WINHTTP_AUTH_TARGET_PROXY, 0},
        {"the server asks", true, false, both, WINHTTP_AUTH_TARGET_SERVER, 0},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ProxyChallengeScheme(row.ThroughProxy, row.AnsweredBefore, row.Schemes, row.Target), row.Expected)
            << row.Name;
}

// What WinHttpGetProxyForUrl does with fAutoLogonIfChallenged is only shown
// on Windows, by a script server that asks for Negotiate or NTLM; Wine's
// lookup does not answer such a challenge. The rule: without the user's
// credentials first, with them only after a login failure.
TEST(LookUpWithLogonFallback, CredentialsOnlyAfterALoginFailure)
{
    struct Row {
        char const* Name;
        std::vector<unsigned long> Results; // of the lookups in turn
        std::vector<bool> Expected;         // the autoLogon of each lookup made
        unsigned long Error;
    } const rows[] = {
        {"answered", {0}, {false}, 0},
        {"no script found", {ERROR_WINHTTP_AUTODETECTION_FAILED}, {false}, ERROR_WINHTTP_AUTODETECTION_FAILED},
        {"script download failed", {ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT}, {false},
         ERROR_WINHTTP_UNABLE_TO_DOWNLOAD_SCRIPT},
        {"login failure, then answered", {ERROR_WINHTTP_LOGIN_FAILURE, 0}, {false, true}, 0},
        {"login failure twice", {ERROR_WINHTTP_LOGIN_FAILURE, ERROR_WINHTTP_LOGIN_FAILURE}, {false, true},
         ERROR_WINHTTP_LOGIN_FAILURE},
    };
    for (auto const& row : rows) {
        std::vector<bool> made;
        unsigned long const error = LookUpWithLogonFallback([&](bool autoLogon) {
            made.push_back(autoLogon);
            return made.size() <= row.Results.size() ? row.Results[made.size() - 1] : 0xFFFFFFFFul;
        });
        EXPECT_EQ(made, row.Expected) << row.Name;
        EXPECT_EQ(error, row.Error) << row.Name;
    }
}

} // namespace
} // namespace ovl::setup

// Transfers through the system's proxy settings, with recording proxies of our
// own on loopback. ctest runs these in a prefix of their own, since they
// change the user's and the machine's proxy settings.
//
// What Wine cannot show: automatic detection (WPAD) finds nothing on this
// network, and a Negotiate or NTLM answer with the logged-on user's
// credentials needs a domain (or winbind's ntlm_auth); the tests show that such
// a challenge is answered at most once per attempt and never loops.

#include "download/HttpDownload.h"
#include "platform/Proxy.h"

#include "support/HttpTestSupport.h"
#include "support/ProxySettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace ovl::setup {
namespace {

using ovl::test::ExpectedBody;
using ovl::test::HttpBase;
using ovl::test::Narrow;
using ovl::test::UniqueId;

// The settings restored (ProxySettingsGuard) and what the program discovered
// forgotten, as for a new run.
struct NewRun : ovl::test::ProxySettingsGuard {
    NewRun() { ForgetProxyDiscovery(); }
    ~NewRun() { ForgetProxyDiscovery(); }
};

std::string Proxy(char const* variable) { return Narrow(ovl::test::Env(variable)); }

// The proxy's log lines that mention text.
std::vector<std::string> Logged(std::string const& proxy, std::wstring const& text)
{
    std::istringstream lines(ovl::test::FetchText(L"http://" + std::wstring(proxy.begin(), proxy.end()) + L"/_log"));
    std::vector<std::string> found;
    std::string const wanted = Narrow(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(wanted) != std::string::npos)
            found.push_back(line);
    }
    return found;
}

std::vector<std::uint8_t> Fetch(std::wstring const& url)
{
    CancelFlag cancel{false};
    return DownloadBytes(url, 1 << 20, nullptr, cancel);
}

std::string FailureOf(std::wstring const& url)
{
    return ovl::test::FailureOf([&] { Fetch(url); });
}

TEST(SystemProxy, TheUsersFixedProxyAndItsBypassList)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY");
    struct Row {
        char const* Bypass;
        bool ThroughProxy;
    } const rows[] = {
        {"", true},
        {"127.0.0.1", false},
        {"127.0.0.*", false},
        {"<local>", true}, // 127.0.0.1 has dots: not a local name
        {"*.example.com;10.*", true},
        {"other.example; 127.0.0.1", false},
    };
    for (auto const& row : rows) {
        ovl::test::SetUserProxy(ovl::test::ProxyFixed, proxy, row.Bypass);
        ForgetProxyDiscovery(); // a run of its own
        auto const id = UniqueId(L"user-proxy");
        EXPECT_EQ(Fetch(HttpBase() + L"/body?size=70000&id=" + id), ExpectedBody(70000)) << row.Bypass;
        EXPECT_EQ(Logged(proxy, id).size(), row.ThroughProxy ? 1u : 0u) << "bypass list \"" << row.Bypass << "\"";
    }
}

TEST(SystemProxy, PerSchemeEntriesOfTheUsersProxy)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY");
    // Only HTTPS goes through the proxy: plain HTTP is direct.
    ovl::test::SetUserProxy(ovl::test::ProxyFixed, "https=" + proxy);
    auto const direct = UniqueId(L"scheme-http");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=10&id=" + direct), ExpectedBody(10));
    EXPECT_TRUE(Logged(proxy, direct).empty());
    // HTTPS through the proxy is a CONNECT tunnel.
    auto const tunnelled = UniqueId(L"scheme-https");
    std::size_t const before = Logged(proxy, L"CONNECT").size();
    EXPECT_EQ(Fetch(ovl::test::HttpsBase() + L"/body?size=70000&id=" + tunnelled), ExpectedBody(70000));
    EXPECT_EQ(Logged(proxy, L"CONNECT").size(), before + 1);
}

TEST(SystemProxy, TheMachineSettingWhenTheUserHasNone)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY");
    ovl::test::SetMachineProxy(proxy);
    auto const id = UniqueId(L"machine-proxy");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + id), ExpectedBody(1000));
    EXPECT_EQ(Logged(proxy, id).size(), 1u);

    // The user's own proxy comes first (in a run of its own).
    ovl::test::SetMachineProxy(Proxy("OVL_TEST_PROXY_BASIC"));
    ovl::test::SetUserProxy(ovl::test::ProxyFixed, proxy);
    ForgetProxyDiscovery();
    auto const userFirst = UniqueId(L"user-first");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + userFirst), ExpectedBody(1000));
    EXPECT_EQ(Logged(proxy, userFirst).size(), 1u);
}

TEST(SystemProxy, AProxyScript)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY");
    // The script sends everything but the script's own server through the proxy.
    std::string const script = "function FindProxyForURL(url, host) {\n"
                               "  if (url.indexOf(\"/body\") < 0) return \"DIRECT\";\n"
                               "  return \"PROXY " + proxy + "\";\n}\n";
    ovl::test::WriteBytes((std::filesystem::path(ovl::test::Env("OVL_TEST_ROOT")) / L"proxy.pac").wstring(), script);
    ovl::test::SetUserProxy(ovl::test::ProxyScript, "", "", Narrow(HttpBase()) + "/proxy.pac");
    auto const id = UniqueId(L"script-proxy");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + id), ExpectedBody(1000));
    EXPECT_EQ(Logged(proxy, id).size(), 1u) << "Wine did not evaluate the proxy script";
}

// Serves a proxy script that answers body for every URL from the test
// server's folder; its URL, with the query (behaviour and id) appended.
std::wstring ServeScript(std::wstring const& name, std::string const& body, std::wstring const& query)
{
    ovl::test::WriteBytes((std::filesystem::path(ovl::test::Env("OVL_TEST_ROOT")) / name).wstring(),
                          "function FindProxyForURL(url, host) {\n  return \"" + body + "\";\n}\n");
    return HttpBase() + L"/" + name + L"?" + query;
}

// A port on the proxies' loopback address where nothing listens.
std::string const DeadProxy = "127.0.0.2:9";

// A list of proxies is tried in order when a connection fails, within the
// attempt. What only Windows would show: a script's answer "PROXY a; PROXY b;
// DIRECT" as such a list (Wine's lookup keeps only its first entry, so here
// the list is the user's fixed one; the rules table covers the script's
// form).
TEST(SystemProxy, AListIsTriedInOrderWhenAConnectionFails)
{
    std::string const live = Proxy("OVL_TEST_PROXY");
    struct Row {
        char const* Name;
        std::string List;
        bool ThroughLiveProxy;
    } const rows[] = {
        {"dead then live", DeadProxy + ";" + live, true},
        {"dead then direct", DeadProxy + ";DIRECT", false},
    };
    for (auto const& row : rows) {
        NewRun const run;
        ovl::test::SetUserProxy(ovl::test::ProxyFixed, row.List);
        for (int download = 0; download < 2; ++download) {
            auto const id = UniqueId(L"list");
            EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + id), ExpectedBody(1000)) << row.Name;
            EXPECT_EQ(Logged(live, id).size(), row.ThroughLiveProxy ? 1u : 0u) << row.Name;
            EXPECT_EQ(ovl::test::RequestsFor(id).size(), 1u) << row.Name << ": the failover should cost no attempt";
        }
    }
}

// A laptop with a corporate machine proxy at home: the user's settings ask
// for automatic detection, which finds nothing, so the browser goes direct;
// the machine's setting is not the user's.
TEST(SystemProxy, DetectionThatFindsNothingGoesDirectWhateverTheMachineSetting)
{
    NewRun const run;
    ovl::test::SetUserProxy(ovl::test::ProxyDetect);
    ovl::test::SetMachineProxy(DeadProxy);
    auto const id = UniqueId(L"detect-direct");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + id), ExpectedBody(1000));
    EXPECT_EQ(ovl::test::RequestsFor(id).size(), 1u);
}

// Fetching the script is not the server stalling: a script that comes later
// than the stall time still applies, the request is sent once, and the
// script is fetched once in the run, however many downloads follow.
TEST(SystemProxy, AScriptSlowerThanTheStallTimeIsFetchedOnceAndApplies)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY");
    auto const delay = GetStallTimeout() + std::chrono::milliseconds(1500);
    auto const scriptId = UniqueId(L"slow-pac");
    std::wstring const script = ServeScript(L"slow.pac", "PROXY " + proxy,
                                            L"id=" + scriptId + L"&slow_headers=" + std::to_wstring(delay.count()));
    ovl::test::SetUserProxy(ovl::test::ProxyScript, "", "", Narrow(script));
    for (int download = 0; download < 2; ++download) {
        auto const id = UniqueId(L"slow-pac-body");
        EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + id), ExpectedBody(1000)) << download;
        EXPECT_EQ(Logged(proxy, id).size(), 1u) << download;
        EXPECT_EQ(ovl::test::RequestsFor(id).size(), 1u) << download;
    }
    EXPECT_EQ(ovl::test::RequestsFor(scriptId).size(), 1u) << "the script should be fetched once in the run";
}

TEST(SystemProxy, ABasicChallengeFailsEachAttemptWithoutAPrompt)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY_BASIC");
    ovl::test::SetUserProxy(ovl::test::ProxyFixed, proxy);
    auto const id = UniqueId(L"basic-proxy");
    EXPECT_EQ(FailureOf(HttpBase() + L"/body?size=10&id=" + id),
              "Download failed: Response status code does not indicate success: 407 (Proxy Authentication Required).");
    auto const requests = Logged(proxy, id);
    EXPECT_EQ(requests.size(), 10u) << "one request per attempt";
    for (auto const& line : requests)
        EXPECT_TRUE(line.ends_with(" -")) << "credentials were sent: " << line;
}

TEST(SystemProxy, ANegotiateChallengeIsAnsweredAtMostOncePerAttempt)
{
    NewRun const run;
    std::string const proxy = Proxy("OVL_TEST_PROXY_NEGOTIATE");
    ovl::test::SetUserProxy(ovl::test::ProxyFixed, proxy);
    auto const id = UniqueId(L"negotiate-proxy");
    std::string const failure = FailureOf(HttpBase() + L"/body?size=10&id=" + id);
    EXPECT_TRUE(failure.starts_with("Download failed: ")) << failure;
    auto const requests = Logged(proxy, id);
    std::size_t answered = 0;
    for (auto const& line : requests)
        answered += line.ends_with(" auth") ? 1 : 0;
    std::printf("a proxy asking for Negotiate or NTLM: %zu requests, %zu with credentials; \"%s\"\n", requests.size(),
                answered, failure.c_str());
    EXPECT_GE(requests.size(), 10u);
    EXPECT_LE(requests.size(), 20u) << "the challenge was answered more than once in an attempt";
    EXPECT_LE(answered, 10u);
}

} // namespace
} // namespace ovl::setup

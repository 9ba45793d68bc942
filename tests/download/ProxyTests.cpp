// Transfers through the system's proxy settings, with recording proxies of our
// own on loopback. ctest runs these in a prefix of their own, since they
// change the user's and the machine's proxy settings.
//
// What Wine cannot show: automatic detection (WPAD) finds nothing on this
// network, and a Negotiate or NTLM answer with the logged-on user's
// credentials needs a domain (or winbind's ntlm_auth); the tests show that such
// a challenge is answered at most once per attempt and never loops.

#include "download/HttpDownload.h"

#include "support/HttpTestSupport.h"
#include "support/ProxySettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

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
    ovl::test::ProxySettingsGuard const guard;
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
        auto const id = UniqueId(L"user-proxy");
        EXPECT_EQ(Fetch(HttpBase() + L"/body?size=70000&id=" + id), ExpectedBody(70000)) << row.Bypass;
        EXPECT_EQ(Logged(proxy, id).size(), row.ThroughProxy ? 1u : 0u) << "bypass list \"" << row.Bypass << "\"";
    }
}

TEST(SystemProxy, PerSchemeEntriesOfTheUsersProxy)
{
    ovl::test::ProxySettingsGuard const guard;
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
    ovl::test::ProxySettingsGuard const guard;
    std::string const proxy = Proxy("OVL_TEST_PROXY");
    ovl::test::SetMachineProxy(proxy);
    auto const id = UniqueId(L"machine-proxy");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + id), ExpectedBody(1000));
    EXPECT_EQ(Logged(proxy, id).size(), 1u);

    // The user's own proxy comes first.
    ovl::test::SetMachineProxy(Proxy("OVL_TEST_PROXY_BASIC"));
    ovl::test::SetUserProxy(ovl::test::ProxyFixed, proxy);
    auto const userFirst = UniqueId(L"user-first");
    EXPECT_EQ(Fetch(HttpBase() + L"/body?size=1000&id=" + userFirst), ExpectedBody(1000));
    EXPECT_EQ(Logged(proxy, userFirst).size(), 1u);
}

TEST(SystemProxy, AProxyScript)
{
    ovl::test::ProxySettingsGuard const guard;
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

TEST(SystemProxy, ABasicChallengeFailsEachAttemptWithoutAPrompt)
{
    ovl::test::ProxySettingsGuard const guard;
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
    ovl::test::ProxySettingsGuard const guard;
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

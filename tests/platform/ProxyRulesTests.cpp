#include "platform/Proxy.h"

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

TEST(SelectProxyServer, SchemeEntriesFirstThenTheGenericOne)
{
    struct Row {
        wchar_t const* List;
        bool Secure;
        wchar_t const* Expected;
    } const rows[] = {
        {L"", false, L""},
        {L"proxy:8080", false, L"proxy:8080"},
        {L"proxy:8080", true, L"proxy:8080"},
        {L"http=a:1;https=b:2", false, L"a:1"},
        {L"http=a:1;https=b:2", true, L"b:2"},
        {L"HTTPS=b:2", true, L"b:2"},
        {L"https=b:2", false, L""},          // nothing serves plain HTTP
        {L"ftp=f:21;generic:3", false, L"generic:3"},
        {L"generic:3;https=b:2", true, L"b:2"}, // a scheme's own entry wins
        {L"http://proxy:8080", false, L"proxy:8080"},
        {L"https=https://b:2", true, L"b:2"},
        {L" a:1  b:2 ", false, L"a:1"},
        {L"http=", false, L""},
    };
    for (auto const& row : rows)
        EXPECT_EQ(SelectProxyServer(row.List, row.Secure), row.Expected) << row.List << " " << row.Secure;
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

TEST(ChooseProxy, AutomaticThenTheUsersThenTheMachines)
{
    ProxyConfig const automatic{L"auto:1", L""};
    ProxyConfig const user{L"user:2", L"*.intranet"};
    ProxyConfig const machine{L"machine:3", L"<local>"};
    struct Row {
        char const* Name;
        ProxySources Sources;
        wchar_t const* Host;
        wchar_t const* Expected;
    } const rows[] = {
        {"nothing set", {}, L"dl.example.com", L""},
        {"machine only", {std::nullopt, false, std::nullopt, machine}, L"dl.example.com", L"machine:3"},
        {"machine bypass", {std::nullopt, false, std::nullopt, machine}, L"intranethost", L""},
        {"user before machine", {std::nullopt, false, user, machine}, L"dl.example.com", L"user:2"},
        {"user bypass is final", {std::nullopt, false, user, machine}, L"a.intranet", L""},
        {"automatic before all", {automatic, false, user, machine}, L"dl.example.com", L"auto:1"},
        {"automatic says direct", {std::nullopt, true, user, machine}, L"dl.example.com", L""},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ChooseProxy(row.Sources, row.Host, false), row.Expected) << row.Name;
}

} // namespace
} // namespace ovl::setup

// Transfers against servers that stop sending: the stall rule ends each such
// attempt after the stall time (a build setting, short in the tests' build)
// and the next attempt resumes; Cancel is seen promptly in every state. The
// bounds on time are generous, for a loaded two-core machine; the measured
// values are printed.

#include "download/HttpDownload.h"

#include "support/HttpTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace ovl::setup {
namespace {

using namespace std::chrono_literals;
using ovl::test::ExpectedBody;
using ovl::test::HttpBase;
using ovl::test::RequestsFor;
using ovl::test::UniqueId;

double StallSeconds() { return std::chrono::duration<double>(GetStallTimeout()).count(); }

std::wstring Url(std::wstring const& id, std::wstring const& query)
{
    return HttpBase() + L"/body?id=" + id + L"&" + query;
}

std::vector<std::uint8_t> Fetch(std::wstring const& url)
{
    CancelFlag cancel{false};
    return DownloadBytes(url, 16 << 20, nullptr, cancel);
}

// Seconds between the first two requests the server saw for id.
double Gap(std::wstring const& id)
{
    auto const requests = RequestsFor(id);
    return requests.size() < 2 ? -1.0 : requests[1].Time - requests[0].Time;
}

TEST(Stall, EachStallEndsItsAttemptAfterTheStallTimeAndTheNextResumes)
{
    struct Row {
        wchar_t const* Name;
        wchar_t const* Query;
        std::uint64_t Size;
        std::uint64_t StalledAt; // body bytes sent before the stall; 0: no Range next time
    } const rows[] = {
        // The connection is accepted, the request read, and nothing answered.
        {L"silent", L"size=1000&hang=headers&hang_count=1", 1000, 0},
        // The headers come, then nothing: nothing was received, so no Range.
        {L"after-headers", L"size=200000&accept_ranges=bytes&hang_after=0&hang_count=1", 200000, 0},
        // Part of the body comes, then nothing: the next attempt resumes, at
        // the end of what the first one handed over (under Wine a network
        // read completes only with its full count, 64 KiB at first).
        {L"mid-body", L"size=300000&accept_ranges=bytes&hang_after=100000&hang_count=1", 300000, 100000},
    };
    for (auto const& row : rows) {
        auto const id = UniqueId(row.Name);
        EXPECT_EQ(Fetch(Url(id, row.Query)), ExpectedBody(row.Size)) << row.Name;
        auto const requests = RequestsFor(id);
        ASSERT_EQ(requests.size(), 2u) << row.Name;
        if (row.StalledAt == 0) {
            EXPECT_EQ(requests[1].Range, "-") << row.Name;
        } else {
            ASSERT_TRUE(requests[1].Range.starts_with("bytes=")) << row.Name << ": " << requests[1].Range;
            std::uint64_t const resumedAt = std::stoull(requests[1].Range.substr(6));
            std::printf("%ls: resumed at %llu of the %llu bytes sent\n", row.Name,
                        static_cast<unsigned long long>(resumedAt), static_cast<unsigned long long>(row.StalledAt));
            EXPECT_GT(resumedAt, 0u) << row.Name;
            EXPECT_LE(resumedAt, row.StalledAt) << row.Name;
        }
        double const gap = Gap(id); // the stall time, then the 500 ms retry delay
        std::printf("%ls: the stalled attempt ended and the next began %.2f s after the first\n", row.Name, gap);
        EXPECT_GE(gap, StallSeconds()) << row.Name;
        EXPECT_LT(gap, StallSeconds() + 0.5 + 3.0) << row.Name;
    }
}

TEST(Stall, ASlowButSteadyBodyIsNotAStall)
{
    // 3,000 bytes every 500 ms: a 64 KiB read would take eleven seconds to
    // fill, far longer than the stall time, yet bytes keep coming.
    auto const id = UniqueId(L"trickle");
    auto const started = std::chrono::steady_clock::now();
    EXPECT_EQ(Fetch(Url(id, L"size=40000&trickle=3000:500")), ExpectedBody(40000));
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("40,000 bytes trickled in %.2f s\n", seconds);
    EXPECT_GT(seconds, StallSeconds());
    EXPECT_EQ(RequestsFor(id).size(), 1u);
}

TEST(StallTenTimes, EndsTheDownloadWithTheStallMessage)
{
    auto const id = UniqueId(L"ten-stalls");
    try {
        Fetch(Url(id, L"size=10&hang=headers&hang_ms=60000"));
        FAIL() << "a server that never answers was waited out";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Download failed: The server stopped responding");
    }
    auto const requests = RequestsFor(id);
    ASSERT_EQ(requests.size(), 10u);
    double const span = requests.back().Time - requests.front().Time;
    std::printf("ten stalled attempts: %.2f s from the first request to the last\n", span);
    EXPECT_GE(span, 9 * (StallSeconds() + 0.5));
}

// Cancel, set while the transfer is in a given state, ends it promptly.
TEST(CancelLatency, EveryStateEndsWithinTheBound)
{
    struct Row {
        wchar_t const* Name;
        wchar_t const* Query;
        std::uint64_t CancelAfterBytes; // set the flag once the server has sent this much
    } const rows[] = {
        {L"awaiting-headers", L"size=1000&hang=headers&hang_ms=20000", 0},
        {L"mid-body-stall", L"size=2000000&accept_ranges=bytes&hang_after=150000&hang_ms=20000", 150000},
        {L"slow-trickle", L"size=2000000&trickle=3001:500", 6002},
        {L"retry-delay", L"size=10&status=503", 0},
    };
    for (auto const& row : rows) {
        auto const id = UniqueId(row.Name);
        CancelFlag cancel{false};
        std::chrono::steady_clock::time_point setAt;
        std::thread canceller([&] {
            // Wait until the server has had the request and sent the bytes.
            for (int i = 0; i < 500 && (RequestsFor(id).empty() || ovl::test::SentBytes(id) < row.CancelAfterBytes); ++i)
                std::this_thread::sleep_for(20ms);
            std::this_thread::sleep_for(300ms);
            setAt = std::chrono::steady_clock::now();
            cancel = true;
        });
        bool canceled = false;
        try {
            DownloadToSink(Url(id, row.Query), nullptr, cancel, [](std::uint8_t const*, std::uint32_t, std::uint64_t) {});
        } catch (CanceledException const&) {
            canceled = true;
        } catch (std::exception const& e) {
            ADD_FAILURE() << row.Name << ": " << e.what();
        }
        auto const endedAt = std::chrono::steady_clock::now();
        canceller.join();
        EXPECT_TRUE(canceled) << row.Name;
        double const latency = std::chrono::duration<double>(endedAt - setAt).count();
        std::printf("%ls: canceled %.3f s after the flag was set\n", row.Name, latency);
        EXPECT_LT(latency, 2.0) << row.Name;
    }
}

TEST(Request, CarriesTheProgramsUserAgent)
{
    auto const id = UniqueId(L"agent");
    Fetch(Url(id, L"size=10"));
    EXPECT_EQ(ovl::test::FetchText(HttpBase() + L"/_agents?id=" + id), "Orvelle-SetupDownloader/" OVL_VERSION "\n");
}

TEST(RedirectToPlainHttp, FromHttpsIsRefused)
{
    auto const target = HttpBase() + L"/body?size=10";
    try {
        Fetch(ovl::test::HttpsBase() + L"/body?size=10&redirect_to=" + target);
        FAIL() << "an HTTPS download was redirected to plain HTTP";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Download failed: WinHTTP error 12156: the redirection failed");
    }
}

} // namespace
} // namespace ovl::setup

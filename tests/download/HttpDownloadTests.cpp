// Transfers against the scripted test server (tools/test-server), which the
// ctest entry starts around this executable.

#include "download/HttpDownload.h"

#include "support/HttpTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <map>
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

// Everything a transfer handed out: the chunks by offset and the progress.
struct Recording {
    std::vector<std::pair<std::uint64_t, std::uint32_t>> Chunks; // offset, count
    std::vector<std::uint8_t> Bytes;                             // assembled at the offsets
    std::vector<DownloadProgress> Progress;
    std::uint64_t Total = 0;
    std::string Error;
    bool Canceled = false;
    bool WinRtError = false;
    std::wstring WinRtMessage;
};

Recording Transfer(std::wstring const& url, CancelFlag const& cancel = CancelFlag{false}, bool withProgress = true)
{
    Recording r;
    DownloadProgressCallback progress;
    if (withProgress)
        progress = [&](DownloadProgress const& p) { r.Progress.push_back(p); };
    try {
        r.Total = DownloadToSink(url, progress, cancel, [&](std::uint8_t const* data, std::uint32_t n, std::uint64_t offset) {
            r.Chunks.emplace_back(offset, n);
            if (r.Bytes.size() < offset + n)
                r.Bytes.resize(static_cast<size_t>(offset + n));
            std::copy(data, data + n, r.Bytes.begin() + static_cast<std::ptrdiff_t>(offset));
        });
    } catch (CanceledException const&) {
        r.Canceled = true;
    } catch (std::exception const& e) {
        r.Error = e.what();
    } catch (winrt::hresult_error const& e) {
        r.WinRtError = true;
        r.WinRtMessage = e.message();
    }
    return r;
}

std::wstring Url(std::wstring const& id, std::wstring const& query)
{
    return HttpBase() + L"/body?id=" + id + L"&" + query;
}

// The offsets at which each attempt started writing.
std::vector<std::uint64_t> AttemptStarts(Recording const& r)
{
    std::vector<std::uint64_t> starts;
    std::int32_t attempt = -1;
    for (size_t i = 0; i < r.Chunks.size(); ++i) {
        if (r.Progress[i].attempt != attempt) {
            attempt = r.Progress[i].attempt;
            starts.push_back(r.Chunks[i].first);
        }
    }
    return starts;
}

TEST(Download, WholeBodyInOneAttempt)
{
    auto const id = UniqueId(L"whole");
    auto const r = Transfer(Url(id, L"size=300000&accept_ranges=bytes"));
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Total, 300000u);
    EXPECT_EQ(r.Bytes, ExpectedBody(300000));
    ASSERT_FALSE(r.Progress.empty());
    EXPECT_EQ(r.Progress.size(), r.Chunks.size()); // one report per chunk
    double last = 0;
    for (auto const& p : r.Progress) {
        EXPECT_EQ(p.attempt, 0);
        EXPECT_GE(p.percent, last);
        EXPECT_LE(p.percent, 100.0);
        last = p.percent;
    }
    EXPECT_EQ(r.Progress.back().percent, 100.0);
    for (auto const& [offset, n] : r.Chunks)
        EXPECT_LE(n, ChunkSize);
    auto const requests = RequestsFor(id);
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].Range, "-"); // the first attempt never asks for a range
}

TEST(Download, BreakWithByteRangesResumesWhereItStopped)
{
    auto const id = UniqueId(L"resume");
    auto const r = Transfer(Url(id, L"size=400000&accept_ranges=bytes&drop_after=150000"));
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Total, 400000u);
    EXPECT_EQ(r.Bytes, ExpectedBody(400000));
    auto const requests = RequestsFor(id);
    ASSERT_EQ(requests.size(), 2u);
    auto const starts = AttemptStarts(r);
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[0], 0u);
    EXPECT_GT(starts[1], 0u);
    EXPECT_LE(starts[1], 150000u);
    EXPECT_EQ(requests[0].Range, "-");
    EXPECT_EQ(requests[1].Range, "bytes=" + std::to_string(starts[1]) + "-");
    // Offsets continue without a gap or an overlap.
    std::uint64_t next = 0;
    for (auto const& [offset, n] : r.Chunks) {
        EXPECT_EQ(offset, next);
        next = offset + n;
    }
    EXPECT_EQ(r.Progress.back().attempt, 1);
    EXPECT_GE(requests[1].Time - requests[0].Time, 0.4); // the retry delay
}

TEST(Download, WithoutByteRangesTheNextAttemptStartsAtZero)
{
    for (std::wstring const acceptRanges : {L"&accept_ranges=none", L""}) {
        auto const id = UniqueId(L"norange");
        auto const r = Transfer(Url(id, L"size=300000&drop_after=100000" + acceptRanges));
        ASSERT_EQ(r.Error, "");
        EXPECT_EQ(r.Bytes, ExpectedBody(300000));
        auto const requests = RequestsFor(id);
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[1].Range, "-");
        EXPECT_EQ(AttemptStarts(r), (std::vector<std::uint64_t>{0, 0}));
    }
}

TEST(Download, WholeBodyAnsweringAResumeRestartsAtZeroAndProgressFallsBack)
{
    auto const id = UniqueId(L"ignored");
    auto const r = Transfer(Url(id, L"size=300000&accept_ranges=bytes&drop_after=200000&ignore_range=1"));
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Total, 300000u);
    EXPECT_EQ(r.Bytes, ExpectedBody(300000));
    auto const requests = RequestsFor(id);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_NE(requests[1].Range, "-");
    EXPECT_EQ(AttemptStarts(r), (std::vector<std::uint64_t>{0, 0}));
    bool fellBack = false;
    for (size_t i = 1; i < r.Progress.size(); ++i)
        fellBack = fellBack || r.Progress[i].percent < r.Progress[i - 1].percent;
    EXPECT_TRUE(fellBack);
}

TEST(Download, ResumeAtTheWrongOffsetOrUnitRestartsWithoutRange)
{
    for (std::wstring const fault : {L"range_offset=7", L"range_unit=items", L"no_content_range=1"}) {
        auto const id = UniqueId(L"wrongoffset");
        auto const r = Transfer(Url(id, L"size=300000&accept_ranges=bytes&drop_after=100000&" + fault));
        ASSERT_EQ(r.Error, "") << std::string(fault.begin(), fault.end());
        EXPECT_EQ(r.Bytes, ExpectedBody(300000));
        auto const requests = RequestsFor(id);
        ASSERT_EQ(requests.size(), 3u);
        EXPECT_EQ(requests[0].Range, "-");
        EXPECT_NE(requests[1].Range, "-");
        EXPECT_EQ(requests[2].Range, "-");
    }
}

TEST(Download, PartWithoutAskingIsAnErrorAndRetried)
{
    auto const id = UniqueId(L"partial");
    auto const r = Transfer(Url(id, L"size=1000&partial_always=1"));
    EXPECT_EQ(r.Error, "The server sent part of the file without being asked for a part");
    EXPECT_EQ(RequestsFor(id).size(), 10u);
    EXPECT_TRUE(r.Chunks.empty());
}

TEST(Download, NotFoundCostsTenRequestsHalfASecondApart)
{
    auto const id = UniqueId(L"notfound");
    auto const r = Transfer(Url(id, L"size=10&status=404"));
    EXPECT_EQ(r.Error, "Download failed: Response status code does not indicate success: 404 (Not Found).");
    auto const requests = RequestsFor(id);
    ASSERT_EQ(requests.size(), 10u);
    for (size_t i = 1; i < requests.size(); ++i) {
        double const gap = requests[i].Time - requests[i - 1].Time;
        EXPECT_GE(gap, 0.45) << i;
        EXPECT_LT(gap, 3.0) << i;
    }
}

// A mirror (no proxy in use) that answers 407 asking for Negotiate or NTLM:
// the challenge is not answered, so each attempt costs one request and no
// credential is offered to the mirror. What only Windows would show is the
// credential itself (Wine has no logged-on user's NTLM credentials); the
// second request of an attempt shows the answer was tried.
TEST(Download, ProxyChallengeFromAMirrorIsNotAnswered)
{
    auto const id = UniqueId(L"mirror-407");
    auto const r = Transfer(Url(id, L"size=10&status=407&proxy_authenticate=Negotiate,NTLM"));
    EXPECT_EQ(r.Error, "Download failed: Response status code does not indicate success: 407 (Proxy Authentication Required).");
    EXPECT_EQ(RequestsFor(id).size(), 10u) << "one request per attempt";
}

TEST(Download, UnavailableTwiceThenSucceedsOnTheThirdAttempt)
{
    auto const id = UniqueId(L"unavailable");
    auto const r = Transfer(Url(id, L"size=5000&status=503&status_count=2"));
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Bytes, ExpectedBody(5000));
    EXPECT_EQ(RequestsFor(id).size(), 3u);
    ASSERT_FALSE(r.Progress.empty());
    EXPECT_EQ(r.Progress.back().attempt, 2);
}

TEST(Download, MalformedUrlFailsAtOnceWithoutARequest)
{
    for (std::wstring const url : {L"not a url", L"ftp://127.0.0.1/x", L"http://", L""}) {
        auto const started = std::chrono::steady_clock::now();
        auto const r = Transfer(url);
        EXPECT_TRUE(r.WinRtError) << r.Error;
        EXPECT_LT(std::chrono::steady_clock::now() - started, 400ms); // no retry delay
        EXPECT_EQ(r.WinRtMessage.find(L"Download failed"), std::wstring::npos);
    }
}

TEST(Download, ShortBodyWithAKnownLengthFailsAndResumes)
{
    // Every attempt breaks off: the last one's error is what the caller sees.
    auto const id = UniqueId(L"short");
    auto const r = Transfer(Url(id, L"size=200000&drop_after=50000&drop_count=10"));
    EXPECT_TRUE(r.Error == "The download ended before all of its content had arrived" ||
                r.Error.starts_with("Download failed: WinHTTP error"))
        << r.Error;
    std::printf("a body cut short after its last attempt: %s\n", r.Error.c_str());
    EXPECT_EQ(RequestsFor(id).size(), 10u);

    // With byte ranges the attempts resume, so the short bodies add up.
    auto const resumed = UniqueId(L"short-resumed");
    auto const r2 = Transfer(Url(resumed, L"size=200000&accept_ranges=bytes&drop_after=30000&drop_count=5"));
    ASSERT_EQ(r2.Error, "");
    EXPECT_EQ(r2.Bytes, ExpectedBody(200000));
    EXPECT_EQ(RequestsFor(resumed).size(), 6u);
}

TEST(Download, ZeroLengthReturnsAtOnce)
{
    auto const id = UniqueId(L"zero");
    auto const r = Transfer(Url(id, L"size=5000&length=zero"));
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Total, 0u);
    EXPECT_TRUE(r.Chunks.empty());
    EXPECT_TRUE(r.Progress.empty());
}

TEST(Download, WithoutALengthPercentIsUnknownThroughout)
{
    for (std::wstring const coding : {L"&chunked=1", L""}) {
        auto const id = UniqueId(L"nolength");
        auto const r = Transfer(Url(id, L"size=250000&length=absent" + coding));
        ASSERT_EQ(r.Error, "");
        EXPECT_EQ(r.Total, 250000u);
        EXPECT_EQ(r.Bytes, ExpectedBody(250000));
        ASSERT_FALSE(r.Progress.empty());
        for (auto const& p : r.Progress)
            EXPECT_EQ(p.percent, -1.0);
    }
}

TEST(Download, EmptyProgressCallbackIsNeverCalled)
{
    auto const r = Transfer(Url(UniqueId(L"noprogress"), L"size=100000"), CancelFlag{false}, false);
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Bytes, ExpectedBody(100000));
    EXPECT_TRUE(r.Progress.empty());
}

// A fast body read far ahead of a reader that now and then falls behind: the
// stream reuses its buffers only once the reader is done with them, and the
// reader still takes the body in pieces of at most 64 KiB.
TEST(Download, LongBodyReadAheadOfASlowReaderArrivesIntact)
{
    constexpr std::uint64_t size = 12 * 1048576 + 12345;
    CancelFlag cancel{false};
    std::vector<std::uint8_t> bytes;
    std::uint32_t largest = 0;
    size_t chunks = 0;
    auto const total = DownloadToSink(Url(UniqueId(L"long"), L"size=" + std::to_wstring(size)), nullptr, cancel,
                                      [&](std::uint8_t const* data, std::uint32_t n, std::uint64_t offset) {
                                          ASSERT_EQ(offset, bytes.size());
                                          bytes.insert(bytes.end(), data, data + n);
                                          largest = std::max(largest, n);
                                          if (++chunks % 8 == 0)
                                              std::this_thread::sleep_for(std::chrono::milliseconds(3));
                                      });
    EXPECT_EQ(total, size);
    EXPECT_TRUE(bytes == ExpectedBody(size)) << "the body arrived altered";
    EXPECT_EQ(largest, ChunkSize);
}

TEST(Download, RedirectsAreFollowed)
{
    auto const id = UniqueId(L"redirect");
    auto const r = Transfer(Url(id, L"size=7000&redirect=2"));
    ASSERT_EQ(r.Error, "");
    EXPECT_EQ(r.Bytes, ExpectedBody(7000));
    EXPECT_EQ(RequestsFor(id).size(), 3u);
}

TEST(DownloadBytes, LimitIsInclusive)
{
    CancelFlag cancel{false};
    auto const exact = DownloadBytes(Url(UniqueId(L"limit"), L"size=1048576"), 1048576, nullptr, cancel);
    EXPECT_EQ(exact, ExpectedBody(1048576));

    auto const id = UniqueId(L"over");
    try {
        DownloadBytes(Url(id, L"size=1048577"), 1048576, nullptr, cancel);
        FAIL() << "no failure";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "The response is larger than allowed");
    }
    EXPECT_EQ(RequestsFor(id).size(), 10u);
}

TEST(DownloadBytes, ZeroLengthGivesAnEmptyVector)
{
    CancelFlag cancel{false};
    int reports = 0;
    auto const body = DownloadBytes(Url(UniqueId(L"empty"), L"size=10&length=zero"), 100,
                                    [&](DownloadProgress const&) { ++reports; }, cancel);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(reports, 0);
}

TEST(DownloadBytes, ARestartDropsTheTailOfALongerEarlierAttempt)
{
    // Without ranges the second attempt starts over; the result is the body.
    CancelFlag cancel{false};
    auto const body = DownloadBytes(Url(UniqueId(L"tail"), L"size=200000&drop_after=150000"), 1 << 20, nullptr, cancel);
    EXPECT_EQ(body, ExpectedBody(200000));
}

TEST(DownloadCancel, WhileHeadersAreAwaitedIsNoticedWithinThePollInterval)
{
    CancelFlag cancel{false};
    auto const id = UniqueId(L"cancel-headers");
    std::chrono::steady_clock::time_point setAt;
    std::thread canceller([&] {
        std::this_thread::sleep_for(400ms);
        setAt = std::chrono::steady_clock::now();
        cancel = true;
    });
    auto const r = Transfer(Url(id, L"size=1000&slow_headers=8000"), cancel);
    auto const endedAt = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_TRUE(r.Canceled) << r.Error;
    EXPECT_LT(endedAt - setAt, 1s);
    EXPECT_EQ(RequestsFor(id).size(), 1u);
}

TEST(DownloadCancel, WhileTheBodyIsReadIsNoticedPromptly)
{
    // Under Wine a pending read is not aborted by closing the request; the
    // cancellation still ends the wait at once.
    CancelFlag cancel{false};
    std::atomic<bool> firstChunk{false};
    std::chrono::steady_clock::time_point setAt;
    std::thread canceller([&] {
        while (!firstChunk)
            std::this_thread::sleep_for(10ms);
        setAt = std::chrono::steady_clock::now();
        cancel = true;
    });
    bool canceled = false;
    try {
        DownloadToSink(Url(UniqueId(L"cancel-body"), L"size=5000000&slow_body=3000"), nullptr, cancel,
                       [&](std::uint8_t const*, std::uint32_t, std::uint64_t) { firstChunk = true; });
    } catch (CanceledException const&) {
        canceled = true;
    }
    auto const endedAt = std::chrono::steady_clock::now();
    canceller.join();
    EXPECT_TRUE(canceled);
    EXPECT_LT(endedAt - setAt, 1s);
}

TEST(DownloadCancel, DuringTheRetryDelayRaisesWhenTheDelayEnds)
{
    CancelFlag cancel{false};
    auto const id = UniqueId(L"cancel-delay");
    std::thread canceller([&] {
        while (RequestsFor(id).empty())
            std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(150ms);
        cancel = true;
    });
    auto const r = Transfer(Url(id, L"size=10&status=503"), cancel);
    canceller.join();
    EXPECT_TRUE(r.Canceled) << r.Error;
    std::this_thread::sleep_for(700ms);
    EXPECT_EQ(RequestsFor(id).size(), 1u);
}

TEST(DownloadHttps, TestCaIsTrustedAndAnUnknownCaIsNot)
{
    CancelFlag cancel{false};
    auto const body = DownloadBytes(ovl::test::HttpsBase() + L"/body?size=70000", 1 << 20, nullptr, cancel);
    EXPECT_EQ(body, ExpectedBody(70000));

    try {
        DownloadBytes(ovl::test::UntrustedHttpsBase() + L"/body?size=10", 1 << 20, nullptr, cancel);
        FAIL() << "an unknown CA was trusted";
    } catch (std::runtime_error const& e) {
        EXPECT_TRUE(std::string(e.what()).starts_with("Download failed: WinHTTP error")) << e.what();
        std::printf("an unknown CA: %s\n", e.what());
    }
}

} // namespace
} // namespace ovl::setup

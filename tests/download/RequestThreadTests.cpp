// The request's own thread, through the network-read seam: the memory it holds
// ahead of a reader that has stopped, when every read completes with a few
// KiB, and a failure thrown on that thread.
//
// What only Windows would show: there a read completes with whatever has
// arrived, so a slow link gives reads of a few KiB by itself; Wine completes a
// read only once its whole count is in, so the seam asks for a few KiB.
//
// This executable counts every allocation made through operator new, so that
// the memory the transfer holds is measured exactly (Wine's process counters
// do not show memory that was committed but never touched).

#include "download/HttpDownload.h"

#include "support/HttpTestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <psapi.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// Bytes allocated through operator new and not yet freed; each block carries
// its size in front of it.
std::atomic<std::int64_t> allocated{0};
constexpr std::size_t Header = 16;

void* Allocate(std::size_t size)
{
    void* block = std::malloc(size + Header);
    if (!block)
        throw std::bad_alloc();
    *static_cast<std::size_t*>(block) = size;
    allocated.fetch_add(static_cast<std::int64_t>(size), std::memory_order_relaxed);
    return static_cast<char*>(block) + Header;
}

void Free(void* p) noexcept
{
    if (!p)
        return;
    void* block = static_cast<char*>(p) - Header;
    allocated.fetch_sub(static_cast<std::int64_t>(*static_cast<std::size_t*>(block)), std::memory_order_relaxed);
    std::free(block);
}

} // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, std::size_t) noexcept { Free(p); }
void operator delete[](void* p, std::size_t) noexcept { Free(p); }

namespace ovl::setup {
namespace {

using namespace std::chrono_literals;
using ovl::test::ExpectedBody;
using ovl::test::HttpBase;
using ovl::test::RequestsFor;
using ovl::test::SentBytes;
using ovl::test::UniqueId;

constexpr std::uint32_t SmallRead = 4096;

// The seam in place for one test.
struct SeamGuard {
    explicit SeamGuard(NetworkReadSeam seam) { SetNetworkReadSeam(seam); }
    ~SeamGuard() { SetNetworkReadSeam(nullptr); }
};

double MiB(std::int64_t bytes) { return static_cast<double>(bytes) / 1048576.0; }

std::int64_t PeakPagefileUsage()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return static_cast<std::int64_t>(counters.PeakPagefileUsage);
}

// Waits while the server still sends to id (the stream reading ahead), at
// most 30 s; returns the most memory held meanwhile.
std::int64_t HoldUntilTheServerStops(std::wstring const& id)
{
    std::int64_t most = allocated.load();
    std::uint64_t last = 0;
    int unchanged = 0;
    for (auto const deadline = std::chrono::steady_clock::now() + 30s;
         unchanged < 4 && std::chrono::steady_clock::now() < deadline;) {
        std::this_thread::sleep_for(250ms);
        std::uint64_t const sent = SentBytes(id);
        unchanged = sent == last ? unchanged + 1 : 0;
        last = sent;
        most = std::max(most, allocated.load());
    }
    std::printf("the server sent %llu bytes while the reader held still\n", static_cast<unsigned long long>(last));
    return std::max(most, allocated.load());
}

// A reader that stops at its first chunk while the stream reads ahead in small
// reads (4 KiB, as Windows completes them on a slow link; 16 bytes, as a
// server trickling tiny segments gets them): what the stream holds is bounded
// by memory, each chunk's own cost included, not by the bytes read.
TEST(ReadAhead, MemoryHeldAheadOfAStoppedReaderIsBoundedWhenReadsAreSmall)
{
    struct Row {
        std::uint32_t Read;
        std::uint64_t Size;
        std::int64_t Limit;
    } const rows[] = {{SmallRead, 24 * 1048576, 16 * 1048576}, {16, 3 * 1048576, 6 * 1048576}};
    for (auto const& row : rows) {
        static std::uint32_t readSize;
        readSize = row.Read;
        SeamGuard const seam([](std::uint32_t) { return readSize; });
        auto const id = UniqueId(L"small-reads");
        CancelFlag cancel{false};
        std::int64_t const before = allocated.load();
        std::int64_t held = 0;
        std::vector<std::uint8_t> body;
        body.reserve(row.Size);
        std::int64_t const reserved = allocated.load() - before;
        std::uint64_t const total = DownloadToSink(
            HttpBase() + L"/body?id=" + id + L"&size=" + std::to_wstring(row.Size), nullptr, cancel,
            [&](std::uint8_t const* data, std::uint32_t n, std::uint64_t offset) {
                if (offset == 0)
                    held = HoldUntilTheServerStops(id) - before - reserved;
                ASSERT_EQ(offset, body.size());
                body.insert(body.end(), data, data + n);
            });
        EXPECT_EQ(total, row.Size);
        EXPECT_TRUE(body == ExpectedBody(row.Size)) << "the body arrived altered";
        EXPECT_EQ(RequestsFor(id).size(), 1u);
        std::printf("reads of %u bytes: %.1f MiB held ahead of a stopped reader; peak pagefile usage %.1f MiB\n",
                    row.Read, MiB(held), MiB(PeakPagefileUsage()));
        EXPECT_LT(held, row.Limit) << "reads of " << row.Read << " bytes: the read-ahead holds " << MiB(held) << " MiB";
    }
}

// The same download with reads as Wine completes them, for comparison.
TEST(ReadAhead, MemoryHeldAheadOfAStoppedReaderWithFullReads)
{
    constexpr std::uint64_t size = 24 * 1048576;
    auto const id = UniqueId(L"full-reads");
    CancelFlag cancel{false};
    std::int64_t const before = allocated.load();
    std::int64_t held = 0;
    std::uint64_t const total = DownloadToSink(
        HttpBase() + L"/body?id=" + id + L"&size=" + std::to_wstring(size), nullptr, cancel,
        [&](std::uint8_t const*, std::uint32_t, std::uint64_t offset) {
            if (offset == 0)
                held = HoldUntilTheServerStops(id) - before;
        });
    EXPECT_EQ(total, size);
    std::printf("full reads: %.1f MiB held ahead of a stopped reader\n", MiB(held));
    EXPECT_LT(held, 16 * 1048576);
}

// A failure thrown on a request's thread while it reads the body fails that
// attempt with an error; the next attempt resumes and the download completes.
std::atomic<int> readsBeforeFailure{0};

TEST(RequestThread, AFailureThrownWhileReadingFailsTheAttemptInsteadOfEndingTheProcess)
{
    readsBeforeFailure = 3;
    SeamGuard const seam([](std::uint32_t count) -> std::uint32_t {
        if (readsBeforeFailure.fetch_sub(1) == 1)
            throw std::bad_alloc();
        return count;
    });
    constexpr std::uint64_t size = 1048576;
    auto const id = UniqueId(L"thrown");
    CancelFlag cancel{false};
    std::vector<std::uint8_t> body(size);
    std::vector<std::int32_t> attempts;
    std::uint64_t const total = DownloadToSink(
        HttpBase() + L"/body?id=" + id + L"&accept_ranges=bytes&size=" + std::to_wstring(size),
        [&](DownloadProgress const& p) {
            if (attempts.empty() || attempts.back() != p.attempt)
                attempts.push_back(p.attempt);
        },
        cancel,
        [&](std::uint8_t const* data, std::uint32_t n, std::uint64_t offset) {
            std::copy(data, data + n, body.begin() + static_cast<std::ptrdiff_t>(offset));
        });
    EXPECT_EQ(total, size);
    EXPECT_TRUE(body == ExpectedBody(size)) << "the body arrived altered";
    auto const requests = RequestsFor(id);
    ASSERT_EQ(requests.size(), 2u) << "the failure should cost exactly one attempt";
    EXPECT_TRUE(requests[1].Range.starts_with("bytes=")) << requests[1].Range;
    EXPECT_EQ(attempts, (std::vector<std::int32_t>{0, 1}));
}

// The same failure at the stream: the read fails with an error that says so.
TEST(RequestThread, AFailureThrownOnTheThreadFailsThePendingRead)
{
    readsBeforeFailure = 1;
    SeamGuard const seam([](std::uint32_t) -> std::uint32_t {
        if (readsBeforeFailure.fetch_sub(1) == 1)
            throw std::bad_alloc();
        return 0;
    });
    namespace Http = winrt::Windows::Web::Http;
    namespace Streams = winrt::Windows::Storage::Streams;
    CancelFlag cancel{false};
    Http::Filters::HttpBaseProtocolFilter filter;
    filter.AllowUI(false);
    Http::HttpClient const client(filter);
    std::wstring const url = HttpBase() + L"/body?id=" + UniqueId(L"thrown-read") + L"&size=100000";
    Http::HttpRequestMessage const request(Http::HttpMethod::Get(), winrt::Windows::Foundation::Uri(url));
    auto const response =
        WaitForAsync(client.SendRequestAsync(request, Http::HttpCompletionOption::ResponseHeadersRead), cancel);
    auto const stream = WaitForAsync(response.Content().ReadAsInputStreamAsync(), cancel);
    Streams::Buffer const buffer(ChunkSize);
    try {
        WaitForAsync(stream.ReadAsync(buffer, ChunkSize, Streams::InputStreamOptions::None), cancel);
        ADD_FAILURE() << "the read succeeded";
    } catch (winrt::hresult_error const& e) {
        EXPECT_EQ(e.code(), winrt::FromWin32(ERROR_NOT_ENOUGH_MEMORY));
        std::printf("the read failed: %ls\n", e.message().c_str());
    }
}

} // namespace
} // namespace ovl::setup

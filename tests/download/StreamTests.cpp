// The body stream of the HTTP layer, read directly: the buffers a read
// completes with stay intact for as long as the reader holds them, while the
// stream reads ahead into other memory.

#include "download/HttpDownload.h"

#include "support/HttpTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace ovl::setup {
namespace {

namespace Http = winrt::Windows::Web::Http;
namespace Streams = winrt::Windows::Storage::Streams;

void ReadHoldingEveryBuffer()
{
    constexpr std::uint64_t size = 8 * 1048576;
    CancelFlag cancel{false};
    Http::Filters::HttpBaseProtocolFilter filter;
    filter.AllowUI(false);
    Http::HttpClient const client(filter);
    std::wstring const url = ovl::test::HttpBase() + L"/body?id=" + ovl::test::UniqueId(L"held") +
                             L"&size=" + std::to_wstring(size);
    Http::HttpRequestMessage const request(Http::HttpMethod::Get(), winrt::Windows::Foundation::Uri(url));
    auto const response =
        WaitForAsync(client.SendRequestAsync(request, Http::HttpCompletionOption::ResponseHeadersRead), cancel);
    auto const stream = WaitForAsync(response.Content().ReadAsInputStreamAsync(), cancel);

    // Every buffer is kept, with a copy of what it held when it came.
    std::vector<Streams::IBuffer> held;
    std::vector<std::vector<std::uint8_t>> copies;
    std::uint64_t received = 0;
    for (;;) {
        Streams::Buffer const buffer(ChunkSize);
        auto const read =
            WaitForAsync(stream.ReadAsync(buffer, ChunkSize, Streams::InputStreamOptions::None), cancel);
        if (read.Length() == 0)
            break;
        ASSERT_LE(read.Length(), ChunkSize);
        held.push_back(read);
        copies.emplace_back(read.data(), read.data() + read.Length());
        received += read.Length();
    }
    EXPECT_EQ(received, size);

    std::vector<std::uint8_t> body;
    for (size_t i = 0; i < held.size(); ++i) {
        ASSERT_EQ(held[i].Length(), copies[i].size());
        EXPECT_EQ(std::memcmp(held[i].data(), copies[i].data(), copies[i].size()), 0) << "buffer " << i << " changed";
        body.insert(body.end(), copies[i].begin(), copies[i].end());
    }
    EXPECT_TRUE(body == ovl::test::ExpectedBody(size));
}

TEST(BodyStream, HeldBuffersStayIntactWhileTheStreamReadsAhead)
{
    try {
        ReadHoldingEveryBuffer();
    } catch (winrt::hresult_error const& e) {
        FAIL() << ovl::test::Narrow(e.message());
    }
}

} // namespace
} // namespace ovl::setup

#include "download/HttpDownload.h"

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

using winrt::Windows::Web::Http::HttpContentRangeHeaderValue;
using winrt::Windows::Web::Http::HttpResponseHeaderCollection;
using winrt::Windows::Web::Http::HttpResponseMessage;

TEST(IsByteRangeToken, ListsAndCase)
{
    struct Row {
        wchar_t const* Value;
        bool Expected;
    } const rows[] = {
        {L"bytes", true},      {L"Bytes", true},         {L"BYTES", true},         {L"none, bytes", true},
        {L" bytes ", true},    {L"\tbytes\t,none", true}, {L",,bytes,,", true},     {L"none", false},
        {L"bytesx", false},    {L"byte", false},          {L"", false},             {L"by tes", false},
        {L"none,, ,", false},  {L"bytes;q=1", false},     {L"\"bytes\"", false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(IsByteRangeToken(row.Value), row.Expected) << row.Value;
}

HttpResponseMessage Response206(wchar_t const* contentRange)
{
    HttpResponseHeaderCollection headers;
    if (contentRange)
        headers.Append(L"content-range", contentRange);
    return HttpResponseMessage(206, L"Partial Content", std::move(headers), nullptr);
}

TEST(IsResumedAt, NeedsBytesAndTheExactFirstPosition)
{
    EXPECT_TRUE(IsResumedAt(Response206(L"bytes 100-199/200"), 100));
    EXPECT_TRUE(IsResumedAt(Response206(L"Bytes 100-150/*"), 100));
    EXPECT_FALSE(IsResumedAt(Response206(L"bytes 101-199/200"), 100));
    EXPECT_FALSE(IsResumedAt(Response206(L"items 100-199/200"), 100));
    EXPECT_FALSE(IsResumedAt(Response206(L"bytes */200"), 100));
    EXPECT_FALSE(IsResumedAt(Response206(nullptr), 100));
    EXPECT_FALSE(IsResumedAt(Response206(L"garbage"), 100));
}

TEST(ContentRange, Parses)
{
    auto const full = HttpContentRangeHeaderValue::Parse(L"bytes 0-99/1000");
    ASSERT_TRUE(full.has_value());
    EXPECT_EQ(full->Unit, L"bytes");
    EXPECT_EQ(full->FirstBytePosition, 0u);
    EXPECT_EQ(full->LastBytePosition, 99u);
    EXPECT_EQ(full->Length, 1000u);
    auto const star = HttpContentRangeHeaderValue::Parse(L"bytes */1000");
    ASSERT_TRUE(star.has_value());
    EXPECT_FALSE(star->FirstBytePosition.has_value());
    EXPECT_FALSE(HttpContentRangeHeaderValue::Parse(L"bytes x-1/2").has_value());
    EXPECT_FALSE(HttpContentRangeHeaderValue::Parse(L"").has_value());
}

TEST(ResponseHeaders, CaseInsensitiveAndJoined)
{
    HttpResponseHeaderCollection headers;
    headers.Append(L"Accept-Ranges", L"none");
    headers.Append(L"accept-ranges", L"bytes");
    headers.Append(L"Content-Length", L"12");
    HttpResponseMessage const response(200, L"OK", headers, nullptr);
    EXPECT_TRUE(response.Headers().HasKey(L"ACCEPT-RANGES"));
    EXPECT_EQ(response.Headers().Lookup(L"Accept-Ranges"), L"none, bytes");
    EXPECT_EQ(response.Content().Headers().ContentLength(), 12u);
    EXPECT_FALSE(response.Headers().HasKey(L"Range"));
    EXPECT_THROW(response.Headers().Lookup(L"Range"), winrt::hresult_error);
}

TEST(ResponseStatus, EnsureSuccessDescribesTheStatus)
{
    HttpResponseMessage const notFound(404, L"Not Found", {}, nullptr);
    EXPECT_FALSE(notFound.IsSuccessStatusCode());
    try {
        notFound.EnsureSuccessStatusCode();
        FAIL();
    } catch (winrt::hresult_error const& e) {
        EXPECT_EQ(static_cast<std::uint32_t>(e.code()), 0x80190194u);
        EXPECT_EQ(e.message(), L"Response status code does not indicate success: 404 (Not Found).");
    }
    EXPECT_TRUE(HttpResponseMessage(299, L"", {}, nullptr).IsSuccessStatusCode());
    EXPECT_FALSE(HttpResponseMessage(300, L"", {}, nullptr).IsSuccessStatusCode());
    EXPECT_FALSE(HttpResponseMessage(199, L"", {}, nullptr).IsSuccessStatusCode());
}

} // namespace
} // namespace ovl::setup

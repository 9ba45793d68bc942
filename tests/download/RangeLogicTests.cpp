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

TEST(ChooseRange, ResumesOnlyALaterAttemptThatCan)
{
    struct Row {
        std::int32_t Attempt;
        bool AcceptsRanges;
        std::uint64_t Received;
        wchar_t const* Range; // nullptr: none
        std::uint64_t ReceivedAfter;
    } const rows[] = {
        {0, true, 0, nullptr, 0},          // the first attempt never carries Range
        {1, true, 65536, L"bytes=65536-", 65536},
        {9, true, 18446744073709551615ull, L"bytes=18446744073709551615-", 18446744073709551615ull},
        {1, false, 65536, nullptr, 0},     // ranges refused: start over
        {1, true, 0, nullptr, 0},          // nothing to resume
        {2, false, 0, nullptr, 0},
    };
    for (auto const& row : rows) {
        TransferState state;
        state.attempt = row.Attempt;
        state.acceptsRanges = row.AcceptsRanges;
        state.received = row.Received;
        auto const range = ChooseRange(state);
        EXPECT_EQ(range.has_value(), row.Range != nullptr) << row.Attempt << " " << row.Received;
        if (range && row.Range) {
            EXPECT_EQ(*range, row.Range);
        }
        EXPECT_EQ(state.received, row.ReceivedAfter) << row.Attempt << " " << row.Received;
    }
}

TEST(AcceptResponse, TheTransferRulesOverStatusAndHeaders)
{
    struct Row {
        char const* Name;
        std::uint32_t Status;
        wchar_t const* ContentRange;  // nullptr: absent
        wchar_t const* AcceptRanges;  // nullptr: absent
        wchar_t const* ContentLength; // nullptr: absent
        bool RangeRequested;
        bool AcceptsRangesBefore;
        std::uint64_t ReceivedBefore;
        char const* Failure; // nullptr: no runtime error
        ResponseVerdict Verdict;
        bool AcceptsRangesAfter;
        std::uint64_t ReceivedAfter;
        std::uint64_t LengthAfter;
        bool LengthKnownAfter;
    } const rows[] = {
        {"first 200 with length", 200, nullptr, L"bytes", L"1000", false, false, 0, nullptr,
         ResponseVerdict::ReadBody, true, 0, 1000, true},
        {"200 without length", 200, nullptr, nullptr, nullptr, false, false, 0, nullptr,
         ResponseVerdict::ReadBody, false, 0, 0, false},
        {"empty body", 200, nullptr, nullptr, L"0", false, false, 0, nullptr,
         ResponseVerdict::EmptyBody, false, 0, 0, true},
        {"Accept-Ranges none turns ranges off", 200, nullptr, L"none", L"10", false, true, 0, nullptr,
         ResponseVerdict::ReadBody, false, 0, 10, true},
        {"absent Accept-Ranges keeps the value", 200, nullptr, nullptr, L"10", false, true, 0, nullptr,
         ResponseVerdict::ReadBody, true, 0, 10, true},
        {"resumed at the right offset", 206, L"bytes 500-999/1000", L"bytes", L"500", true, true, 500, nullptr,
         ResponseVerdict::ReadBody, true, 500, 0, false},
        {"200 to a range: the whole body again", 200, nullptr, nullptr, L"1000", true, true, 500, nullptr,
         ResponseVerdict::ReadBody, true, 0, 1000, true},
        {"206 not asked for", 206, L"bytes 0-99/1000", nullptr, nullptr, false, true, 0,
         "The server sent part of the file without being asked for a part", ResponseVerdict::ReadBody, true, 0, 0,
         false},
        {"206 at the wrong offset", 206, L"bytes 400-999/1000", nullptr, nullptr, true, true, 500,
         "The server resumed the download at the wrong offset", ResponseVerdict::ReadBody, false, 0, 0, false},
        {"error to a range: start over", 416, nullptr, nullptr, nullptr, true, true, 500, nullptr,
         ResponseVerdict::HttpError, false, 0, 0, false},
        {"error on a first attempt", 404, nullptr, L"bytes", nullptr, false, true, 0, nullptr,
         ResponseVerdict::HttpError, true, 0, 0, false},
    };
    for (auto const& row : rows) {
        HttpResponseHeaderCollection headers;
        if (row.ContentRange)
            headers.Append(L"Content-Range", row.ContentRange);
        if (row.AcceptRanges)
            headers.Append(L"Accept-Ranges", row.AcceptRanges);
        if (row.ContentLength)
            headers.Append(L"Content-Length", row.ContentLength);
        HttpResponseMessage const response(row.Status, L"", std::move(headers), nullptr);
        TransferState state;
        state.attempt = row.RangeRequested ? 1 : 0;
        state.acceptsRanges = row.AcceptsRangesBefore;
        state.received = row.ReceivedBefore;
        std::string failure;
        ResponseVerdict verdict = ResponseVerdict::ReadBody;
        try {
            verdict = AcceptResponse(response, row.RangeRequested, state);
        } catch (std::runtime_error const& e) {
            failure = e.what();
        }
        EXPECT_EQ(failure, row.Failure ? row.Failure : "") << row.Name;
        EXPECT_EQ(verdict, row.Verdict) << row.Name;
        EXPECT_EQ(state.acceptsRanges, row.AcceptsRangesAfter) << row.Name;
        EXPECT_EQ(state.received, row.ReceivedAfter) << row.Name;
        EXPECT_EQ(state.length, row.LengthAfter) << row.Name;
        EXPECT_EQ(state.lengthKnown, row.LengthKnownAfter) << row.Name;
    }
}

} // namespace
} // namespace ovl::setup

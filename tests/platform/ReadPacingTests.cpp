#include "platform/ReadPacing.h"

#include <gtest/gtest.h>

namespace ovl::setup {
namespace {

using namespace std::chrono_literals;

TEST(NextReadSize, GrowsWhenQuickShrinksWhenSlowWithinTheBounds)
{
    struct Row {
        std::uint32_t Size;
        std::chrono::microseconds Took;
        std::uint32_t Expected;
    } const rows[] = {
        {MinReadSize, 0ms, 2 * MinReadSize},
        {MinReadSize, QuickRead, 2 * MinReadSize},
        {MinReadSize, QuickRead + 1ms, MinReadSize}, // neither quick nor slow: kept
        {4 * MinReadSize, SlowRead, 4 * MinReadSize},
        {4 * MinReadSize, SlowRead + 1ms, 2 * MinReadSize},
        {MinReadSize, 10s, MinReadSize},             // never below the minimum
        {MaxReadSize, 0ms, MaxReadSize},             // nor above the maximum
        {MaxReadSize / 2 + 1, 0ms, MaxReadSize},
        {MinReadSize + 1, 10s, MinReadSize},
    };
    for (auto const& row : rows)
        EXPECT_EQ(NextReadSize(row.Size, row.Took), row.Expected)
            << row.Size << " after " << std::chrono::duration_cast<std::chrono::milliseconds>(row.Took).count() << " ms";
}

TEST(NextReadSize, AFastLinkReachesTheMaximumAndASlowDownReturnsToTheMinimum)
{
    std::uint32_t size = MinReadSize;
    int reads = 0;
    while (size < MaxReadSize && reads < 100) {
        size = NextReadSize(size, 1ms);
        ++reads;
    }
    EXPECT_EQ(size, MaxReadSize);
    EXPECT_LE(reads, 5);
    while (size > MinReadSize && reads < 200) {
        size = NextReadSize(size, 1s);
        ++reads;
    }
    EXPECT_EQ(size, MinReadSize);
}

} // namespace
} // namespace ovl::setup

#pragma once
// How much one network read of a response body asks for.
//
// Every read costs a hand-off between threads, and under Wine a read does
// not complete before its whole count has come. So reads grow while the
// network keeps up (few hand-offs on a fast link) and shrink back when it
// does not (a slow link still delivers, and shows progress, every 64 KiB).
// The reader above still takes the body in pieces of the size it asks for.

#include <chrono>
#include <cstdint>

namespace ovl::setup {

inline constexpr std::uint32_t MinReadSize = 65536;
inline constexpr std::uint32_t MaxReadSize = 1048576;
// A read that came within QuickRead doubles the next one; one that took
// longer than SlowRead halves it.
inline constexpr std::chrono::milliseconds QuickRead{20};
inline constexpr std::chrono::milliseconds SlowRead{200};

constexpr std::uint32_t NextReadSize(std::uint32_t size, std::chrono::microseconds took)
{
    if (took <= QuickRead && size < MaxReadSize)
        return size * 2 < MaxReadSize ? size * 2 : MaxReadSize;
    if (took > SlowRead && size > MinReadSize)
        return size / 2 > MinReadSize ? size / 2 : MinReadSize;
    return size;
}

} // namespace ovl::setup

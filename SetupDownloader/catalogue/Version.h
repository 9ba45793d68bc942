#pragma once
// Dotted version numbers and release channels.

#include <compare>
#include <cstdint>
#include <optional>
#include <string_view>

namespace ovl::setup {

// A release version of two to four parts; missing parts are 0. Ordered
// lexicographically over (Major, Minor, Build, Revision).
struct Version {
    std::uint16_t Major = 0;
    std::uint16_t Minor = 0;
    std::uint16_t Build = 0;
    std::uint16_t Revision = 0;

    // Strict: the first four fields must be valid, at least two are needed.
    // Fails with "Invalid version field" or "Version must have at least 2 parts".
    static Version Parse(std::wstring_view text);

    friend auto operator<=>(Version const&, Version const&) = default;
};

// A version of exactly three parts.
struct Version3 {
    std::uint16_t Major = 0;
    std::uint16_t Minor = 0;
    std::uint16_t Patch = 0;

    // Strict: exactly three valid fields. Fails with "Invalid version string"
    // or "Version3 must have exactly 3 parts".
    static Version3 Parse(std::wstring_view text);

    // Never fails: valid fields fill the slots in order, invalid ones are skipped.
    static Version3 ParseLenient(std::wstring_view text);

    friend bool operator==(Version3 const&, Version3 const&) = default;
};

// The release channel; a larger value is a more stable channel.
enum class AppMilestone : std::int32_t {
    All = INT32_MIN,
    Nightly = -500,
    Alpha = 0,
    Beta = 500,
    Stable = 1000,
};

// The channel named "All", "Nightly", "Alpha", "Beta" or "Stable", compared
// without regard to ASCII letter case; none for any other text.
std::optional<AppMilestone> MilestoneFromName(std::wstring_view name) noexcept;

// "All", "Nightly", "Alpha", "Beta" or "Stable"; "unknown" for other values.
wchar_t const* GetMilestoneName(AppMilestone milestone) noexcept;

} // namespace ovl::setup

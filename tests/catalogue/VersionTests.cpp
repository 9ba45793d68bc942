#include "catalogue/Version.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

// Runs a parser and gives either its result or the message it failed with.
template <typename Parse>
auto Outcome(Parse parse) -> std::pair<std::optional<decltype(parse())>, std::string>
{
    try {
        return {parse(), {}};
    } catch (std::runtime_error const& e) {
        return {std::nullopt, e.what()};
    }
}

struct VersionCase {
    std::wstring Text;
    Version Expected;
    char const* Error; // nullptr: must parse
};

class VersionParseTest : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionParseTest, ParsesOrFailsWithItsMessage)
{
    auto const& c = GetParam();
    auto const [value, error] = Outcome([&] { return Version::Parse(c.Text); });
    if (c.Error) {
        EXPECT_FALSE(value.has_value());
        EXPECT_EQ(error, c.Error);
    } else {
        ASSERT_TRUE(value.has_value()) << error;
        EXPECT_EQ(*value, c.Expected);
    }
}

constexpr char const* Field = "Invalid version field";
constexpr char const* TwoParts = "Version must have at least 2 parts";

INSTANTIATE_TEST_SUITE_P(Table, VersionParseTest, ::testing::Values(
    VersionCase{L"5.1", {5, 1, 0, 0}, nullptr},
    VersionCase{L"1.2.3.4", {1, 2, 3, 4}, nullptr},
    VersionCase{L"1.2.3.4.5", {1, 2, 3, 4}, nullptr},
    VersionCase{L"1.2.3.4.x", {1, 2, 3, 4}, nullptr}, // fields after the fourth are not validated
    VersionCase{L"1", {}, TwoParts},
    VersionCase{L"", {}, TwoParts},
    VersionCase{L"...", {}, TwoParts},
    VersionCase{L"1..2", {1, 2, 0, 0}, nullptr},
    VersionCase{L".1.2.", {1, 2, 0, 0}, nullptr},
    VersionCase{L"1.65535", {1, 65535, 0, 0}, nullptr},
    VersionCase{L"1.65536", {}, Field},
    VersionCase{L"1.4294967295", {}, Field},
    VersionCase{L"1.99999999999999999999", {}, Field}, // saturates, still above the limit
    VersionCase{L"1.-0", {1, 0, 0, 0}, nullptr},
    VersionCase{L"1.-1", {}, Field},
    VersionCase{L"1.-4294967295", {}, Field}, // would wrap to 1 modulo 2^32
    VersionCase{L"1.-99999999999", {}, Field},
    VersionCase{L"1.+7", {1, 7, 0, 0}, nullptr},
    VersionCase{L"1.+-7", {}, Field},
    VersionCase{L" 2. 3", {2, 3, 0, 0}, nullptr},
    VersionCase{L"\t2.\n3", {2, 3, 0, 0}, nullptr},
    VersionCase{L"2 .3", {2, 3, 0, 0}, nullptr}, // trailing text after the digits is ignored
    VersionCase{L"2.3beta", {2, 3, 0, 0}, nullptr},
    VersionCase{L"7a.1", {7, 1, 0, 0}, nullptr},
    VersionCase{L"a.1", {}, Field},
    VersionCase{L"1. ", {}, Field},
    VersionCase{L"1.x", {}, Field},
    VersionCase{L"x", {}, Field}, // validity comes before the count
    VersionCase{L"0.0", {0, 0, 0, 0}, nullptr},
    VersionCase{L"007.010", {7, 10, 0, 0}, nullptr},
    VersionCase{std::wstring(L"1.2\0" L"9.9", 7), {1, 2, 0, 0}, nullptr},
    VersionCase{L"\uFF11.2", {}, Field})); // full-width digit is no digit

struct Version3Case {
    std::wstring Text;
    Version3 Expected;
    char const* Error;
};

class Version3ParseTest : public ::testing::TestWithParam<Version3Case> {};

TEST_P(Version3ParseTest, ParsesStrictly)
{
    auto const& c = GetParam();
    auto const [value, error] = Outcome([&] { return Version3::Parse(c.Text); });
    if (c.Error) {
        EXPECT_FALSE(value.has_value());
        EXPECT_EQ(error, c.Error);
    } else {
        ASSERT_TRUE(value.has_value()) << error;
        EXPECT_EQ(*value, c.Expected);
    }
}

constexpr char const* String3 = "Invalid version string";
constexpr char const* Exactly3 = "Version3 must have exactly 3 parts";

INSTANTIATE_TEST_SUITE_P(Table, Version3ParseTest, ::testing::Values(
    Version3Case{L"9.0.1", {9, 0, 1}, nullptr},
    Version3Case{L"9..0..1", {9, 0, 1}, nullptr},
    Version3Case{L".9.0.1.", {9, 0, 1}, nullptr},
    Version3Case{L"9.0", {}, Exactly3},
    Version3Case{L"9.0.1.2", {}, Exactly3},
    Version3Case{L"1.2.3.x", {}, Exactly3}, // the fourth field is not validated
    Version3Case{L"9.x.1", {}, String3},
    Version3Case{L"1.x.3", {}, String3},
    Version3Case{L"", {}, Exactly3},
    Version3Case{L"1.2.65536", {}, String3},
    Version3Case{L"1.2.-1", {}, String3},
    Version3Case{L" 1. 2. 3", {1, 2, 3}, nullptr},
    Version3Case{L"1.2.3rc", {1, 2, 3}, nullptr}));

struct LenientCase {
    std::wstring Text;
    Version3 Expected;
};

class Version3LenientTest : public ::testing::TestWithParam<LenientCase> {};

TEST_P(Version3LenientTest, NeverFails)
{
    auto const& c = GetParam();
    EXPECT_EQ(Version3::ParseLenient(c.Text), c.Expected);
}

INSTANTIATE_TEST_SUITE_P(Table, Version3LenientTest, ::testing::Values(
    LenientCase{L"1.x.2", {1, 2, 0}},
    LenientCase{L"10.0.5.7", {10, 0, 5}},
    LenientCase{L"8.0.x.7", {8, 0, 7}},
    LenientCase{L"70000.1", {1, 0, 0}},
    LenientCase{L"abc", {0, 0, 0}},
    LenientCase{L"", {0, 0, 0}},
    LenientCase{L"n/a", {0, 0, 0}},
    LenientCase{L"-1.2.3", {2, 3, 0}},
    LenientCase{L"1.2.3", {1, 2, 3}}));

TEST(VersionOrder, IsLexicographicOverTheFourFields)
{
    EXPECT_GT(Version::Parse(L"5.2.0.0"), Version::Parse(L"5.1.65535.65535"));
    EXPECT_EQ(Version::Parse(L"5.1"), Version::Parse(L"5.1.0.0"));
    EXPECT_LT(Version::Parse(L"5.1.0.1"), Version::Parse(L"5.1.1.0"));
    EXPECT_LT(Version::Parse(L"9.9"), Version::Parse(L"10.0"));
    EXPECT_GT(Version::Parse(L"1.0.0.65535"), Version::Parse(L"1.0.0.32768")); // unsigned, not signed 16-bit
    EXPECT_LE(Version::Parse(L"2.0"), Version::Parse(L"2.0.0.0"));
    EXPECT_GE(Version::Parse(L"2.0"), Version::Parse(L"2.0.0.0"));
}

TEST(AppMilestone, ValuesOrderTheChannels)
{
    EXPECT_EQ(static_cast<std::int32_t>(AppMilestone::All), INT32_MIN);
    EXPECT_EQ(static_cast<std::int32_t>(AppMilestone::Nightly), -500);
    EXPECT_EQ(static_cast<std::int32_t>(AppMilestone::Alpha), 0);
    EXPECT_EQ(static_cast<std::int32_t>(AppMilestone::Beta), 500);
    EXPECT_EQ(static_cast<std::int32_t>(AppMilestone::Stable), 1000);
}

} // namespace
} // namespace ovl::setup

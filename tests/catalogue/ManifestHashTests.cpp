// The optional "sha256" of a file in the manifest, and the SHA-256 text
// forms it and the publisher's pin use.
#include "catalogue/Manifest.h"

#include "platform/Error.h"
#include "platform/Sha256.h"

#include <gtest/gtest.h>

#include <optional>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

// SHA-256 of the three bytes "abc" (FIPS 180-2, appendix B.1).
constexpr wchar_t AbcHex[] = L"BA7816BF8F01CFEA414140DE5DAE2223B00361A396177A9CB410FF61F20015AD";

std::wstring ManifestWithFileKeys(std::wstring const& keys)
{
    return LR"({"product-name": "p", "website-url": "w", "download-page-url": "d", "releases": [
        {"display-name": "n", "version": "1.0", "milestone": "stable", "more-info-url": "", "runtime-version": "8.0.1",
         "files": [{"architecture": "x64", "mirror-urls": ["https://m.example/a.zip"])" +
           keys + L"}]}]}";
}

TEST(Sha256, KnownDigestsAndTheirText)
{
    EXPECT_EQ(FormatSha256(ComputeSha256("abc", 3)), AbcHex);
    EXPECT_EQ(FormatSha256(ComputeSha256("", 0)),
              L"E3B0C44298FC1C149AFBF4C8996FB92427AE41E4649B934CA495991B7852B855");
    Sha256Hasher pieces;
    pieces.Add("a", 1);
    pieces.Add("bc", 2);
    EXPECT_EQ(pieces.Finish(), ComputeSha256("abc", 3));
}

TEST(Sha256, TextForms)
{
    std::wstring const lower = L"ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";
    std::wstring colons;
    for (size_t i = 0; i < lower.size(); i += 2)
        colons += (i ? L":" : L"") + lower.substr(i, 2);
    struct Row {
        std::wstring Text;
        bool Valid;
    } const rows[] = {
        {AbcHex, true},
        {lower, true},
        {colons, true},
        {lower.substr(2), false},              // 62 digits
        {lower + L"00", false},                // 66 digits
        {L"g" + lower.substr(1), false},       // not hexadecimal
        {L":" + lower, false},                 // a separator before the first pair
        {lower + L":", false},                 // and after the last
        {lower.substr(0, 1) + L":" + lower.substr(1), false}, // inside a pair
        {L"", false},
    };
    for (auto const& row : rows) {
        auto const digest = ParseSha256(row.Text);
        EXPECT_EQ(digest.has_value(), row.Valid) << ovl::setup::FormatSha256(digest.value_or(Sha256Digest{}));
        if (row.Valid && digest) {
            EXPECT_EQ(FormatSha256(*digest), AbcHex);
        }
    }
}

TEST(ManifestSha256, OptionalPerFile)
{
    EXPECT_FALSE(ParseManifest(ManifestWithFileKeys(L"")).Releases[0].Files[0].Sha256.has_value());
    auto const withHash = ParseManifest(ManifestWithFileKeys(std::wstring(L", \"sha256\": \"") + AbcHex + L"\""));
    ASSERT_TRUE(withHash.Releases[0].Files[0].Sha256.has_value());
    EXPECT_EQ(*withHash.Releases[0].Files[0].Sha256, ComputeSha256("abc", 3));
    // Letter case of the key matters, as for every key: another key is ignored.
    EXPECT_FALSE(ParseManifest(ManifestWithFileKeys(L", \"SHA256\": \"x\"")).Releases[0].Files[0].Sha256.has_value());
}

TEST(ManifestSha256, ABadValueFailsTheManifest)
{
    try {
        ParseManifest(ManifestWithFileKeys(L", \"sha256\": \"abc\""));
        FAIL() << "a short hash was accepted";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Invalid SHA-256 in manifest");
    }
    try {
        ParseManifest(ManifestWithFileKeys(L", \"sha256\": 12"));
        FAIL() << "a number was accepted";
    } catch (winrt::hresult_error const& e) {
        EXPECT_EQ(e.code(), winrt::IllegalMethodCall);
    }
}

} // namespace
} // namespace ovl::setup

// The downloaded package against the manifest's SHA-256, through the
// package's own pinned handle.
#include "install/PackageHash.h"

#include "install/PinnedFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace ovl::setup {
namespace {

TEST(PackageHash, OnlyAGivenHashThatDiffersFails)
{
    ovl::test::TempDir dir;
    PinnedFile package(dir.File(L"orvelle.install.zip"), PinnedFileAccess::ReadWrite);
    std::string content(200000, 'z'); // more than one read
    content[0] = 'A';
    package.Write(content.data(), content.size());

    Sha256Digest const right = ComputeSha256(content.data(), content.size());
    EXPECT_EQ(ComputeFileSha256(package), right);
    Sha256Digest wrong = right;
    wrong[17] ^= 0x40;

    struct Row {
        std::optional<Sha256Digest> Expected;
        std::string Failure;
    } const rows[] = {
        {std::nullopt, "(no failure)"},
        {right, "(no failure)"},
        {wrong, "Download failed: the package's SHA-256 does not match the manifest"},
    };
    for (auto const& row : rows) {
        package.Seek(12345); // wherever the download left it
        EXPECT_EQ(ovl::test::FailureOf([&] { CheckPackageSha256(package, row.Expected); }), row.Failure);
        char first = 0;
        if (row.Expected) {
            EXPECT_EQ(package.Read(&first, 1), 1u);
            EXPECT_EQ(first, 'A') << "the package is left at its start for the extraction";
        }
    }
}

} // namespace
} // namespace ovl::setup

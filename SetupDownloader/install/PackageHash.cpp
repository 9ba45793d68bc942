#include "install/PackageHash.h"

#include "install/PinnedFile.h"

#include <stdexcept>
#include <vector>

namespace ovl::setup {

Sha256Digest ComputeFileSha256(PinnedFile& file)
{
    Sha256Hasher hasher;
    std::vector<std::uint8_t> buffer(1 << 16);
    file.Rewind();
    while (std::uint64_t const read = file.Read(buffer.data(), buffer.size()))
        hasher.Add(buffer.data(), static_cast<std::size_t>(read));
    file.Rewind();
    return hasher.Finish();
}

void CheckSha256Matches(Sha256Digest const& actual, std::optional<Sha256Digest> const& expected)
{
    if (expected && actual != *expected)
        throw std::runtime_error("Download failed: the package's SHA-256 does not match the manifest");
}

void CheckPackageSha256(PinnedFile& package, std::optional<Sha256Digest> const& expected)
{
    if (expected)
        CheckSha256Matches(ComputeFileSha256(package), expected);
}

} // namespace ovl::setup

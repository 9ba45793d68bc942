// The choice of release, file and mirror from a parsed manifest.
#include "catalogue/Manifest.h"

#include <windows.h>

#include <bcrypt.h>

#include <random>
#include <stdexcept>

namespace ovl::setup {

Release const& ReleaseManifest::FindRelease(AppMilestone milestone) const
{
    Release const* best = nullptr;
    for (auto const& release : Releases) {
        if (static_cast<std::int32_t>(release.Milestone) < static_cast<std::int32_t>(milestone))
            continue;
        // ">=" so that of equal versions the later one in the manifest wins.
        if (!best || release.Version >= best->Version)
            best = &release;
    }
    if (!best)
        throw std::runtime_error("Could not find a release matching the requested milestone");
    return *best;
}

ReleaseFile const& Release::FindFile(ReleaseArchitecture architecture) const
{
    for (auto const& file : Files) {
        if (file.Architecture == architecture)
            return file;
    }
    for (auto const& file : Files) {
        if (file.Architecture == ReleaseArchitecture::AnyCpu)
            return file;
    }
    throw std::runtime_error("Could not find a file to download for the requested architecture");
}

std::wstring ReleaseFile::ChooseMirror() const
{
    if (MirrorUrls.empty())
        throw std::runtime_error("No download mirrors available");

    std::uint32_t seed = 0;
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, reinterpret_cast<PUCHAR>(&seed), sizeof(seed),
                                        BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
        throw std::runtime_error("The system's random number generator failed");
    std::mt19937 generator(seed);
    std::uniform_int_distribution<size_t> pick(0, MirrorUrls.size() - 1);
    return MirrorUrls[pick(generator)];
}

} // namespace ovl::setup

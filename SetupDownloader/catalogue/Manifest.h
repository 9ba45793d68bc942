#pragma once
// The release manifest: where it lives and what it holds.

#include "catalogue/SystemInfo.h"
#include "catalogue/Version.h"
#include "platform/Sha256.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ovl::setup {

// Every manifest path begins /updates/v9/.
inline constexpr int ManifestFormatVersion = 9;

struct ReleaseFile {
    ReleaseArchitecture Architecture = ReleaseArchitecture::AnyCpu;
    std::vector<std::wstring> MirrorUrls;
    // The package's SHA-256, when the manifest gives one ("sha256": 64
    // hexadecimal digits): the download must match it before it is unpacked.
    std::optional<Sha256Digest> Sha256 = std::nullopt;

    // A copy of one of MirrorUrls, drawn uniformly by a generator seeded from
    // the system's secure random source; fails with "No download mirrors available".
    std::wstring ChooseMirror() const;
};

struct Release {
    std::wstring DisplayName;
    ovl::setup::Version Version;
    AppMilestone Milestone = AppMilestone::Stable;
    std::wstring MoreInfoUrl;
    Version3 RuntimeVersion;
    std::vector<ReleaseFile> Files;

    // The first file for the architecture, else the first AnyCpu file; fails
    // with "Could not find a file to download for the requested architecture".
    ReleaseFile const& FindFile(ReleaseArchitecture architecture) const;
};

struct ReleaseManifest {
    std::wstring ProductName;
    std::wstring WebsiteUrl;
    std::wstring DownloadPageUrl;
    std::vector<Release> Releases;

    // The highest version among the releases of the milestone or a more stable
    // one (of equal versions, the later one); fails with "Could not find a
    // release matching the requested milestone".
    Release const& FindRelease(AppMilestone milestone) const;
};

// Parses the manifest in document order, stopping at the first failure: the
// JSON layer's winrt::hresult_error, a version error, "Unknown milestone in
// manifest", "Unknown architecture in manifest" or "Invalid SHA-256 in manifest".
ReleaseManifest ParseManifest(std::wstring_view text);

// "all", "nightly", "alpha", "beta", "stable", without regard to ASCII case.
AppMilestone ParseMilestone(std::wstring_view text);

// "anycpu", "x64", "x86", "arm64", without regard to ASCII case.
ReleaseArchitecture ParseReleaseArchitecture(std::wstring_view text);

// The manifest's text of an architecture ("anycpu", "x64", "x86", "arm64").
wchar_t const* GetReleaseArchitectureName(ReleaseArchitecture architecture) noexcept;

// The compiled-in origin of the product website: scheme and host, no
// trailing slash. Each executable links the origin it is built for.
wchar_t const* GetWebsiteOrigin() noexcept;

// origin/updates/v9/manifest.os<major*100+minor>.<architecture>.json
std::wstring FormatManifestUrl(std::uint32_t majorVersion, std::uint32_t minorVersion,
                               std::wstring_view architectureName);

// origin/updates/v9/manifest.test.json, whatever the system.
std::wstring FormatTestManifestUrl();

} // namespace ovl::setup

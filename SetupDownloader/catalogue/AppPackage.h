#pragma once
// The package request and the choice of what to download for it.

#include "catalogue/Manifest.h"
#include "catalogue/Version.h"
#include "controller/Outcome.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace ovl::setup {

// The most the manifest may weigh.
inline constexpr std::uint64_t ManifestSizeLimit = 1048576;

struct DownloadInfo {
    std::wstring Url;         // the chosen mirror of the chosen file
    std::wstring DisplayName; // the chosen release's "display-name"
    std::optional<Sha256Digest> Sha256 = std::nullopt; // the chosen file's "sha256", when given
};

// The manifest as the downloader reads it from the bytes it fetched: decoded
// from UTF-8 (malformed sequences become U+FFFD; an empty body fails with
// "Failed to decode manifest JSON") and parsed.
ReleaseManifest DecodeManifest(std::vector<std::uint8_t> const& body);

// Runs a callable exactly once before returning (on the UI thread, in the workflow).
using RunOnUi = std::function<void(std::function<void()>)>;

struct AppPackage {
    AppMilestone Milestone = AppMilestone::Stable;
    Version3 RuntimeVersion; // carried with the request, read by nothing
    bool Test = false;       // fetch the test manifest
    std::vector<std::wstring> InstallerArguments;

    // Fetches and parses the manifest for this system (or the test manifest)
    // and picks the release, the file and a mirror. progress receives the
    // manifest download's percentages (-1 while unknown); it may be empty.
    DownloadInfo GetDownloadInfo(std::function<void(double)> const& progress, CancelFlag const& cancel) const;

    // Runs the installer with InstallerArguments and maps its exit code:
    // 0 gives 0x60000000, 3010 gives 0x60000001, others pass unchanged.
    std::uint32_t RunInstaller(std::wstring const& installerPath, HWND owner, RunOnUi const& runOnUi) const;
};

} // namespace ovl::setup

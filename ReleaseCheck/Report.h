#pragma once
// What a release check found, and how it is told: text for people, or one
// JSON document for build pipelines. Every message in it is the downloader's
// own, as its window would show it after "Installation failed. There was an
// unhandled exception:".

#include "catalogue/Manifest.h"
#include "ReleaseCheck/CheckOptions.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace ovl::setup {

// What the downloader chooses for a milestone and an architecture.
struct Choice {
    AppMilestone Milestone = AppMilestone::Stable;
    ReleaseArchitecture Architecture = ReleaseArchitecture::X64;
    Release const* ChosenRelease = nullptr; // none when the downloader would fail
    ReleaseFile const* ChosenFile = nullptr;
    std::wstring Error;                     // its message, when it would fail
};

// One mirror of a chosen file, downloaded and checked as the downloader would.
struct MirrorCheck {
    std::wstring Release;
    ReleaseArchitecture Architecture = ReleaseArchitecture::X64;
    std::wstring Url;
    std::optional<std::uint32_t> Status; // of the last response
    bool AcceptsRanges = false;
    std::uint64_t Bytes = 0;
    double Seconds = 0;
    std::wstring Entry;          // the ZIP entry taken as the installer
    std::uint64_t InstallerBytes = 0;
    std::optional<long> Signature; // WinVerifyTrust's verdict, 0 for valid
    std::wstring PackageSha256;  // of the downloaded package, for the manifest's "sha256"
    std::wstring Signer;         // the installer's signer, when the signature is valid
    std::wstring SignerSha256;   // its certificate's SHA-256 thumbprint
    bool SignerPinned = false;   // it is one of the build's pinned publisher certificates
    std::wstring Error;          // the downloader's message; empty when installable
};

// A mirror of a chosen file whose URL the downloader refuses before any request.
struct RefusedMirror {
    std::wstring Release;
    ReleaseArchitecture Architecture = ReleaseArchitecture::X64;
    std::wstring Url;
    std::wstring Error; // the downloader's message
};

struct CheckReport {
    std::wstring Source;
    std::uint64_t ManifestBytes = 0;
    std::wstring ManifestError; // the manifest could not be fetched or read
    std::optional<ReleaseManifest> Manifest;
    std::vector<Choice> Choices;
    std::vector<std::wstring> PublisherPins; // the thumbprints this build pins; empty: any trusted signer
    std::vector<RefusedMirror> RefusedMirrors; // found without the network
    bool MirrorsChecked = false;
    std::vector<MirrorCheck> Mirrors;
};

// The downloader's choice for every combination the options ask for.
std::vector<Choice> ChooseAll(ReleaseManifest const& manifest, CheckOptions const& options);

// One line per problem, naming what it concerns.
std::vector<std::wstring> Problems(CheckReport const& report);

std::wstring RenderText(CheckReport const& report);
std::string RenderJson(CheckReport const& report); // UTF-8

} // namespace ovl::setup

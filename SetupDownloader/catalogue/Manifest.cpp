#include "catalogue/Manifest.h"

#include "platform/Json.h"
#include "platform/Text.h"

#include <stdexcept>

namespace ovl::setup {

using winrt::Windows::Data::Json::JsonArray;
using winrt::Windows::Data::Json::JsonObject;

namespace {

struct ArchitectureText {
    wchar_t const* Text;
    ReleaseArchitecture Value;
};

constexpr ArchitectureText ArchitectureTexts[] = {
    {L"anycpu", ReleaseArchitecture::AnyCpu},
    {L"x64", ReleaseArchitecture::X64},
    {L"x86", ReleaseArchitecture::X86},
    {L"arm64", ReleaseArchitecture::Arm64},
};

// The optional "sha256" of a file: absent, or a string of 64 hexadecimal digits.
std::optional<Sha256Digest> ParseFileSha256(JsonObject const& json)
{
    std::wstring text;
    try {
        text = json.GetNamedString(L"sha256");
    } catch (winrt::hresult_error const& e) {
        if (e.code() == winrt::WebJsonValueNotFound)
            return std::nullopt;
        throw;
    }
    auto const digest = ParseSha256(text);
    if (!digest)
        throw std::runtime_error("Invalid SHA-256 in manifest");
    return digest;
}

ReleaseFile ParseFile(JsonObject const& json)
{
    ReleaseFile file;
    file.Architecture = ParseReleaseArchitecture(json.GetNamedString(L"architecture"));
    JsonArray const urls = json.GetNamedArray(L"mirror-urls");
    for (std::uint32_t i = 0; i < urls.Size(); ++i)
        file.MirrorUrls.push_back(urls.GetStringAt(i));
    file.Sha256 = ParseFileSha256(json);
    return file;
}

Release ParseRelease(JsonObject const& json)
{
    Release release;
    release.DisplayName = json.GetNamedString(L"display-name");
    release.Version = Version::Parse(json.GetNamedString(L"version"));
    release.Milestone = ParseMilestone(json.GetNamedString(L"milestone"));
    release.MoreInfoUrl = json.GetNamedString(L"more-info-url");
    release.RuntimeVersion = Version3::ParseLenient(json.GetNamedString(L"runtime-version"));
    JsonArray const files = json.GetNamedArray(L"files");
    for (std::uint32_t i = 0; i < files.Size(); ++i)
        release.Files.push_back(ParseFile(files.GetObjectAt(i)));
    return release;
}

} // namespace

AppMilestone ParseMilestone(std::wstring_view text)
{
    if (auto const milestone = MilestoneFromName(text))
        return *milestone;
    throw std::runtime_error("Unknown milestone in manifest");
}

ReleaseArchitecture ParseReleaseArchitecture(std::wstring_view text)
{
    for (auto const& candidate : ArchitectureTexts) {
        if (EqualsIgnoreAsciiCase(text, candidate.Text))
            return candidate.Value;
    }
    throw std::runtime_error("Unknown architecture in manifest");
}

wchar_t const* GetReleaseArchitectureName(ReleaseArchitecture architecture) noexcept
{
    for (auto const& candidate : ArchitectureTexts) {
        if (candidate.Value == architecture)
            return candidate.Text;
    }
    return L"unknown";
}

ReleaseManifest ParseManifest(std::wstring_view text)
{
    JsonObject const json = JsonObject::Parse(text);
    ReleaseManifest manifest;
    manifest.ProductName = json.GetNamedString(L"product-name");
    manifest.WebsiteUrl = json.GetNamedString(L"website-url");
    manifest.DownloadPageUrl = json.GetNamedString(L"download-page-url");
    JsonArray const releases = json.GetNamedArray(L"releases");
    for (std::uint32_t i = 0; i < releases.Size(); ++i)
        manifest.Releases.push_back(ParseRelease(releases.GetObjectAt(i)));
    return manifest;
}

std::wstring FormatManifestUrl(std::uint32_t majorVersion, std::uint32_t minorVersion,
                               std::wstring_view architectureName)
{
    int const osCode = static_cast<int>(majorVersion * 100 + minorVersion);
    return FormatW(L"%ls/updates/v%d/manifest.os%d.%.*ls.json", GetWebsiteOrigin(), ManifestFormatVersion, osCode,
                   static_cast<int>(architectureName.size()), architectureName.data());
}

std::wstring FormatTestManifestUrl()
{
    return FormatW(L"%ls/updates/v%d/manifest.test.json", GetWebsiteOrigin(), ManifestFormatVersion);
}

} // namespace ovl::setup

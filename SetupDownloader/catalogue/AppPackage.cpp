#include "catalogue/AppPackage.h"

#include "catalogue/SystemInfo.h"
#include "download/HttpDownload.h"
#include "platform/Text.h"

#include <stdexcept>

extern "C" NTSYSAPI LONG NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW versionInformation);

namespace ovl::setup {

ReleaseManifest DecodeManifest(std::vector<std::uint8_t> const& body)
{
    // Malformed UTF-8 becomes U+FFFD; a byte order mark stays as U+FEFF.
    auto const text = TryUtf8ToUtf16(std::string_view(reinterpret_cast<char const*>(body.data()), body.size()));
    if (!text)
        throw std::runtime_error("Failed to decode manifest JSON");
    return ParseManifest(*text);
}

DownloadInfo AppPackage::GetDownloadInfo(std::function<void(double)> const& progress, CancelFlag const& cancel) const
{
    // The real version, whatever the manifest of the executable declares.
    RTL_OSVERSIONINFOW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    RtlGetVersion(&version);

    ProcessorArchitecture const architecture = GetOsArchitecture();
    std::wstring const url = Test ? FormatTestManifestUrl()
                                  : FormatManifestUrl(version.dwMajorVersion, version.dwMinorVersion,
                                                      GetArchitectureName(architecture));

    DownloadProgressCallback adapter;
    if (progress)
        adapter = [&progress](DownloadProgress const& p) { progress(p.percent); };

    ReleaseManifest const manifest = DecodeManifest(DownloadBytes(url, ManifestSizeLimit, adapter, cancel));
    Release const& release = manifest.FindRelease(Milestone);
    // Converted only now, so that a missing release is reported first.
    ReleaseFile const& file = release.FindFile(ToReleaseArchitecture(architecture));
    return DownloadInfo{file.ChooseMirror(), release.DisplayName, file.Sha256};
}

} // namespace ovl::setup

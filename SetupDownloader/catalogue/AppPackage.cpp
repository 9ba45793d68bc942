#include "catalogue/AppPackage.h"

#include "catalogue/Manifest.h"
#include "catalogue/SystemInfo.h"
#include "download/HttpDownload.h"

#include <climits>
#include <stdexcept>

extern "C" NTSYSAPI LONG NTAPI RtlGetVersion(PRTL_OSVERSIONINFOW versionInformation);

namespace ovl::setup {

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

    std::vector<std::uint8_t> const body = DownloadBytes(url, ManifestSizeLimit, adapter, cancel);

    // Malformed UTF-8 becomes U+FFFD; a byte order mark stays as U+FEFF.
    if (body.size() > INT_MAX)
        throw std::runtime_error("Failed to decode manifest JSON");
    auto const* bytes = reinterpret_cast<char const*>(body.data());
    int const size = static_cast<int>(body.size());
    int const length = MultiByteToWideChar(CP_UTF8, 0, bytes, size, nullptr, 0);
    if (length < 1)
        throw std::runtime_error("Failed to decode manifest JSON");
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, bytes, size, text.data(), length) < 1)
        throw std::runtime_error("Failed to decode manifest JSON");

    ReleaseManifest const manifest = ParseManifest(text);
    Release const& release = manifest.FindRelease(Milestone);
    // Converted only now, so that a missing release is reported first.
    ReleaseFile const& file = release.FindFile(ToReleaseArchitecture(architecture));
    return DownloadInfo{file.ChooseMirror(), release.DisplayName};
}

} // namespace ovl::setup

#include "ReleaseCheck/MirrorCheck.h"

#include "ReleaseCheck/MirrorUrls.h"

#include "catalogue/AppPackage.h"
#include "download/FileDownload.h"
#include "install/DownloadFolder.h"
#include "install/Extraction.h"
#include "install/PackageHash.h"
#include "install/Signature.h"
#include "platform/Handle.h"
#include "platform/Text.h"

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <set>
#include <stdexcept>

namespace ovl::setup {

namespace {

using Clock = std::chrono::steady_clock;

// A local manifest is read with the limit the downloader puts on one it fetches.
std::vector<std::uint8_t> ReadManifestFile(std::wstring const& path)
{
    UniqueHandle const file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error(Format("Could not open the manifest file (error %lu)", GetLastError()));
    std::vector<std::uint8_t> body;
    std::uint8_t buffer[65536];
    DWORD read = 0;
    while (ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr) && read > 0) {
        if (body.size() + read > ManifestSizeLimit)
            throw std::runtime_error("The response is larger than allowed");
        body.insert(body.end(), buffer, buffer + read);
    }
    return body;
}

std::vector<std::uint8_t> FetchManifest(std::wstring const& source, CancelFlag const& cancel)
{
    if (IsUrl(source))
        return DownloadBytes(source, ManifestSizeLimit, nullptr, cancel);
    return ReadManifestFile(source);
}

// A line on the console now and then while a long transfer runs.
DownloadProgressCallback ConsoleProgress(std::wstring const& url)
{
    auto const started = Clock::now();
    return [url, started, shown = -1](DownloadProgress const& progress) mutable {
        int const quarter = progress.percent < 0 ? -1 : static_cast<int>(progress.percent / 25);
        if (quarter == shown || Clock::now() - started < std::chrono::seconds(1))
            return;
        shown = quarter;
        std::string const line = Utf16ToUtf8(
            quarter < 0 ? FormatW(L"  downloading %ls\n", url.c_str())
                        : FormatW(L"  downloading %ls: %d%%\n", url.c_str(), static_cast<int>(progress.percent)));
        std::fputs(line.c_str(), stderr);
    };
}

// Downloads one mirror, takes the installer out and checks its signature,
// each as the downloader does; the first failure is the mirror's error.
MirrorCheck CheckMirror(std::wstring const& folder, std::wstring const& release, ReleaseArchitecture architecture,
                        ReleaseFile const& file, std::wstring const& url)
{
    CancelFlag const cancel{false};
    MirrorCheck mirror;
    mirror.Release = release;
    mirror.Architecture = architecture;
    mirror.Url = url;
    auto const started = Clock::now();
    auto const observe = [&mirror](winrt::Windows::Web::Http::HttpResponseMessage const& response) {
        mirror.Status = response.StatusCode();
        if (response.Headers().HasKey(L"Accept-Ranges"))
            mirror.AcceptsRanges = IsByteRangeToken(response.Headers().Lookup(L"Accept-Ranges"));
    };
    try {
        PinnedFile package(JoinPath(folder, L"orvelle.install.zip"), PinnedFileAccess::ReadWrite);
        DownloadToPinnedFile(url, package, ConsoleProgress(url), cancel, observe);
        mirror.Bytes = package.GetSize();
        mirror.Seconds = std::chrono::duration<double>(Clock::now() - started).count();
        Sha256Digest const digest = ComputeFileSha256(package);
        mirror.PackageSha256 = FormatSha256(digest);
        CheckSha256Matches(digest, file.Sha256);
        InstallerEntry entry;
        PinnedFile installer = ExtractInstaller(package, folder, nullptr, cancel, &entry);
        package.Close();
        mirror.Entry = entry.Name;
        mirror.InstallerBytes = installer.GetSize();
        SignatureVerdict const signature = CheckFileSignature(installer.GetHandle(), installer.GetPath());
        mirror.Signature = signature.Status;
        if (signature.Status != 0) {
            mirror.Error = DescribeSignatureFailure(signature.Status);
        } else {
            mirror.Signer = signature.SignerName;
            mirror.SignerSha256 = FormatSha256(signature.SignerThumbprint);
            mirror.SignerPinned = IsPinnedSigner(signature, ParsePublisherThumbprints(GetPublisherThumbprints()));
            if (!mirror.SignerPinned)
                mirror.Error = DescribeUnpinnedSigner(signature);
        }
    } catch (std::exception const& e) {
        mirror.Error = Utf8ToUtf16(e.what());
    } catch (winrt::hresult_error const& e) {
        mirror.Error = e.message();
    }
    if (mirror.Seconds == 0)
        mirror.Seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return mirror;
}

void CheckMirrors(CheckReport& report)
{
    report.MirrorsChecked = true;
    DownloadFolderGuard const folder(CreateDownloadFolder());
    std::set<ReleaseFile const*> checked;
    for (auto const& choice : report.Choices) {
        if (!choice.ChosenFile || !checked.insert(choice.ChosenFile).second)
            continue;
        for (auto const& url : choice.ChosenFile->MirrorUrls) {
            if (UrlRefusal(url))
                continue; // already a problem of the static check
            report.Mirrors.push_back(CheckMirror(folder.GetPath(), choice.ChosenRelease->DisplayName, choice.Architecture,
                                                 *choice.ChosenFile, url));
        }
    }
}

} // namespace

CheckReport RunCheck(CheckOptions const& options)
{
    CheckReport report;
    report.Source = options.Manifest;
    for (auto const& pin : ParsePublisherThumbprints(GetPublisherThumbprints()))
        report.PublisherPins.push_back(FormatSha256(pin));
    CancelFlag const cancel{false};
    try {
        std::vector<std::uint8_t> const body = FetchManifest(options.Manifest, cancel);
        report.ManifestBytes = body.size();
        report.Manifest = DecodeManifest(body);
    } catch (std::exception const& e) {
        report.ManifestError = Utf8ToUtf16(e.what());
    } catch (winrt::hresult_error const& e) {
        report.ManifestError = e.message();
    }
    if (report.Manifest) {
        report.Choices = ChooseAll(*report.Manifest, options);
        report.RefusedMirrors = FindRefusedMirrors(report.Choices);
        if (options.Mirrors)
            CheckMirrors(report);
    }
    return report;
}

} // namespace ovl::setup

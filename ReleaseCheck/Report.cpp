#include "ReleaseCheck/Report.h"

#include "platform/Text.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace ovl::setup {

namespace {

constexpr AppMilestone AllMilestones[] = {AppMilestone::All, AppMilestone::Nightly, AppMilestone::Alpha, AppMilestone::Beta,
                                          AppMilestone::Stable};
constexpr ReleaseArchitecture AskedArchitectures[] = {ReleaseArchitecture::X64, ReleaseArchitecture::Arm64};

std::wstring VersionText(Version const& v)
{
    return FormatW(L"%u.%u.%u.%u", unsigned{v.Major}, unsigned{v.Minor}, unsigned{v.Build}, unsigned{v.Revision});
}

std::wstring Architecture(ReleaseArchitecture architecture) { return GetReleaseArchitectureName(architecture); }

std::wstring Milestone(AppMilestone milestone) { return GetMilestoneName(milestone); }

std::wstring MilestoneInManifest(AppMilestone milestone)
{
    std::wstring name = Milestone(milestone);
    for (auto& c : name)
        c = FoldAscii(c);
    return name;
}

// A file's mirrors counted for people: "1 mirror", "3 mirrors".
std::wstring MirrorCount(ReleaseFile const& file)
{
    return FormatW(L"%zu mirror%ls", file.MirrorUrls.size(), file.MirrorUrls.size() == 1 ? L"" : L"s");
}

std::wstring FilesText(Release const& release)
{
    std::wstring text;
    for (auto const& file : release.Files) {
        if (!text.empty())
            text += L", ";
        text += FormatW(L"%ls (%ls)", Architecture(file.Architecture).c_str(), MirrorCount(file).c_str());
    }
    return text.empty() ? L"no files" : text;
}

std::wstring ChoiceText(Choice const& choice)
{
    if (!choice.ChosenRelease)
        return choice.Error;
    return FormatW(L"%ls, the %ls file, %ls", choice.ChosenRelease->DisplayName.c_str(),
                   Architecture(choice.ChosenFile->Architecture).c_str(), MirrorCount(*choice.ChosenFile).c_str());
}

std::wstring MirrorText(MirrorCheck const& mirror, bool pinned)
{
    std::wstring text = mirror.Url + L": ";
    if (mirror.Status)
        text += FormatW(L"status %u, ", *mirror.Status);
    text += FormatW(L"%llu bytes in %.2f s, ranges %ls", static_cast<unsigned long long>(mirror.Bytes), mirror.Seconds,
                    mirror.AcceptsRanges ? L"accepted" : L"not accepted");
    if (!mirror.PackageSha256.empty())
        text += L"; package SHA-256 " + mirror.PackageSha256;
    if (!mirror.Entry.empty())
        text += FormatW(L"; installer %ls, %llu bytes", mirror.Entry.c_str(),
                        static_cast<unsigned long long>(mirror.InstallerBytes));
    if (mirror.Signature && *mirror.Signature == 0)
        text += L"; signature valid, signed by \"" + mirror.Signer + L"\" (certificate SHA-256 " + mirror.SignerSha256 +
                L"), " +
                (!pinned               ? L"no publisher pin to match"
                 : mirror.SignerPinned ? L"matches the publisher pin"
                                       : L"does not match the publisher pin");
    if (!mirror.Error.empty())
        text += L"; " + mirror.Error;
    return text;
}

std::string Utf8(std::wstring const& text) { return Utf16ToUtf8(text); }

// The publisher pin of this build, as the downloader built alike applies it.
std::wstring PinText(std::vector<std::wstring> const& pins)
{
    if (pins.empty())
        return L"Publisher pin: none in this build (any installer with a trusted signature is accepted)\n";
    std::wstring text = L"Publisher pin (installer signing certificates, SHA-256):\n";
    for (auto const& pin : pins)
        text += L"  " + pin + L"\n";
    return text;
}

} // namespace

std::vector<Choice> ChooseAll(ReleaseManifest const& manifest, CheckOptions const& options)
{
    std::vector<AppMilestone> milestones(std::begin(AllMilestones), std::end(AllMilestones));
    if (options.Milestone)
        milestones = {*options.Milestone};
    std::vector<ReleaseArchitecture> architectures(std::begin(AskedArchitectures), std::end(AskedArchitectures));
    if (options.Architecture)
        architectures = {*options.Architecture};

    std::vector<Choice> choices;
    for (AppMilestone const milestone : milestones) {
        for (ReleaseArchitecture const architecture : architectures) {
            Choice choice;
            choice.Milestone = milestone;
            choice.Architecture = architecture;
            // In the downloader's order: the release, the file, a mirror.
            try {
                Release const& release = manifest.FindRelease(milestone);
                ReleaseFile const& file = release.FindFile(architecture);
                if (file.MirrorUrls.empty())
                    throw std::runtime_error("No download mirrors available");
                choice.ChosenRelease = &release;
                choice.ChosenFile = &file;
            } catch (std::exception const& e) {
                choice.Error = Utf8ToUtf16(e.what());
            }
            choices.push_back(choice);
        }
    }
    return choices;
}

std::vector<std::wstring> Problems(CheckReport const& report)
{
    std::vector<std::wstring> problems;
    if (!report.ManifestError.empty())
        problems.push_back(L"manifest: " + report.ManifestError);
    for (auto const& choice : report.Choices) {
        if (!choice.ChosenRelease)
            problems.push_back(Milestone(choice.Milestone) + L" " + Architecture(choice.Architecture) + L": " +
                               choice.Error);
    }
    for (auto const& refused : report.RefusedMirrors)
        problems.push_back(refused.Release + L" " + Architecture(refused.Architecture) + L" " + refused.Url + L": " +
                           refused.Error);
    for (auto const& mirror : report.Mirrors) {
        if (!mirror.Error.empty())
            problems.push_back(mirror.Release + L" " + Architecture(mirror.Architecture) + L" " + mirror.Url + L": " +
                               mirror.Error);
    }
    return problems;
}

std::wstring RenderText(CheckReport const& report)
{
    std::wstring text = FormatW(L"Manifest: %ls (%llu bytes)\n", report.Source.c_str(),
                                static_cast<unsigned long long>(report.ManifestBytes));
    text += PinText(report.PublisherPins);
    if (report.Manifest) {
        text += L"Product: " + report.Manifest->ProductName + L"\nReleases:\n";
        for (auto const& release : report.Manifest->Releases)
            text += FormatW(L"  %ls: version %ls, %ls; %ls\n", release.DisplayName.c_str(),
                            VersionText(release.Version).c_str(), MilestoneInManifest(release.Milestone).c_str(),
                            FilesText(release).c_str());
        text += L"What the downloader chooses:\n";
        for (auto const& choice : report.Choices)
            text += FormatW(L"  %-8ls %-6ls %ls\n", Milestone(choice.Milestone).c_str(),
                            Architecture(choice.Architecture).c_str(), ChoiceText(choice).c_str());
    }
    if (report.MirrorsChecked) {
        text += L"Mirrors:\n";
        for (auto const& mirror : report.Mirrors)
            text += FormatW(L"  %ls %ls: %ls\n", mirror.Release.c_str(), Architecture(mirror.Architecture).c_str(),
                            MirrorText(mirror, !report.PublisherPins.empty()).c_str());
    }
    auto const problems = Problems(report);
    text += problems.empty() ? L"No problems found.\n" : FormatW(L"Problems (%zu):\n", problems.size());
    for (auto const& problem : problems)
        text += L"  problem: " + problem + L"\n";
    return text;
}

namespace {

using Json = nlohmann::ordered_json;

Json ReleasesJson(ReleaseManifest const& manifest)
{
    Json releases = Json::array();
    for (auto const& release : manifest.Releases) {
        Json files = Json::array();
        for (auto const& file : release.Files)
            files.push_back({{"architecture", Utf8(Architecture(file.Architecture))}, {"mirrors", file.MirrorUrls.size()}});
        releases.push_back({{"display-name", Utf8(release.DisplayName)},
                            {"version", Utf8(VersionText(release.Version))},
                            {"milestone", Utf8(MilestoneInManifest(release.Milestone))},
                            {"files", files}});
    }
    return releases;
}

Json ChoiceJson(Choice const& choice)
{
    Json entry = {{"milestone", Utf8(Milestone(choice.Milestone))},
                  {"architecture", Utf8(Architecture(choice.Architecture))}};
    if (!choice.ChosenRelease) {
        entry["error"] = Utf8(choice.Error);
        return entry;
    }
    entry["release"] = Utf8(choice.ChosenRelease->DisplayName);
    entry["file"] = Utf8(Architecture(choice.ChosenFile->Architecture));
    Json urls = Json::array();
    for (auto const& url : choice.ChosenFile->MirrorUrls)
        urls.push_back(Utf8(url));
    entry["mirrors"] = urls;
    return entry;
}

Json MirrorJson(MirrorCheck const& mirror)
{
    return {{"release", Utf8(mirror.Release)},
            {"architecture", Utf8(Architecture(mirror.Architecture))},
            {"url", Utf8(mirror.Url)},
            {"status", mirror.Status ? Json(*mirror.Status) : nullptr},
            {"bytes", mirror.Bytes},
            {"accepts-ranges", mirror.AcceptsRanges},
            {"seconds", mirror.Seconds},
            {"entry", Utf8(mirror.Entry)},
            {"installer-bytes", mirror.InstallerBytes},
            {"sha256", mirror.PackageSha256.empty() ? nullptr : Json(Utf8(mirror.PackageSha256))},
            {"signature", mirror.Signature ? Json(*mirror.Signature) : nullptr},
            {"signer", mirror.Signer.empty() ? nullptr : Json(Utf8(mirror.Signer))},
            {"signer-sha256", mirror.SignerSha256.empty() ? nullptr : Json(Utf8(mirror.SignerSha256))},
            {"signer-pinned", mirror.SignerSha256.empty() ? nullptr : Json(mirror.SignerPinned)},
            {"error", mirror.Error.empty() ? nullptr : Json(Utf8(mirror.Error))}};
}

} // namespace

std::string RenderJson(CheckReport const& report)
{
    Json document;
    document["manifest"] = {{"source", Utf8(report.Source)}, {"bytes", report.ManifestBytes}};
    Json pins = Json::array();
    for (auto const& pin : report.PublisherPins)
        pins.push_back(Utf8(pin));
    document["publisher-pins"] = pins;
    if (!report.ManifestError.empty())
        document["manifest"]["error"] = Utf8(report.ManifestError);
    if (report.Manifest) {
        document["product"] = Utf8(report.Manifest->ProductName);
        document["releases"] = ReleasesJson(*report.Manifest);
        Json choices = Json::array();
        for (auto const& choice : report.Choices)
            choices.push_back(ChoiceJson(choice));
        document["choices"] = choices;
        Json refused = Json::array();
        for (auto const& mirror : report.RefusedMirrors)
            refused.push_back({{"release", Utf8(mirror.Release)},
                               {"architecture", Utf8(Architecture(mirror.Architecture))},
                               {"url", Utf8(mirror.Url)},
                               {"error", Utf8(mirror.Error)}});
        document["refused-mirrors"] = refused;
    }
    if (report.MirrorsChecked) {
        Json mirrors = Json::array();
        for (auto const& mirror : report.Mirrors)
            mirrors.push_back(MirrorJson(mirror));
        document["mirrors"] = mirrors;
    }
    Json problems = Json::array();
    for (auto const& problem : Problems(report))
        problems.push_back(Utf8(problem));
    document["problems"] = problems;
    document["ok"] = problems.empty();
    return document.dump(2) + "\n";
}

} // namespace ovl::setup

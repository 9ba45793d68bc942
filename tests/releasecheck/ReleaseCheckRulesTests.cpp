// The plain parts of ReleaseCheck: its arguments, the combinations it asks
// the downloader's selection about, and its report.

#include "ReleaseCheck/CheckOptions.h"
#include "ReleaseCheck/MirrorCheck.h"
#include "ReleaseCheck/Report.h"
#include "download/HttpDownload.h"
#include "platform/Http.h"
#include "platform/Text.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <variant>
#include <vector>

namespace ovl::setup {
namespace {

TEST(CheckArguments, Table)
{
    struct Row {
        std::vector<std::wstring> Arguments;
        bool Valid;
    } const rows[] = {
        {{L"m.json"}, true},
        {{L"https://www.orvelle.example/updates/v9/manifest.os1000.x64.json", L"--mirrors", L"--json"}, true},
        {{L"--milestone", L"beta", L"m.json"}, true},
        {{L"m.json", L"--arch", L"ARM64"}, true},
        {{}, false},
        {{L"--mirrors"}, false},
        {{L"m.json", L"other.json"}, false},
        {{L"m.json", L"--arch", L"x86"}, false},
        {{L"m.json", L"--arch"}, false},
        {{L"m.json", L"--milestone", L"weekly"}, false},
        {{L"m.json", L"--verbose"}, false},
    };
    for (auto const& row : rows) {
        auto const parsed = ParseCheckArguments(row.Arguments);
        EXPECT_EQ(std::holds_alternative<CheckOptions>(parsed), row.Valid) << row.Arguments.size();
    }
    auto const options = std::get<CheckOptions>(ParseCheckArguments({L"--milestone", L"Beta", L"x.json", L"--arch", L"x64"}));
    EXPECT_EQ(options.Manifest, L"x.json");
    EXPECT_EQ(options.Milestone, AppMilestone::Beta);
    EXPECT_EQ(options.Architecture, ReleaseArchitecture::X64);
    EXPECT_FALSE(options.Mirrors);
    EXPECT_TRUE(IsUrl(L"HTTPS://a/b"));
    EXPECT_FALSE(IsUrl(L"C:\\m.json"));
}

ReleaseManifest Manifest(std::wstring const& releases)
{
    return ParseManifest(LR"({"product-name": "Orvelle", "website-url": "w", "download-page-url": "d", "releases": [)" +
                         releases + L"]}");
}

std::wstring Release(wchar_t const* name, wchar_t const* version, wchar_t const* milestone, wchar_t const* files)
{
    return std::wstring(LR"({"display-name": ")") + name + LR"(", "version": ")" + version + LR"(", "milestone": ")" +
           milestone + LR"(", "more-info-url": "", "runtime-version": "8.0.1", "files": [)" + files + L"]}";
}

TEST(CheckChoices, EveryMilestoneAndArchitectureAsTheDownloaderChooses)
{
    ReleaseManifest const manifest =
        Manifest(Release(L"Stable 5.1", L"5.1", L"stable", LR"({"architecture": "x64", "mirror-urls": ["a"]})") + L"," +
                 Release(L"Beta 5.2", L"5.2", L"beta",
                         LR"({"architecture": "anycpu", "mirror-urls": ["b"]}, {"architecture": "arm64", "mirror-urls": []})"));
    auto const choices = ChooseAll(manifest, CheckOptions{});
    ASSERT_EQ(choices.size(), 10u);
    struct Expected {
        AppMilestone Milestone;
        ReleaseArchitecture Architecture;
        wchar_t const* Release; // or the error
    } const expected[] = {
        {AppMilestone::All, ReleaseArchitecture::X64, L"Beta 5.2"},
        {AppMilestone::All, ReleaseArchitecture::Arm64, L"No download mirrors available"},
        {AppMilestone::Beta, ReleaseArchitecture::X64, L"Beta 5.2"},
        {AppMilestone::Stable, ReleaseArchitecture::X64, L"Stable 5.1"},
        {AppMilestone::Stable, ReleaseArchitecture::Arm64, L"Could not find a file to download for the requested architecture"},
    };
    for (auto const& e : expected) {
        bool found = false;
        for (auto const& c : choices) {
            if (c.Milestone != e.Milestone || c.Architecture != e.Architecture)
                continue;
            found = true;
            EXPECT_EQ(c.ChosenRelease ? c.ChosenRelease->DisplayName : c.Error, e.Release);
        }
        EXPECT_TRUE(found);
    }

    CheckOptions narrowed;
    narrowed.Milestone = AppMilestone::Stable;
    narrowed.Architecture = ReleaseArchitecture::X64;
    auto const one = ChooseAll(manifest, narrowed);
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0].ChosenFile->MirrorUrls, std::vector<std::wstring>{L"a"});
}

TEST(CheckReport, ProblemsNameWhatTheyConcern)
{
    CheckReport report;
    report.Source = L"m.json";
    report.Manifest = Manifest(Release(L"Stable 5.1", L"5.1", L"stable", LR"({"architecture": "x64", "mirror-urls": ["a"]})"));
    CheckOptions options;
    options.Architecture = ReleaseArchitecture::Arm64;
    options.Milestone = AppMilestone::Stable;
    report.Choices = ChooseAll(*report.Manifest, options);
    report.MirrorsChecked = true;
    MirrorCheck broken;
    broken.Release = L"Stable 5.1";
    broken.Url = L"http://dl/x.zip";
    broken.Status = 404;
    broken.Error = L"Download failed: Response status code does not indicate success: 404 (Not Found).";
    report.Mirrors.push_back(broken);
    EXPECT_EQ(Problems(report),
              (std::vector<std::wstring>{
                  L"Stable arm64: Could not find a file to download for the requested architecture",
                  L"Stable 5.1 x64 http://dl/x.zip: Download failed: Response status code does not indicate success: "
                  L"404 (Not Found)."}));

    auto const json = nlohmann::json::parse(RenderJson(report));
    EXPECT_FALSE(json["ok"]);
    EXPECT_EQ(json["problems"].size(), 2u);
    EXPECT_EQ(json["mirrors"][0]["status"], 404);
    EXPECT_EQ(json["choices"][0]["error"], "Could not find a file to download for the requested architecture");
    EXPECT_EQ(json["releases"][0]["version"], "5.1.0.0");

    CheckReport failed;
    failed.Source = L"m.json";
    failed.ManifestError = L"Unknown architecture in manifest";
    EXPECT_EQ(Problems(failed), std::vector<std::wstring>{L"manifest: Unknown architecture in manifest"});
    EXPECT_NE(RenderText(failed).find(L"problem: manifest: Unknown architecture in manifest"), std::wstring::npos);
}

// Each installer's signer against the build's pin: matching, not matching,
// or a build without a pin, which the report says at its top.
TEST(CheckReport, TheSignerAgainstThePublisherPin)
{
    MirrorCheck mirror;
    mirror.Release = L"Stable 5.1";
    mirror.Url = L"http://dl/x.zip";
    mirror.Signature = 0;
    mirror.PackageSha256 = std::wstring(64, L'A');
    mirror.Signer = L"Some Other Publisher";
    mirror.SignerSha256 = std::wstring(64, L'B');
    struct Row {
        std::vector<std::wstring> Pins;
        bool Pinned;
        wchar_t const* Header;
        wchar_t const* Verdict;
    } const rows[] = {
        {{}, true, L"Publisher pin: none in this build", L"), no publisher pin to match"},
        {{std::wstring(64, L'B')}, true, L"Publisher pin (installer signing certificates, SHA-256):\n  BBBB",
         L"), matches the publisher pin"},
        {{std::wstring(64, L'C')}, false, L"Publisher pin (installer signing certificates, SHA-256):\n  CCCC",
         L"), does not match the publisher pin"},
    };
    for (auto const& row : rows) {
        CheckReport report;
        report.Source = L"m.json";
        report.PublisherPins = row.Pins;
        report.MirrorsChecked = true;
        mirror.SignerPinned = row.Pinned;
        report.Mirrors = {mirror};
        std::wstring const text = RenderText(report);
        EXPECT_NE(text.find(row.Header), std::wstring::npos) << ovl::test::Narrow(text);
        EXPECT_NE(text.find(L"package SHA-256 " + mirror.PackageSha256 + L"; signature valid, signed by \"Some Other "
                            L"Publisher\" (certificate SHA-256 " + mirror.SignerSha256 + row.Verdict),
                  std::wstring::npos)
            << ovl::test::Narrow(text);
        auto const json = nlohmann::json::parse(RenderJson(report));
        EXPECT_EQ(json["publisher-pins"].size(), row.Pins.size());
        EXPECT_EQ(json["mirrors"][0]["signer-pinned"], row.Pinned);
        EXPECT_EQ(json["mirrors"][0]["signer"], "Some Other Publisher");
    }
}

// What the downloader itself says when it is handed the URL: the failure of
// its transfer, which refuses the URL before any request.
std::wstring DownloaderRefusal(std::wstring const& url)
{
    CancelFlag const cancel{false};
    try {
        DownloadBytes(url, 1024, nullptr, cancel);
    } catch (winrt::hresult_error const& e) {
        return e.message();
    } catch (std::exception const& e) {
        return Utf8ToUtf16(e.what());
    }
    return L"(accepted)";
}

// A manifest with the stable release's x64 file on the given mirrors, its
// arm64 file on one more, and an older release that is never chosen.
std::string ManifestWithMirrors(std::vector<std::wstring> const& x64Mirrors, std::wstring const& arm64Mirror,
                                std::wstring const& unchosenMirror)
{
    using Json = nlohmann::ordered_json;
    auto const urls = [](std::vector<std::wstring> const& list) {
        Json array = Json::array();
        for (auto const& url : list)
            array.push_back(Utf16ToUtf8(url));
        return array;
    };
    auto const release = [](char const* name, char const* version, Json files) {
        return Json{{"display-name", name}, {"version", version}, {"milestone", "stable"}, {"more-info-url", ""},
                    {"runtime-version", "8.0.1"}, {"files", std::move(files)}};
    };
    Json const manifest = {
        {"product-name", "Orvelle"},
        {"website-url", "w"},
        {"download-page-url", "d"},
        {"releases",
         {release("Orvelle 5.1", "5.1",
                  {{{"architecture", "x64"}, {"mirror-urls", urls(x64Mirrors)}},
                   {{"architecture", "arm64"}, {"mirror-urls", urls({arm64Mirror})}}}),
          release("Orvelle 5.0", "5.0", {{{"architecture", "x64"}, {"mirror-urls", urls({unchosenMirror})}}})}}};
    return manifest.dump();
}

// The static check (no --mirrors) refuses every mirror of a chosen file that
// the downloader would refuse, each as a problem with the downloader's own
// message, and accepts what the downloader accepts.
TEST(CheckMirrorUrls, RefusedAsTheDownloaderRefusesThem)
{
    struct Row {
        std::wstring Url;
        wchar_t const* Message; // how the downloader's message starts; null: accepted
    } const rows[] = {
        {L"https://dl1.orvelle.example/orvelle-5.1-x64.zip", nullptr},
        {L"http://127.0.0.1:8080/mirror/orvelle.zip?token=1", nullptr},
        {L"HTTPS://DL2.ORVELLE.EXAMPLE/orvelle.zip", nullptr},
        // Another scheme: refused by the URL parser or by the scheme rule
        // after it, with either of the downloader's two messages.
        {L"ftp://dl.orvelle.example/orvelle.zip", L"The URL is not"},
        {L"file:///C:/releases/orvelle.zip", L"The URL is not"},
        {L"\\\\fileserver\\releases\\orvelle.zip", L"The URL is not valid: "},
        {L"C:\\releases\\orvelle.zip", L"The URL is not valid: "},
        {L"dl.orvelle.example/orvelle.zip", L"The URL is not valid: "},
        {L"http:///orvelle.zip", L"The URL is not"},
        {std::wstring(L"https://dl.orvelle.example/orvelle\0.zip", 39), L"The URL is not valid: "},
        {L"", L"The URL is not valid: "},
    };
    std::vector<std::wstring> mirrors;
    for (auto const& row : rows)
        mirrors.push_back(row.Url);
    test::TempDir const dir;
    std::wstring const path = dir.File(L"manifest.json");
    test::WriteBytes(path, ManifestWithMirrors(mirrors, L"file://server/orvelle-arm64.zip", L"ftp://old/orvelle.zip"));

    CheckOptions options;
    options.Manifest = path;
    options.Milestone = AppMilestone::Stable;
    CheckReport const report = RunCheck(options);
    ASSERT_TRUE(report.Manifest) << Utf16ToUtf8(report.ManifestError);
    auto const problems = Problems(report);

    size_t refused = 0;
    for (auto const& row : rows) {
        std::wstring const concerning = L"Orvelle 5.1 x64 " + row.Url + L": ";
        if (!row.Message) {
            // Accepted: no problem names it (and no request is made here).
            for (auto const& problem : problems)
                EXPECT_NE(problem.rfind(concerning, 0), 0u) << Utf16ToUtf8(problem);
            continue;
        }
        ++refused;
        std::wstring const said = DownloaderRefusal(row.Url);
        bool const reported = std::find(problems.begin(), problems.end(), concerning + said) != problems.end();
        EXPECT_EQ(said.rfind(row.Message, 0), 0u) << Utf16ToUtf8(row.Url) << ": " << Utf16ToUtf8(said);
        EXPECT_TRUE(reported) << Utf16ToUtf8(row.Url) << " was not reported as: " << Utf16ToUtf8(said);
    }
    // The arm64 file is chosen too; the older release's file never is.
    std::wstring const arm64 = L"file://server/orvelle-arm64.zip";
    EXPECT_NE(std::find(problems.begin(), problems.end(), L"Orvelle 5.1 arm64 " + arm64 + L": " + DownloaderRefusal(arm64)),
              problems.end());
    EXPECT_EQ(problems.size(), refused + 1) << Utf16ToUtf8(RenderText(report));
    EXPECT_NE(RenderText(report).find(FormatW(L"Problems (%zu):", refused + 1)), std::wstring::npos);
    auto const json = nlohmann::json::parse(RenderJson(report));
    EXPECT_EQ(json["ok"], false);
    ASSERT_EQ(json["refused-mirrors"].size(), refused + 1);
    EXPECT_EQ(json["refused-mirrors"][0]["url"], "ftp://dl.orvelle.example/orvelle.zip");
    EXPECT_EQ(json["refused-mirrors"][0]["error"], Utf16ToUtf8(DownloaderRefusal(L"ftp://dl.orvelle.example/orvelle.zip")));
}

} // namespace
} // namespace ovl::setup

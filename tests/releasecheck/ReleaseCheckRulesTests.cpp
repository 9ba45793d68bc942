// The plain parts of ReleaseCheck: its arguments, the combinations it asks
// the downloader's selection about, and its report.

#include "ReleaseCheck/CheckOptions.h"
#include "ReleaseCheck/Report.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

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

} // namespace
} // namespace ovl::setup

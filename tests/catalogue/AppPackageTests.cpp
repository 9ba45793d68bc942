// GetDownloadInfo against the test server, which listens at the loopback
// origin compiled into this executable and serves the manifests the tests
// write into its folder.

#include "catalogue/AppPackage.h"
#include "catalogue/Manifest.h"
#include "platform/Json.h"

#include "support/HttpTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <stdexcept>

namespace ovl::setup {
namespace {

std::filesystem::path ManifestFolder()
{
    auto const folder = std::filesystem::path(ovl::test::Env("OVL_TEST_ROOT")) / L"updates" / L"v9";
    std::filesystem::create_directories(folder);
    return folder;
}

void Publish(wchar_t const* name, std::string const& content)
{
    ovl::test::WriteBytes((ManifestFolder() / name).wstring(), content);
}

std::string Release(char const* name, char const* version, char const* milestone, std::string const& files)
{
    return std::string(R"({"display-name": ")") + name + R"(", "version": ")" + version + R"(", "milestone": ")" +
           milestone + R"(", "more-info-url": "", "runtime-version": "8.0.0", "files": [)" + files + "]}";
}

std::string File(char const* architecture, std::string const& urls)
{
    return std::string(R"({"architecture": ")") + architecture + R"(", "mirror-urls": [)" + urls + "]}";
}

std::string Manifest(std::string const& releases)
{
    return R"({"product-name": "Orvelle", "website-url": "w", "download-page-url": "d", "releases": [)" + releases +
           "]}";
}

std::string FailureOf(AppPackage const& package)
{
    CancelFlag cancel{false};
    try {
        package.GetDownloadInfo(nullptr, cancel);
    } catch (std::runtime_error const& e) {
        return e.what();
    } catch (winrt::hresult_error const& e) {
        return "hresult_error";
    }
    return "(no failure)";
}

AppPackage Request(AppMilestone milestone, bool test)
{
    AppPackage package;
    package.Milestone = milestone;
    package.Test = test;
    return package;
}

TEST(GetDownloadInfo, NormalManifestForThisSystemAndTheTestManifestWhateverTheSystem)
{
    // Wine reports Windows 10.0 on x64.
    Publish(L"manifest.os1000.x64.json",
            Manifest(Release("Orvelle 5.0 (os)", "5.0", "stable", File("x64", R"("https://m/os.zip")"))));
    Publish(L"manifest.test.json",
            Manifest(Release("Orvelle 6.0 (test)", "6.0", "stable",
                             File("anycpu", R"("https://m/any.zip")") + "," + File("x64", R"("https://m/test-x64.zip")"))));
    CancelFlag cancel{false};
    std::vector<double> reports;
    auto const normal = Request(AppMilestone::Stable, false).GetDownloadInfo([&](double p) { reports.push_back(p); }, cancel);
    EXPECT_EQ(normal.DisplayName, L"Orvelle 5.0 (os)");
    EXPECT_EQ(normal.Url, L"https://m/os.zip");
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back(), 100.0);

    auto const test = Request(AppMilestone::Stable, true).GetDownloadInfo(nullptr, cancel);
    EXPECT_EQ(test.DisplayName, L"Orvelle 6.0 (test)");
    EXPECT_EQ(test.Url, L"https://m/test-x64.zip"); // the file is still chosen for the OS architecture
}

TEST(GetDownloadInfo, ChoosesByMilestoneAndVersionWithTheLaterOfEqualVersions)
{
    Publish(L"manifest.test.json",
            Manifest(Release("beta 5.1", "5.1", "beta", File("x64", R"("b")")) + "," +
                     Release("stable 5.0.2", "5.0.2", "stable", File("x64", R"("s")")) + "," +
                     Release("stable 5.1", "5.1.0.0", "stable", File("x64", R"("s2")")) + "," +
                     Release("nightly 6", "6.0", "nightly", File("x64", R"("n")"))));
    CancelFlag cancel{false};
    EXPECT_EQ(Request(AppMilestone::Beta, true).GetDownloadInfo(nullptr, cancel).DisplayName, L"stable 5.1");
    EXPECT_EQ(Request(AppMilestone::Stable, true).GetDownloadInfo(nullptr, cancel).Url, L"s2");
    EXPECT_EQ(Request(AppMilestone::All, true).GetDownloadInfo(nullptr, cancel).DisplayName, L"nightly 6");
}

TEST(GetDownloadInfo, EveryMirrorIsChosenOverManyCalls)
{
    Publish(L"manifest.test.json",
            Manifest(Release("r", "1.0", "stable", File("x64", R"("m1", "m2", "m3")"))));
    CancelFlag cancel{false};
    std::set<std::wstring> seen;
    for (int i = 0; i < 60 && seen.size() < 3; ++i)
        seen.insert(Request(AppMilestone::Stable, true).GetDownloadInfo(nullptr, cancel).Url);
    EXPECT_EQ(seen, (std::set<std::wstring>{L"m1", L"m2", L"m3"}));
}

TEST(GetDownloadInfo, FailuresInTheirOrder)
{
    struct Row {
        char const* Description;
        std::string Manifest;
        AppMilestone Milestone;
        char const* Error;
    } const rows[] = {
        {"empty body", "", AppMilestone::Stable, "Failed to decode manifest JSON"},
        {"not JSON", "<html></html>", AppMilestone::Stable, "hresult_error"},
        {"no stable release", Manifest(Release("b", "1.0", "beta", File("x64", R"("u")"))), AppMilestone::Stable,
         "Could not find a release matching the requested milestone"},
        {"only an arm64 file", Manifest(Release("s", "1.0", "stable", File("arm64", R"("u")"))), AppMilestone::Stable,
         "Could not find a file to download for the requested architecture"},
        {"x64 file without mirrors beside a usable anycpu file",
         Manifest(Release("s", "1.0", "stable", File("anycpu", R"("any")") + "," + File("x64", ""))),
         AppMilestone::Stable, "No download mirrors available"},
        {"bad milestone", Manifest(Release("s", "1.0", "weekly", File("x64", R"("u")"))), AppMilestone::Stable,
         "Unknown milestone in manifest"},
    };
    for (auto const& row : rows) {
        Publish(L"manifest.test.json", row.Manifest);
        EXPECT_EQ(FailureOf(Request(row.Milestone, true)), row.Error) << row.Description;
    }
}

TEST(GetDownloadInfo, ByteOrderMarkAndInvalidUtf8InTheManifest)
{
    Publish(L"manifest.test.json",
            "\xEF\xBB\xBF" + Manifest(Release("Orv\xFF" "lle", "1.0", "stable", File("x64", R"("u")"))));
    CancelFlag cancel{false};
    auto const info = Request(AppMilestone::Stable, true).GetDownloadInfo(nullptr, cancel);
    EXPECT_EQ(info.DisplayName, L"Orv\uFFFDlle");
}

TEST(GetDownloadInfo, ManifestSizeLimit)
{
    std::string const base = Manifest(Release("r", "1.0", "stable", File("x64", R"("u")")));
    std::string exact = base;
    exact.insert(exact.size() - 1, ", \"pad\": \"" + std::string(ManifestSizeLimit - base.size() - 11, 'x') + "\"");
    ASSERT_EQ(exact.size(), ManifestSizeLimit);
    Publish(L"manifest.test.json", exact);
    CancelFlag cancel{false};
    EXPECT_EQ(Request(AppMilestone::Stable, true).GetDownloadInfo(nullptr, cancel).Url, L"u");

    exact.insert(exact.size() - 2, "x");
    Publish(L"manifest.test.json", exact);
    EXPECT_EQ(FailureOf(Request(AppMilestone::Stable, true)), "The response is larger than allowed");
}

TEST(GetDownloadInfo, MissingManifestIsADownloadFailure)
{
    std::filesystem::remove(ManifestFolder() / L"manifest.test.json");
    EXPECT_EQ(FailureOf(Request(AppMilestone::Stable, true)).rfind("Download failed: ", 0), 0u);
}

} // namespace
} // namespace ovl::setup

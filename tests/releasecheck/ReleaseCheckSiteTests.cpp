// ReleaseCheck.exe, the shipped build, run as a publisher runs it against
// release sites on loopback with problems planted in them.

#include "install/ZipFixture.h"
#include "support/HttpTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using ovl::test::Narrow;

struct Result {
    DWORD Code = 0;
    std::string Out;
    std::string Err;
};

// Runs ReleaseCheck.exe and collects what it prints.
Result RunCheck(std::vector<std::wstring> const& arguments)
{
    std::wstring commandLine = L"\"" OVL_RELEASE_CHECK L"\"";
    for (auto const& argument : arguments)
        commandLine += L" \"" + argument + L"\"";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE outRead = nullptr, outWrite = nullptr, errRead = nullptr, errWrite = nullptr;
    CreatePipe(&outRead, &outWrite, &inherit, 0);
    CreatePipe(&errRead, &errWrite, &inherit, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    PROCESS_INFORMATION process{};
    Result result;
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("test: cannot start ReleaseCheck.exe");
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    auto drain = [](HANDLE pipe, std::string& text) {
        char buffer[4096];
        DWORD read = 0;
        while (ReadFile(pipe, buffer, sizeof(buffer), &read, nullptr) && read > 0)
            text.append(buffer, read);
    };
    std::thread errors([&] { drain(errRead, result.Err); });
    drain(outRead, result.Out);
    errors.join();
    WaitForSingleObject(process.hProcess, 120000);
    GetExitCodeProcess(process.hProcess, &result.Code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    CloseHandle(outRead);
    CloseHandle(errRead);
    return result;
}

fs::path Root() { return fs::path(ovl::test::Env("OVL_TEST_ROOT")); }

std::string Base() { return Narrow(ovl::test::HttpBase()); }

void Publish(std::string const& site, std::string const& name, std::vector<std::uint8_t> const& bytes)
{
    fs::create_directories(Root() / site);
    ovl::test::WriteBytes((Root() / site / name).wstring(), std::string(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> Package(wchar_t const* installer, std::string const& entryName = "bin/Setup.exe")
{
    std::string const bytes = ovl::test::ReadBytes(installer);
    ovl::test::ZipEntry entry;
    entry.Name = entryName;
    entry.Data.assign(bytes.begin(), bytes.end());
    return ovl::test::MakeZip({entry});
}

std::string File(std::string const& architecture, std::vector<std::string> const& mirrors)
{
    std::string urls;
    for (auto const& mirror : mirrors)
        urls += (urls.empty() ? "\"" : ", \"") + mirror + "\"";
    return R"({"architecture": ")" + architecture + R"(", "mirror-urls": [)" + urls + "]}";
}

std::string Release(std::string const& name, std::string const& milestone, std::string const& files)
{
    return R"({"display-name": ")" + name + R"(", "version": "5.1.4", "milestone": ")" + milestone +
           R"(", "more-info-url": "", "runtime-version": "8.0.11", "files": [)" + files + "]}";
}

// A site: its manifest with the releases, and its URL.
std::wstring Site(std::string const& site, std::string const& releases, std::string const& topLevel = "")
{
    std::string const manifest = std::string(R"({"product-name": "Orvelle", "website-url": "w", )") +
                                 (topLevel.empty() ? R"("download-page-url": "d", )" : topLevel) +
                                 R"("releases": [)" + releases + "]}";
    Publish(site, "manifest.json", std::vector<std::uint8_t>(manifest.begin(), manifest.end()));
    return ovl::test::HttpBase() + L"/" + std::wstring(site.begin(), site.end()) + L"/manifest.json";
}

bool Contains(std::string const& text, std::string const& part) { return text.find(part) != std::string::npos; }

using ovl::test::RunFolders;

class ReleaseSite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Publish("packages", "signed.zip", Package(OVL_SIGNED_INSTALLER));
        Publish("packages", "unsigned.zip", Package(OVL_UNSIGNED_INSTALLER));
        Publish("packages", "no-installer.zip", Package(OVL_SIGNED_INSTALLER, "Setup.msi"));
    }
    void TearDown() override { EXPECT_TRUE(RunFolders().empty()) << "ReleaseCheck left its folder behind"; }
    std::string const Signed = Base() + "/packages/signed.zip";
};

TEST_F(ReleaseSite, AGoodSitePasses)
{
    auto const url = Site("good", Release("Orvelle 5.1.4", "stable",
                                          File("x64", {Signed, Signed + "?mirror=2"}) + ", " + File("arm64", {Signed})));
    Result const r = RunCheck({url, L"--mirrors"});
    std::printf("%s", r.Out.c_str());
    EXPECT_EQ(r.Code, 0u) << r.Out << r.Err;
    EXPECT_TRUE(Contains(r.Out, "No problems found.")) << r.Out;
    EXPECT_TRUE(Contains(r.Out, "Stable   x64    Orvelle 5.1.4, the x64 file, 2 mirrors")) << r.Out;
    EXPECT_TRUE(Contains(r.Out, "status 200")) << r.Out;
    EXPECT_TRUE(Contains(r.Out, "ranges accepted")) << r.Out;
    EXPECT_TRUE(Contains(r.Out, "installer bin/Setup.exe")) << r.Out;
    EXPECT_TRUE(Contains(r.Out, "signature valid")) << r.Out;
}

TEST_F(ReleaseSite, ProblemsInTheManifest)
{
    struct Row {
        char const* Name;
        std::wstring Url;
        std::vector<std::string> Problems;
    } const rows[] = {
        {"missing key", Site("missing-key", Release("R", "stable", File("x64", {Signed})), " "),
         {"problem: manifest: JSON value not found: \"download-page-url\""}},
        {"unknown architecture", Site("unknown-arch", Release("R", "stable", File("arm", {Signed}))),
         {"problem: manifest: Unknown architecture in manifest"}},
        {"no stable release", Site("no-stable", Release("R Beta", "beta", File("x64", {Signed}) + ", " + File("arm64", {Signed}))),
         {"problem: Stable x64: Could not find a release matching the requested milestone",
          "problem: Stable arm64: Could not find a release matching the requested milestone"}},
        {"arm64 only", Site("arm64-only", Release("R", "stable", File("arm64", {Signed}))),
         {"problem: All x64: Could not find a file to download for the requested architecture",
          "problem: Stable x64: Could not find a file to download for the requested architecture"}},
    };
    for (auto const& row : rows) {
        Result const r = RunCheck({row.Url});
        EXPECT_EQ(r.Code, 1u) << row.Name << "\n" << r.Out << r.Err;
        for (auto const& problem : row.Problems)
            EXPECT_TRUE(Contains(r.Out, problem)) << row.Name << ": " << problem << "\n" << r.Out;
    }
}

TEST_F(ReleaseSite, ProblemsOnTheMirrors)
{
    std::string const missing = Base() + "/packages/missing.zip";
    std::string const unsignedZip = Base() + "/packages/unsigned.zip";
    std::string const noInstaller = Base() + "/packages/no-installer.zip";
    auto const url = Site("bad-mirrors", Release("Orvelle 5.1.4", "stable", File("x64", {Signed, missing, unsignedZip, noInstaller})));
    Result const r = RunCheck({url, L"--mirrors", L"--milestone", L"stable", L"--arch", L"x64", L"--json"});
    EXPECT_EQ(r.Code, 1u) << r.Out << r.Err;
    auto const report = nlohmann::json::parse(r.Out);
    EXPECT_FALSE(report["ok"]);
    std::vector<std::string> const expected = {
        "Orvelle 5.1.4 x64 " + missing + ": Download failed: Response status code does not indicate success: 404 (Not Found).",
        "Orvelle 5.1.4 x64 " + unsignedZip +
            ": The digital signature for Orvelle could not be verified. The download may have been corrupted. (0x800B0100)",
        "Orvelle 5.1.4 x64 " + noInstaller + ": Could not find installer EXE in the downloaded ZIP",
    };
    EXPECT_EQ(report["problems"].get<std::vector<std::string>>(), expected);
    ASSERT_EQ(report["mirrors"].size(), 4u);
    EXPECT_EQ(report["mirrors"][0]["status"], 200);
    EXPECT_EQ(report["mirrors"][0]["signature"], 0);
    EXPECT_EQ(report["mirrors"][1]["status"], 404);
    EXPECT_EQ(report["mirrors"][2]["signature"], static_cast<long>(0x800B0100));
}

// Each package's SHA-256 (for the manifest's "sha256"), a "sha256" that does
// not match, and each installer's signer against the build's publisher pin:
// the shipped build is made without a pin, and says so.
TEST_F(ReleaseSite, PackageHashesAndSigners)
{
    std::string const right = ovl::test::Sha256Hex((Root() / "packages" / "signed.zip").wstring());
    std::string wrong = right;
    wrong[0] = wrong[0] == '0' ? '1' : '0';
    auto withHash = [](std::string file, std::string const& hash) {
        return file.insert(file.size() - 1, R"(, "sha256": ")" + hash + "\"");
    };
    auto const url = Site("hashes", Release("Orvelle 5.1.4", "stable",
                                            withHash(File("x64", {Signed}), right) + ", " +
                                                withHash(File("arm64", {Signed + "?arm"}), wrong)));
    Result const text = RunCheck({url, L"--mirrors", L"--milestone", L"stable"});
    std::printf("%s", text.Out.c_str());
    EXPECT_TRUE(Contains(text.Out, "Publisher pin: none in this build")) << text.Out;
    EXPECT_TRUE(Contains(text.Out, "package SHA-256 " + right)) << text.Out;
    EXPECT_TRUE(Contains(text.Out, "signed by \"Orvelle Test Code Signing\"")) << text.Out;
    EXPECT_TRUE(Contains(text.Out, "no publisher pin to match")) << text.Out;

    Result const r = RunCheck({url, L"--mirrors", L"--milestone", L"stable", L"--json"});
    EXPECT_EQ(r.Code, 1u) << r.Out << r.Err;
    auto const report = nlohmann::json::parse(r.Out);
    EXPECT_TRUE(report["publisher-pins"].empty());
    ASSERT_EQ(report["mirrors"].size(), 2u);
    EXPECT_EQ(report["mirrors"][0]["sha256"], right);
    EXPECT_EQ(report["mirrors"][0]["signer"], "Orvelle Test Code Signing");
    EXPECT_EQ(report["mirrors"][0]["signer-pinned"], true);
    EXPECT_EQ(report["mirrors"][1]["sha256"], right) << "the hash of what was downloaded, not the manifest's";
    EXPECT_EQ(report["problems"].get<std::vector<std::string>>(),
              std::vector<std::string>{"Orvelle 5.1.4 arm64 " + Signed +
                                       "?arm: Download failed: the package's SHA-256 does not match the manifest"});
}

TEST_F(ReleaseSite, BadArgumentsGiveTheUsage)
{
    Result const r = RunCheck({L"--arch", L"x86"});
    EXPECT_EQ(r.Code, 2u);
    EXPECT_TRUE(Contains(r.Err, "usage: ReleaseCheck.exe MANIFEST")) << r.Err;
}

} // namespace

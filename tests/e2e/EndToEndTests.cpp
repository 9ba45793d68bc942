// The real SetupDownloader.exe (the loopback build) under Wine and Xvfb,
// driven from outside as a user would: against the test server at the
// compiled-in loopback origin, with a configuration file beside a copy of the
// executable and the signed sample installer in the package.

#include "e2e/AppRun.h"
#include "install/ZipFixture.h"
#include "support/DesktopSupport.h"
#include "support/HttpTestSupport.h"
#include "support/ProxySettings.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ovl::test::e2e;
using ovl::test::RunFolders;

constexpr wchar_t ReportArg[] = L"\"--report=%REPORT%\"";

class EndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        PublishPackage(L"pkg-signed.zip", OVL_SIGNED_INSTALLER);
        PublishPackage(L"pkg-unsigned.zip", OVL_UNSIGNED_INSTALLER);
        PublishPackage(L"pkg-other-publisher.zip", OVL_OTHER_PUBLISHER_INSTALLER);
    }
    void SetUp() override { ASSERT_TRUE(RunFolders().empty()) << "a run folder was left before this test"; }
    void TearDown() override { EXPECT_TRUE(RunFolders().empty()) << "the run left its folder behind"; }
};

std::vector<std::string> ReportedArguments(std::wstring const& report)
{
    std::vector<std::string> arguments;
    if (!ovl::test::FileExists(report))
        return arguments;
    std::string const text = ovl::test::ReadBytes(report);
    size_t position = 0;
    while (position < text.size()) {
        size_t end = text.find('\n', position);
        std::string const line = text.substr(position, end - position);
        if (line.starts_with("argument ") && !line.starts_with("argument count"))
            arguments.push_back(line.substr(line.find(": ") + 2));
        position = end == std::string::npos ? text.size() : end + 1;
    }
    return arguments;
}

TEST_F(EndToEnd, InstallerExitsWithZero)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/SkipInitialPrompt", L"/S", L"\"C:\\Program Files\\Orvelle\"", ReportArg});
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    auto const arguments = ReportedArguments(run.Report());
    ASSERT_FALSE(arguments.empty()) << "the installer did not run";
    EXPECT_EQ(arguments[0], "/S");
    EXPECT_EQ(arguments[1], "C:\\Program Files\\Orvelle");
    for (auto const& argument : arguments)
        EXPECT_NE(argument, "/SkipInitialPrompt");
}

// Every method a package may use, unpacked by the shipped build's own
// libraries (a read-only libzip, a decoder-only Zstandard built for size).
TEST_F(EndToEnd, EveryCompressionMethodInstalls)
{
    struct Row {
        wchar_t const* Package;
        ovl::test::Method Method;
        int Frames;
    } const rows[] = {
        {L"pkg-stored.zip", ovl::test::Stored, 1}, {L"pkg-bzip2.zip", ovl::test::Bzip2, 1},
        {L"pkg-lzma.zip", ovl::test::Lzma, 1},     {L"pkg-xz.zip", ovl::test::Xz, 1},
        {L"pkg-zstd.zip", ovl::test::Zstd, 3},
    };
    for (auto const& row : rows) {
        PublishPackage(row.Package, OVL_SIGNED_INSTALLER, "Setup.exe", row.Method, row.Frames);
        PublishManifest("/" + ovl::test::Narrow(row.Package));
        AppRun run({L"/Passive", ReportArg});
        EXPECT_EQ(run.ExitCode(), 0x60000000u) << ovl::test::Narrow(row.Package);
        EXPECT_FALSE(ReportedArguments(run.Report()).empty()) << ovl::test::Narrow(row.Package);
    }
}

TEST_F(EndToEnd, RestartRequiredPromptWithSuppressReboot)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/SkipInitialPrompt", L"/SuppressReboot", L"--exit-code=3010"});
    EXPECT_EQ(run.WaitForStatus(L"The system must be restarted to finalize installation."),
              L"The system must be restarted to finalize installation.");
    EXPECT_EQ(run.Caption(), L"Restart");
    run.Press();
    EXPECT_EQ(run.ExitCode(), 3010u);
}

TEST_F(EndToEnd, RestartRequiredWithPassiveEndsAtOnce)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/Passive", L"--exit-code=3010"});
    EXPECT_EQ(run.ExitCode(), 3010u);
}

TEST_F(EndToEnd, ClosingTheRestartPromptGivesRestartRequired)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/SkipInitialPrompt", L"--exit-code=3010"});
    EXPECT_EQ(run.WaitForStatus(L"The system must be restarted to finalize installation."),
              L"The system must be restarted to finalize installation.");
    run.RequestClose();
    EXPECT_EQ(run.ExitCode(), 3010u);
}

TEST_F(EndToEnd, InstallerFailureAndInstallerCancel)
{
    PublishManifest("/pkg-signed.zip");
    {
        AppRun run({L"/SkipInitialPrompt", L"--exit-code=1603"});
        EXPECT_EQ(run.WaitForStatus(L"Installation of Orvelle failed (error: 1603, 0x00000643)."),
                  L"Installation of Orvelle failed (error: 1603, 0x00000643).");
        EXPECT_EQ(run.Caption(), L"Close");
        run.Press();
        EXPECT_EQ(run.ExitCode(), 1603u);
    }
    {
        AppRun run({L"/SkipInitialPrompt", L"--exit-code=1223"});
        EXPECT_EQ(run.WaitForStatus(L"Installation complete."), L"Installation complete.");
        run.Press();
        EXPECT_EQ(run.ExitCode(), 0u);
    }
}

TEST_F(EndToEnd, UnsignedInstallerIsNeverStarted)
{
    PublishManifest("/pkg-unsigned.zip");
    AppRun run({L"/SkipInitialPrompt", ReportArg});
    std::wstring const expected = L"The digital signature for Orvelle could not be verified. The download may have "
                                  L"been corrupted. (0x800B0100)";
    EXPECT_EQ(run.WaitForStatus(expected), expected);
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x800B0100u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report()));
}

TEST_F(EndToEnd, ReadyPromptWaitsAndClosingCancels)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({ReportArg});
    EXPECT_EQ(run.WaitForStatus(L"Orvelle is ready to be downloaded and installed."),
              L"Orvelle is ready to be downloaded and installed.");
    EXPECT_EQ(run.Caption(), L"Continue");
    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(run.WaitForStatus(L"Orvelle is ready to be downloaded and installed.", 1s),
              L"Orvelle is ready to be downloaded and installed."); // still waiting
    run.RequestClose();
    EXPECT_EQ(run.WaitForStatus(L"Installation was canceled."), L"Installation was canceled.");
    run.RequestClose();
    EXPECT_EQ(run.ExitCode(), 1223u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report()));
}

TEST_F(EndToEnd, ContinueStartsTheDownload)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({ReportArg});
    EXPECT_EQ(run.WaitForStatus(L"Orvelle is ready to be downloaded and installed."),
              L"Orvelle is ready to be downloaded and installed.");
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    EXPECT_TRUE(ovl::test::FileExists(run.Report()));
}

using ovl::test::TypeCtrlC;

TEST_F(EndToEnd, CancelDuringASlowDownloadAndCtrlC)
{
    PublishManifest("/pkg-signed.zip?slow_body=400");
    AppRun run({L"/SkipInitialPrompt", ReportArg});
    std::wstring const downloading = std::wstring(L"Downloading ") + DisplayNameW + L"...";
    EXPECT_EQ(run.WaitForStatus(downloading), downloading);

    // Ctrl+C copies the window's text while the download runs.
    ovl::test::ClearClipboard();
    HWND const window = run.Window();
    SetForegroundWindow(window);
    std::this_thread::sleep_for(200ms);
    TypeCtrlC();
    std::wstring copied;
    for (int i = 0; i < 100 && copied.empty(); ++i) {
        std::this_thread::sleep_for(30ms);
        copied = ovl::test::ClipboardText();
        if (copied.starts_with(L"(clipboard"))
            copied.clear();
    }
    EXPECT_TRUE(copied.starts_with(L"Orvelle Downloader\r\n\r\n" + downloading + L"\r\nProgress: ")) << copied.c_str();
    EXPECT_NE(copied.find(L"\r\nTotal progress: 0%\r\n[ Cancel ]\r\n\r\n1.0.0.0 x64\r\n"), std::wstring::npos)
        << copied.c_str();

    run.Press(); // Cancel
    EXPECT_EQ(run.WaitForStatus(L"Installation was canceled."), L"Installation was canceled.");
    EXPECT_EQ(run.Caption(), L"Close");
    run.Press();
    EXPECT_EQ(run.ExitCode(), 1223u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report()));
}

// Cancel while the server has stopped sending in the middle of the body (with
// data already buffered), and while it trickles odd-sized pieces: the run
// ends as canceled within a generous bound, and leaves nothing behind.
TEST_F(EndToEnd, CancelWhileTheServerStallsOrTrickles)
{
    struct Row {
        wchar_t const* Name;
        char const* Query;
        std::uint64_t CancelAfter; // bytes the server has sent
    } const rows[] = {
        {L"stall", "hang_after=100000&hang_ms=20000", 100000},
        {L"trickle", "trickle=3001:500", 9003},
    };
    std::wstring const downloading = std::wstring(L"Downloading ") + DisplayNameW + L"...";
    // The server must stop inside the body, not after it.
    ASSERT_GT(ovl::test::ReadBytes((Root() / L"pkg-signed.zip").wstring()).size(), 2 * rows[0].CancelAfter);
    for (auto const& row : rows) {
        std::wstring const id = ovl::test::UniqueId(row.Name);
        PublishManifest("/pkg-signed.zip?id=" + ovl::test::Narrow(id) + "&" + row.Query);
        AppRun run({L"/SkipInitialPrompt", ReportArg});
        EXPECT_EQ(run.WaitForStatus(downloading), downloading) << row.Name;
        for (int i = 0; i < 1000 && ovl::test::SentBytes(id) < row.CancelAfter; ++i)
            std::this_thread::sleep_for(20ms);
        std::this_thread::sleep_for(300ms);
        auto const pressed = std::chrono::steady_clock::now();
        run.Press(); // Cancel
        EXPECT_EQ(run.WaitForStatus(L"Installation was canceled."), L"Installation was canceled.") << row.Name;
        double const latency = std::chrono::duration<double>(std::chrono::steady_clock::now() - pressed).count();
        std::printf("%ls: \"Installation was canceled.\" %.3f s after Cancel\n", row.Name, latency);
        EXPECT_LT(latency, 2.0) << row.Name;
        run.Press();
        EXPECT_EQ(run.ExitCode(), 1223u) << row.Name;
        EXPECT_FALSE(ovl::test::FileExists(run.Report())) << row.Name;
        EXPECT_TRUE(RunFolders().empty()) << row.Name;
    }
}

TEST_F(EndToEnd, TenStallsEndTheRunWithTheStallMessage)
{
    PublishManifest("/pkg-signed.zip?hang=headers&hang_ms=30000");
    AppRun run({L"/SkipInitialPrompt", ReportArg});
    std::wstring const expected = L"Installation failed. There was an unhandled exception:\r\n\r\nDownload failed: "
                                  L"The server stopped responding";
    EXPECT_EQ(run.WaitForStatus(expected, 120s), expected);
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x80000000u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report()));
}

// Another program plants a DLL beside the installer while the package
// downloads: the installer is not started. Under Wine the folder's access
// control list keeps nobody out (Wine keeps none on files), so the check
// before the launch is what is seen here.
TEST_F(EndToEnd, AFilePlantedInTheFolderStopsTheInstaller)
{
    PublishManifest("/pkg-signed.zip?slow_body=300");
    AppRun run({L"/SkipInitialPrompt", ReportArg});
    std::wstring const downloading = std::wstring(L"Downloading ") + DisplayNameW + L"...";
    EXPECT_EQ(run.WaitForStatus(downloading), downloading);
    auto const folders = RunFolders();
    ASSERT_EQ(folders.size(), 1u);
    std::wstring const planted = folders[0] + L"\\version.dll";
    ovl::test::WriteBytes(planted, "not ours");
    std::wstring const expected = L"Installation failed. There was an unhandled exception:\r\n\r\n"
                                  L"The download folder was changed by another program";
    EXPECT_EQ(run.WaitForStatus(expected), expected);
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x80000000u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report())) << "the installer was started";
    // What is ours is gone; the planted file, not ours to delete, keeps the folder.
    std::vector<std::wstring> left;
    for (auto const& entry : fs::directory_iterator(folders[0]))
        left.push_back(entry.path().filename().wstring());
    EXPECT_EQ(left, std::vector<std::wstring>{L"version.dll"});
    fs::remove_all(folders[0]);
}

// Under Wine the location of a file whose path has 264 characters or more
// cannot be resolved: the run fails, and still leaves nothing behind.
TEST_F(EndToEnd, AnInstallerWhoseLocationCannotBeResolvedLeavesNothing)
{
    PublishPackage(L"pkg-long-name.zip", OVL_SIGNED_INSTALLER, std::string(251, 'n') + ".exe");
    PublishManifest("/pkg-long-name.zip");
    AppRun run({L"/SkipInitialPrompt", ReportArg});
    std::wstring const expected = L"Installation failed. There was an unhandled exception:\r\n\r\n"
                                  L"Could not resolve the location of the file";
    EXPECT_EQ(run.WaitForStatus(expected), expected);
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x80000000u);
}

// A folder named like a run's, with a partial package, that this program did
// not make (its DACL is the temporary folder's, not the protected one a run
// gives its folder: under Wine every folder reads back that way), and a
// second run under way. A new run leaves both alone, and the second then
// finishes as if nothing had happened. (The removal of a killed run's own
// folder is tested with the descriptors Windows would report, in
// DownloadFolderTests.)
TEST_F(EndToEnd, ForeignAndLiveFoldersAreLeftAlone)
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wstring const abandoned = std::wstring(temp) + L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-050403020100}";
    fs::create_directory(abandoned);
    ovl::test::WriteBytes(abandoned + L"\\orvelle.install.zip", "partial");

    PublishManifest("/pkg-signed.zip?slow_body=300");
    AppRun slow({L"/Passive", ReportArg}); // its package takes seconds to download
    std::wstring const downloading = std::wstring(L"Downloading ") + DisplayNameW + L"...";
    EXPECT_EQ(slow.WaitForStatus(downloading), downloading);
    ASSERT_TRUE(fs::exists(abandoned + L"\\orvelle.install.zip")) << "a folder this program did not make was swept";
    fs::remove_all(abandoned);
    auto const live = RunFolders();
    ASSERT_EQ(live.size(), 1u);

    PublishManifest("/pkg-signed.zip");
    AppRun quick({L"/Passive"});
    EXPECT_EQ(quick.ExitCode(), 0x60000000u);
    EXPECT_TRUE(fs::exists(live[0])) << "a live run's folder was removed";
    EXPECT_EQ(slow.ExitCode(), 0x60000000u);
    EXPECT_FALSE(ReportedArguments(slow.Report()).empty()) << "the slower run's installer did not run";
}

TEST_F(EndToEnd, ServerAnsweringNotFound)
{
    PublishManifest("/missing.zip");
    std::wstring const expected = L"Installation failed. There was an unhandled exception:\r\n\r\nDownload failed: "
                                  L"Response status code does not indicate success: 404 (Not Found).";
    {
        AppRun run({L"/SkipInitialPrompt"});
        EXPECT_EQ(run.WaitForStatus(expected), expected);
        run.Press();
        EXPECT_EQ(run.ExitCode(), 0x80000000u);
    }
    {
        AppRun run({L"/SkipInitialPrompt", L"/SkipErrorPrompts"});
        EXPECT_EQ(run.ExitCode(), 0x80000000u);
    }
}

// Deployment agents start the program hidden. Nothing waits with /Passive, so
// the run may stay hidden; any other hidden start shows the window, since its
// prompts wait for the user.
TEST_F(EndToEnd, HiddenPassiveStartEndsWithTheInstallersResult)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/Passive", ReportArg}, Config(), SW_HIDE);
    bool everVisible = false;
    for (int i = 0; i < 1200 && !run.ExitCode(0s); ++i) // at most about a minute
        everVisible = everVisible || run.Visible(0s);
    EXPECT_FALSE(everVisible) << "a hidden start with /Passive showed the window";
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    EXPECT_FALSE(ReportedArguments(run.Report()).empty()) << "the installer did not run";
}

TEST_F(EndToEnd, HiddenStartShowsTheReadyPrompt)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({ReportArg}, Config(), SW_HIDE);
    EXPECT_EQ(run.WaitForStatus(L"Orvelle is ready to be downloaded and installed."),
              L"Orvelle is ready to be downloaded and installed.");
    EXPECT_TRUE(run.Visible());
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    EXPECT_FALSE(ReportedArguments(run.Report()).empty()) << "the installer did not run";
}

TEST_F(EndToEnd, MinimizedStartRunsToTheEnd)
{
    PublishManifest("/pkg-signed.zip");
    for (WORD show : {WORD{SW_SHOWMINNOACTIVE}, WORD{SW_MINIMIZE}}) {
        AppRun run({L"/SkipInitialPrompt", L"--exit-code=1603"}, Config(), show);
        EXPECT_EQ(run.WaitForStatus(L"Installation of Orvelle failed (error: 1603, 0x00000643)."),
                  L"Installation of Orvelle failed (error: 1603, 0x00000643).") << "show command " << show;
        run.Press();
        EXPECT_EQ(run.ExitCode(), 1603u) << "show command " << show;
    }
}

TEST_F(EndToEnd, InstallAppFalseDownloadsNothing)
{
    PublishManifest("/pkg-signed.zip");
    size_t const before = ovl::test::RequestsFor(L"/updates/v9/manifest.test.json").size();
    AppRun run({}, Config(false));
    EXPECT_EQ(run.WaitForStatus(L"Installation complete."), L"Installation complete.");
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0u);
    EXPECT_EQ(ovl::test::RequestsFor(L"/updates/v9/manifest.test.json").size(), before);
}

// Finds the message box the process shows and gives its text; then dismisses it.
std::wstring TakeMessageBox(AppRun& run)
{
    HWND const box = run.Window(L"#32770");
    if (!box)
        return L"(no message box)";
    // The box exists a moment before its title and text are set.
    wchar_t title[64] = {};
    std::wstring text;
    for (int i = 0; i < 200; ++i) {
        GetWindowTextW(box, title, 64);
        text = AppRun::Text(GetDlgItem(box, 0xFFFF));
        if (title[0] && !text.empty() && IsWindowVisible(box))
            break;
        std::this_thread::sleep_for(25ms);
    }
    PostMessageW(box, WM_COMMAND, IDOK, 0);
    return std::wstring(title) + L"|" + text;
}

TEST_F(EndToEnd, NoConfigurationFileShowsAMessageBox)
{
    AppRun run({}, std::nullopt);
    EXPECT_EQ(TakeMessageBox(run), L"Error|Unhandled exception:\r\n\r\nCould not open configuration file");
    EXPECT_EQ(run.ExitCode(), 0x80000000u);
}

TEST_F(EndToEnd, ConfigurationMissingAKeyGivesTheJsonError)
{
    AppRun run({}, Config(true, false));
    std::wstring const shown = TakeMessageBox(run);
    EXPECT_TRUE(shown.starts_with(L"Error|Unhandled exception:\r\n\r\n")) << shown.c_str();
    EXPECT_NE(shown.find(L"\"Test\""), std::wstring::npos) << shown.c_str();
    EXPECT_EQ(run.ExitCode(), 0x83750009u); // WEB_E_JSON_VALUE_NOT_FOUND
}

// Run by ctest in the prefix kept for proxy settings, with a recording proxy:
// the manifest and the package both go through the user's proxy.
// The loopback build pins the test certificate: an installer that another
// publisher signed is refused although Windows (here Wine, which trusts any
// chain) trusts its signature; the pinned one runs (every test above).
TEST_F(EndToEnd, AnInstallerSignedByAnotherPublisherIsNeverStarted)
{
    PublishManifest("/pkg-other-publisher.zip");
    AppRun run({L"/SkipInitialPrompt", ReportArg});
    std::wstring const expected =
        L"The installer for Orvelle is not signed by its publisher (it is signed by \"Some Other Publisher\").";
    EXPECT_EQ(run.WaitForStatus(expected), expected);
    run.Press();
    EXPECT_EQ(run.ExitCode(), 0x80000000u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report())) << "the other publisher's installer was started";
}

// A "sha256" in the manifest: the package must have it before it is unpacked.
TEST_F(EndToEnd, APackageWhoseHashDiffersFromTheManifestIsNeverUnpacked)
{
    std::string const right = ovl::test::Sha256Hex((Root() / L"pkg-signed.zip").wstring());
    std::string wrong = right;
    wrong[10] = wrong[10] == '0' ? '1' : '0';
    {
        PublishManifest("/pkg-signed.zip", R"(, "sha256": ")" + wrong + R"(")");
        AppRun run({L"/SkipInitialPrompt", ReportArg});
        std::wstring const expected = L"Installation failed. There was an unhandled exception:\r\n\r\n"
                                      L"Download failed: the package's SHA-256 does not match the manifest";
        EXPECT_EQ(run.WaitForStatus(expected), expected);
        run.Press();
        EXPECT_EQ(run.ExitCode(), 0x80000000u);
        EXPECT_FALSE(ovl::test::FileExists(run.Report()));
    }
    {
        PublishManifest("/pkg-signed.zip", R"(, "sha256": ")" + right + R"(")");
        AppRun run({L"/Passive", ReportArg});
        EXPECT_EQ(run.ExitCode(), 0x60000000u);
        EXPECT_TRUE(ovl::test::FileExists(run.Report()));
    }
}

// The arguments reach the installer exactly as the program received them,
// and the installer is started by its ordinary path, not a \\?\ one.
TEST_F(EndToEnd, ArgumentsReachTheInstallerIntact)
{
    PublishManifest("/pkg-signed.zip");
    struct Row {
        wchar_t const* OnOurCommandLine; // as a script would quote it for us
        char const* Received;
    } const rows[] = {
        {L"x\\\"y", "x\"y"},
        {L"\"a \\\"b c\"", "a \"b c"},
        {L"a\\\\\\\"b", "a\\\"b"},
        {L"\"C:\\dir name\\\\\"", "C:\\dir name\\"},
        {L"\"\"", ""},
        {L"/S", "/S"},
    };
    std::vector<std::wstring> args = {L"/Passive"};
    std::vector<std::string> expected;
    for (auto const& row : rows) {
        args.push_back(row.OnOurCommandLine);
        expected.push_back(row.Received);
    }
    args.push_back(ReportArg);
    AppRun run(args);
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    auto const received = ReportedArguments(run.Report());
    ASSERT_FALSE(received.empty()) << "the installer did not run";
    EXPECT_EQ(std::vector<std::string>(received.begin(), received.end() - 1), expected);
    std::string const report = ovl::test::ReadBytes(run.Report());
    EXPECT_EQ(report.find("\\\\?\\"), std::string::npos) << report;
}

// An installer that exits with 1641 has started the restart itself: no
// failure screen, the run ends at once with 1641.
TEST_F(EndToEnd, AnInstallerThatStartedTheRestartEndsWith1641)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/SkipInitialPrompt", L"--exit-code=1641"});
    EXPECT_EQ(run.ExitCode(30s), 1641u);
}

TEST(EndToEndProxy, TheRunGoesThroughTheUsersProxy)
{
    ovl::test::ProxySettingsGuard const guard;
    std::string const proxy = ovl::test::Narrow(ovl::test::Env("OVL_TEST_PROXY"));
    ovl::test::SetUserProxy(ovl::test::ProxyFixed, proxy);
    PublishPackage(L"pkg-signed.zip", OVL_SIGNED_INSTALLER);
    PublishManifest("/pkg-signed.zip?id=through-proxy");
    AppRun run({L"/Passive", ReportArg});
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    std::string const log = ovl::test::FetchText(L"http://" + ovl::test::Env("OVL_TEST_PROXY") + L"/_log");
    EXPECT_NE(log.find("/updates/v9/manifest.test.json"), std::string::npos) << log;
    EXPECT_NE(log.find("/pkg-signed.zip?id=through-proxy"), std::string::npos) << log;
}

// Run by ctest in the prefixes that report build 18362 and Windows 7 SP1; no
// server is needed. Wine exports the newer functions on every version it
// imitates, so only the import-table check shows that the real loader of an
// older Windows accepts the program: these runs show what it then says.
TEST(EndToEndOlderWindows, EndsWithOsNotSupported)
{
    AppRun run({L"/SkipInitialPrompt"});
    EXPECT_EQ(run.WaitForStatus(L"Windows 10 v21H2 or newer is required."), L"Windows 10 v21H2 or newer is required.");
    EXPECT_EQ(run.Caption(), L"Close");
    run.Press();
    EXPECT_EQ(run.ExitCode(), 1150u);
}

TEST(EndToEndOlderWindows, SkipErrorPromptsEndsAtOnce)
{
    AppRun run({L"/SkipErrorPrompts"});
    EXPECT_EQ(run.ExitCode(std::chrono::seconds(30)), 1150u);
}

} // namespace

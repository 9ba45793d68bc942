// The real SetupDownloader.exe driven from the keyboard alone, with real key
// presses under Xvfb: Enter and Space press the button, Esc does what the
// close box does, at the ready prompt, during a download and at end screens.

#include "e2e/AppRun.h"
#include "support/DesktopSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

using namespace ovl::test::e2e;
using ovl::test::BringToFront;
using ovl::test::TypeKey;

constexpr wchar_t Ready[] = L"Orvelle is ready to be downloaded and installed.";
constexpr wchar_t ReportArg[] = L"\"--report=%REPORT%\"";

class Keyboard : public ::testing::Test {
protected:
    static void SetUpTestSuite() { PublishPackage(L"pkg-signed.zip", OVL_SIGNED_INSTALLER); }
    void TearDown() override { EXPECT_TRUE(ovl::test::RunFolders().empty()) << "the run left its folder behind"; }
};

char const* KeyName(WORD key)
{
    switch (key) {
    case VK_RETURN:
        return "Enter";
    case VK_SPACE:
        return "Space";
    case VK_ESCAPE:
        return "Esc";
    default:
        return "?";
    }
}

// Enter or Space at the ready prompt continues: the installer runs and its
// code ends the run (the success screen is skipped).
TEST_F(Keyboard, EnterOrSpaceAtTheReadyPromptContinues)
{
    PublishManifest("/pkg-signed.zip");
    for (WORD const key : {WORD{VK_RETURN}, WORD{VK_SPACE}}) {
        AppRun run({L"/SkipSuccessPrompt", ReportArg});
        ASSERT_EQ(run.WaitForStatus(Ready), Ready) << KeyName(key);
        BringToFront(run.Window());
        TypeKey(key);
        EXPECT_EQ(run.ExitCode(), 0x60000000u) << KeyName(key) << " did not continue";
        EXPECT_TRUE(ovl::test::FileExists(run.Report())) << KeyName(key) << ": the installer did not run";
    }
}

// Esc at the ready prompt is the close box: the run is canceled.
TEST_F(Keyboard, EscAtTheReadyPromptCancels)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({ReportArg});
    ASSERT_EQ(run.WaitForStatus(Ready), Ready);
    BringToFront(run.Window());
    TypeKey(VK_ESCAPE);
    EXPECT_EQ(run.WaitForStatus(L"Installation was canceled."), L"Installation was canceled.");
    TypeKey(VK_ESCAPE); // the close box at an end screen closes
    EXPECT_EQ(run.ExitCode(), 1223u);
    EXPECT_FALSE(ovl::test::FileExists(run.Report()));
}

// Esc during a download cancels it, as the close box does; then the key
// given closes the end screen, and the run ends with the cancellation's code.
TEST_F(Keyboard, EscDuringADownloadCancelsAndAKeyClosesTheEndScreen)
{
    std::wstring const downloading = std::wstring(L"Downloading ") + DisplayNameW + L"...";
    for (WORD const closeKey : {WORD{VK_RETURN}, WORD{VK_SPACE}}) {
        PublishManifest("/pkg-signed.zip?slow_body=400&id=" + ovl::test::Narrow(ovl::test::UniqueId(L"esc")));
        AppRun run({L"/SkipInitialPrompt", ReportArg});
        ASSERT_EQ(run.WaitForStatus(downloading), downloading) << KeyName(closeKey);
        BringToFront(run.Window());
        TypeKey(VK_ESCAPE);
        EXPECT_EQ(run.WaitForStatus(L"Installation was canceled."), L"Installation was canceled.")
            << KeyName(closeKey);
        EXPECT_EQ(run.Caption(), L"Close");
        TypeKey(closeKey);
        EXPECT_EQ(run.ExitCode(), 1223u) << KeyName(closeKey) << " did not close the end screen";
        EXPECT_FALSE(ovl::test::FileExists(run.Report()));
    }
}

// Enter at the end screen of a failed installer closes it, and the process
// ends with the installer's code.
TEST_F(Keyboard, EnterAtAFailureScreenEndsWithTheRunsCode)
{
    PublishManifest("/pkg-signed.zip");
    AppRun run({L"/SkipInitialPrompt", L"--exit-code=1603"});
    std::wstring const failed = L"Installation of Orvelle failed (error: 1603, 0x00000643).";
    ASSERT_EQ(run.WaitForStatus(failed), failed);
    BringToFront(run.Window());
    TypeKey(VK_RETURN);
    EXPECT_EQ(run.ExitCode(), 1603u);
}

} // namespace

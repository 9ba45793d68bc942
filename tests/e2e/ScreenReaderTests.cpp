// What a screen reader reads from the real SetupDownloader.exe, from another
// process as a screen reader does: the accessible names of the controls
// through oleacc. (The events that announce a new status are tested in the
// window's own tests: Wine delivers win events only to hooks of the thread
// that raises them, never to a screen reader's process.)

#include "e2e/AppRun.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <objbase.h>
#include <oleacc.h>

#include <chrono>
#include <cwchar>
#include <string>

namespace {

using namespace ovl::test::e2e;
using namespace std::chrono_literals;

class ComApartment {
public:
    ComApartment() { CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

// The accessible name of a control's client object, as MSAA gives it.
std::wstring AccessibleName(HWND control)
{
    IAccessible* accessible = nullptr;
    HRESULT const found =
        AccessibleObjectFromWindow(control, OBJID_CLIENT, __uuidof(IAccessible), reinterpret_cast<void**>(&accessible));
    if (FAILED(found) || !accessible) {
        wchar_t text[64];
        swprintf(text, 64, L"(no accessible object: 0x%08lX)", static_cast<unsigned long>(found));
        return text;
    }
    VARIANT self{};
    self.vt = VT_I4;
    self.lVal = CHILDID_SELF;
    BSTR name = nullptr;
    HRESULT const read = accessible->get_accName(self, &name);
    std::wstring result = read == S_OK && name ? std::wstring(name, SysStringLen(name)) : L"(no name)";
    SysFreeString(name);
    accessible->Release();
    return result;
}

class ScreenReader : public ::testing::Test {
protected:
    static void SetUpTestSuite() { PublishPackage(L"pkg-signed.zip", OVL_SIGNED_INSTALLER); }
    void TearDown() override { EXPECT_TRUE(ovl::test::RunFolders().empty()) << "the run left its folder behind"; }
    ComApartment com;
};

// During a download every control a screen reader stops at has a name: the
// button its caption, the task bar the status above it, the total bar the
// label above it; the task bar's name follows the status.
TEST_F(ScreenReader, EveryControlIsNamed)
{
    PublishManifest("/pkg-signed.zip?slow_body=400&id=" + ovl::test::Narrow(ovl::test::UniqueId(L"reader")));
    AppRun run({L"/SkipInitialPrompt"});
    std::wstring const downloading = std::wstring(L"Downloading ") + DisplayNameW + L"...";
    ASSERT_EQ(run.WaitForStatus(downloading), downloading);
    HWND const window = run.Window();

    struct Row {
        int Id;
        wchar_t const* Control;
        std::wstring Expected;
    } const rows[] = {
        {104, L"button", L"Cancel"},
        {101, L"task progress bar", downloading},
        {103, L"total progress bar", L"Total progress"},
        {100, L"status text", downloading},
    };
    for (auto const& row : rows) {
        std::wstring const name = AccessibleName(GetDlgItem(window, row.Id));
        std::printf("accessible name of the %ls: \"%ls\"\n", row.Control, name.c_str());
        EXPECT_EQ(name, row.Expected) << ovl::test::Narrow(row.Control);
    }

    run.RequestClose(); // cancels: the status changes, and the task bar's name with it
    EXPECT_EQ(run.WaitForStatus(L"Installation was canceled."), L"Installation was canceled.");
    EXPECT_EQ(AccessibleName(GetDlgItem(window, 101)), L"Installation was canceled.");
    EXPECT_EQ(AccessibleName(GetDlgItem(window, 104)), L"Close");
    run.RequestClose();
    EXPECT_EQ(run.ExitCode(), 1223u);
}

} // namespace

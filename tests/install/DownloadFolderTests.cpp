#include "install/DownloadFolder.h"

#include "install/FileProbe.h"
#include "install/PinnedFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <sddl.h>

#include <filesystem>
#include <optional>
#include <regex>
#include <string>
#include <vector>

namespace ovl::setup {
namespace {

namespace fs = std::filesystem;
using ovl::test::FailureOf;
using ovl::test::Probe;

struct ComApartment {
    ComApartment() { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    ~ComApartment() { CoUninitialize(); }
};

std::wstring TempFolder()
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    return temp;
}

TEST(DownloadFolder, NamedWithABracedGuidAndRemovedOnlyWhenEmpty)
{
    ComApartment const com;
    // Each is held at once, as the workflow holds its own: an unheld one
    // would count as abandoned when the next is created.
    std::wstring const first = CreateDownloadFolder();
    std::optional<DownloadFolderGuard> firstHeld(first);
    std::wstring const second = CreateDownloadFolder();
    std::optional<DownloadFolderGuard> secondHeld(second);
    EXPECT_NE(first, second);
    std::wregex const pattern(L"OvlSetupDownloader\\.\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    for (auto const& folder : {first, second}) {
        EXPECT_EQ(fs::path(folder).parent_path(), fs::path(TempFolder()).parent_path());
        EXPECT_TRUE(std::regex_match(fs::path(folder).filename().wstring(), pattern)) << folder.c_str();
        EXPECT_TRUE(fs::is_directory(folder));
    }
    firstHeld.reset();
    EXPECT_FALSE(fs::exists(first));

    ovl::test::WriteBytes(second + L"\\left.bin", "x");
    secondHeld.reset();
    EXPECT_TRUE(fs::exists(second)); // not empty: stays
    fs::remove_all(second);
    { DownloadFolderGuard empty(L""); }
}

std::wstring SidText(PSID sid)
{
    wchar_t* text = nullptr;
    ConvertSidToStringSidW(sid, &text);
    std::wstring result = text ? text : L"";
    LocalFree(text);
    return result;
}

std::wstring UserSidText()
{
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    std::vector<BYTE> buffer(256);
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, buffer.data(), static_cast<DWORD>(buffer.size()), &size);
    CloseHandle(token);
    return SidText(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid);
}

struct Dacl {
    bool Protected = false;
    std::vector<std::wstring> Entries; // "type flags mask sid"
};

Dacl ReadDacl(PSECURITY_DESCRIPTOR descriptor)
{
    Dacl dacl;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    dacl.Protected = (control & SE_DACL_PROTECTED) != 0;
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL acl = nullptr;
    GetSecurityDescriptorDacl(descriptor, &present, &acl, &defaulted);
    for (DWORD i = 0; acl && i < acl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        GetAce(acl, i, reinterpret_cast<void**>(&ace));
        wchar_t text[64];
        swprintf(text, 64, L"%u %#x %#lx ", ace->Header.AceType, ace->Header.AceFlags, ace->Mask);
        dacl.Entries.push_back(text + SidText(&ace->SidStart));
    }
    return dacl;
}

// Nobody but the user, SYSTEM and the Administrators may plant a file in the
// folder from which the (often elevated) installer is started. Wine keeps no
// access control list on files (it turns the descriptor into Unix mode bits
// and makes one up from them when asked), so what can be shown here is the
// descriptor the folder is created with, not the one read back from it, and
// not its inheritance by the files created inside.
TEST(DownloadFolder, CreatedProtectedForTheUserSystemAndAdministratorsOnly)
{
    UniqueLocalMemory const descriptor = DownloadFolderSecurity();
    ASSERT_TRUE(descriptor);
    EXPECT_TRUE(IsValidSecurityDescriptor(descriptor.Get()));
    Dacl const dacl = ReadDacl(descriptor.Get());
    EXPECT_TRUE(dacl.Protected) << "the folder would inherit from the temporary folder";
    std::vector<std::wstring> const expected = {
        L"0 0x3 0x1f01ff " + UserSidText(), // allowed, object and container inherit, full control
        L"0 0x3 0x1f01ff S-1-5-18",         // SYSTEM
        L"0 0x3 0x1f01ff S-1-5-32-544",     // the Administrators group
    };
    EXPECT_EQ(dacl.Entries, expected);
}

// A live run holds its folder: no one removes or renames it meanwhile.
TEST(DownloadFolder, ALiveRunsFolderCannotBeRemovedOrRenamed)
{
    ComApartment const com;
    DownloadFolderGuard const folder(CreateDownloadFolder());
    EXPECT_EQ(Probe(L"remove-folder", folder.GetPath()), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Probe(L"rename", folder.GetPath()), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(fs::is_directory(folder.GetPath()));
}

TEST(DownloadFolder, AbandonedFoldersGoLiveOnesStay)
{
    ComApartment const com;
    std::wstring const temp = TempFolder();
    // Left by a killed run: a partial package in a folder nobody holds.
    std::wstring const abandoned = temp + L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-050403020100}";
    fs::create_directory(abandoned);
    ovl::test::WriteBytes(abandoned + L"\\orvelle.install.zip", "partial");
    // Not a download folder by its name.
    std::wstring const other = temp + L"OvlSetupDownloader.not-a-guid";
    fs::create_directory(other);
    // A live run, with its package held.
    DownloadFolderGuard const live(CreateDownloadFolder()); // removes the abandoned folder
    PinnedFile package(live.GetPath() + L"\\orvelle.install.zip", PinnedFileAccess::ReadWrite);
    package.Write("downloading", 11);

    EXPECT_FALSE(fs::exists(abandoned));
    RemoveAbandonedDownloadFolders(); // as another run starting now would
    EXPECT_TRUE(fs::exists(live.GetPath() + L"\\orvelle.install.zip"));
    EXPECT_TRUE(fs::is_directory(other));
    fs::remove(other);
}

TEST(DownloadFolder, Names)
{
    struct Row {
        wchar_t const* Name;
        bool Expected;
    } const rows[] = {
        {L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-050403020100}", true},
        {L"ovlsetupdownloader.{0f0e0d0c-0b0a-0908-0706-050403020100}", true},
        {L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-050403020100", false},
        {L"OvlSetupDownloader.0F0E0D0C-0B0A-0908-0706-050403020100}", false},
        {L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-05040302010G}", false},
        {L"OvlSetupDownloader.{0F0E0D0C+0B0A-0908-0706-050403020100}", false},
        {L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-050403020100}x", false},
        {L"Other.{0F0E0D0C-0B0A-0908-0706-050403020100}", false},
        {L"OvlSetupDownloader.", false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(IsDownloadFolderName(row.Name), row.Expected) << row.Name;
}

TEST(DownloadFolder, HoldsOnlyTheInstaller)
{
    ComApartment const com;
    DownloadFolderGuard const held(CreateDownloadFolder()); // listed while a run holds it
    std::wstring const folder = held.GetPath();
    PinnedFile installer(folder + L"\\Setup.exe", PinnedFileAccess::WriteOnly);
    EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"Setup.exe"); }), "(no failure)");
    EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"SETUP.EXE"); }), "(no failure)");
    EXPECT_EQ(Probe(L"create-in", folder), 0u); // planted.dll
    EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"Setup.exe"); }),
              "The download folder was changed by another program");
    DeleteFileW((folder + L"\\planted.dll").c_str());
    fs::create_directory(folder + L"\\sub");
    EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"Setup.exe"); }),
              "The download folder was changed by another program");
    fs::remove(folder + L"\\sub");
    EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder + L"\\gone", L"Setup.exe"); }),
              "The download folder was changed by another program"); // what cannot be listed is not trusted
}

} // namespace
} // namespace ovl::setup

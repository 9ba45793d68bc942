#include "install/DownloadFolder.h"

#include "install/FileProbe.h"
#include "install/PinnedFile.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <objbase.h>
#include <sddl.h>

#include <aclapi.h>

#include <algorithm>
#include <filesystem>
#include <map>
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
    std::optional<DownloadFolderGuard> firstHeld(std::in_place, CreateDownloadFolder());
    std::optional<DownloadFolderGuard> secondHeld(std::in_place, CreateDownloadFolder());
    std::wstring const first = firstHeld->GetPath();
    std::wstring const second = secondHeld->GetPath();
    EXPECT_NE(first, second);
    std::wregex const pattern(L"OvlSetupDownloader\\.\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    for (auto const& folder : {first, second}) {
        EXPECT_EQ(fs::path(folder).parent_path(), fs::path(TempFolder()).parent_path());
        EXPECT_TRUE(std::regex_match(fs::path(folder).filename().wstring(), pattern)) << folder.c_str();
        EXPECT_TRUE(fs::is_directory(folder));
    }
    firstHeld.reset();
    EXPECT_FALSE(fs::exists(first));

    ovl::test::WriteBytes(second + L"\\left.bin", "x"); // not the run's own file: it stays, and so does the folder
    secondHeld.reset();
    EXPECT_TRUE(fs::exists(second + L"\\left.bin"));
    fs::remove_all(second);
    { DownloadFolderGuard nothing(CreatedDownloadFolder{}); } // holds nothing, removes nothing
}

// GetTempPath2W as documented for a process running as SYSTEM: the folder
// that only SYSTEM may write to. Wine 8 has no GetTempPath2W, and no test
// here runs as SYSTEM: only Windows shows the real answer.
DWORD WINAPI SystemTempPath2(DWORD size, LPWSTR buffer)
{
    static wchar_t const path[] = L"C:\\Windows\\SystemTemp\\";
    DWORD const length = static_cast<DWORD>(std::size(path) - 1);
    if (size <= length)
        return length + 1;
    wcscpy(buffer, path);
    return length;
}

TEST(DownloadFolder, TemporaryFilesFolderIsGetTempPath2sWhereItExists)
{
    EXPECT_EQ(TemporaryFilesFolder(&SystemTempPath2), L"C:\\Windows\\SystemTemp\\");
    EXPECT_EQ(TemporaryFilesFolder(nullptr), TempFolder()); // GetTempPathW's
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

// The hold asks for no deletion access of its own: opens that do not share
// deletion (changing into the folder, FindFirstFileW) still succeed, so an
// installer that changes into its own folder works.
TEST(DownloadFolder, ALiveRunsFolderCanBeEnteredAndListed)
{
    ComApartment const com;
    DownloadFolderGuard const folder(CreateDownloadFolder());
    EXPECT_EQ(Probe(L"enter-and-list", folder.GetPath()), 0u);
}

UniqueLocalMemory DescriptorOf(std::wstring const& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr);
    return UniqueLocalMemory(descriptor);
}

std::wstring FolderNameOf(HANDLE folder)
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD const length = GetFinalPathNameByHandleW(folder, path, MAX_PATH * 2, 0);
    return fs::path(std::wstring(path, length)).filename().wstring();
}

// Wine keeps no descriptors on files: it makes one up from the Unix mode
// (never a protected DACL), so the folders' descriptors are given here as
// Windows would report them, by folder name. Everything else (the listing,
// the hold, the deletions relative to the folder's handle) is the real thing.
TEST(DownloadFolder, AbandonedFoldersOfOurOwnGoLiveOnesAndOthersStay)
{
    ComApartment const com;
    std::wstring const temp = TempFolder();
    std::wstring const user = UserSidText();
    std::wstring const ours = L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    struct Row {
        wchar_t const* Name;
        std::wstring Owner; // empty: the folder is not one named like ours and is never asked about
        std::wstring Dacl;
        bool Removed;
    } const rows[] = {
        // Left by a killed run of this user: a partial package in a folder nobody holds.
        {L"OvlSetupDownloader.{0F0E0D0C-0B0A-0908-0706-050403020100}", user, ours, true},
        // Left by a killed run after it had sealed its folder.
        {L"OvlSetupDownloader.{1F0E0D0C-0B0A-0908-0706-050403020100}", user,
         L"D:P(A;;0x1300a9;;;" + user + L")(A;;0x1200a9;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", true},
        // Planted by another account (in a temporary folder all may write to).
        {L"OvlSetupDownloader.{2F0E0D0C-0B0A-0908-0706-050403020100}", L"S-1-5-21-1-2-3-1001",
         L"D:P(A;OICI;FA;;;S-1-5-21-1-2-3-1001)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false},
        // Ours by its owner, but with what the temporary folder passes on.
        {L"OvlSetupDownloader.{3F0E0D0C-0B0A-0908-0706-050403020100}", user,
         L"D:AI(A;OICIID;FA;;;" + user + L")(A;OICIID;FA;;;SY)(A;OICIID;FA;;;BA)", false},
        // Ours by its owner, with one entry more (Everyone may write).
        {L"OvlSetupDownloader.{4F0E0D0C-0B0A-0908-0706-050403020100}", user, ours + L"(A;OICI;FA;;;WD)", false},
        // Not a download folder by its name.
        {L"OvlSetupDownloader.not-a-guid", L"", L"", false},
    };
    static std::map<std::wstring, std::wstring> descriptors;
    static std::vector<std::wstring> asked;
    descriptors.clear();
    asked.clear();
    for (auto const& row : rows) {
        fs::create_directory(temp + row.Name);
        ovl::test::WriteBytes(temp + row.Name + L"\\orvelle.install.zip", "partial");
        if (!row.Owner.empty())
            descriptors[row.Name] = L"O:" + row.Owner + row.Dacl;
    }
    FolderSecurityReader const asWindowsWould = [](HANDLE folder) {
        std::wstring const name = FolderNameOf(folder);
        asked.push_back(name);
        auto const found = descriptors.find(name);
        return found == descriptors.end() ? UniqueLocalMemory() : DescriptorOf(found->second);
    };
    // A live run, with its package held.
    DownloadFolderGuard const live(CreateDownloadFolder());
    PinnedFile package(live.GetPath() + L"\\orvelle.install.zip", PinnedFileAccess::ReadWrite);
    package.Write("downloading", 11);
    descriptors[fs::path(live.GetPath()).filename().wstring()] = L"O:" + user + ours;

    RemoveAbandonedDownloadFolders(asWindowsWould); // as another run starting now would
    for (auto const& row : rows) {
        EXPECT_EQ(fs::exists(temp + row.Name), !row.Removed) << row.Name;
        fs::remove_all(temp + row.Name);
    }
    EXPECT_TRUE(fs::exists(live.GetPath() + L"\\orvelle.install.zip"));
    // The live run's folder is never opened far enough to be asked about.
    EXPECT_EQ(std::count(asked.begin(), asked.end(), fs::path(live.GetPath()).filename().wstring()), 0);
}

// Owners and DACLs as Windows reports them, for a process that is elevated
// and one that is not.
TEST(DownloadFolder, OwnFolderSecurity)
{
    std::wstring const user = L"S-1-5-21-7-8-9-1000";
    std::wstring const created = L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    std::wstring const sealed = L"D:P(A;;0x1300a9;;;" + user + L")(A;;0x1200a9;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    struct Row {
        wchar_t const* Description;
        std::wstring Descriptor;
        bool Elevated;
        bool Expected;
    } const rows[] = {
        {L"created, owned by the user", L"O:" + user + created, false, true},
        {L"sealed, owned by the user", L"O:" + user + sealed, false, true},
        {L"created by an elevated run, owned by the Administrators", L"O:BA" + created, true, true},
        {L"owned by the Administrators, run not elevated", L"O:BA" + created, false, false},
        {L"owned by another user", L"O:S-1-5-21-7-8-9-1001" + created, false, false},
        {L"owned by SYSTEM", L"O:SY" + created, true, false},
        {L"DACL not protected", L"O:" + user + L"D:(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false,
         false},
        {L"another user's full control", L"O:" + user + L"D:P(A;OICI;FA;;;S-1-5-21-7-8-9-1001)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
         false, false},
        {L"an entry more", L"O:" + user + created + L"(A;;FA;;;WD)", false, false},
        {L"an entry less", L"O:" + user + L"D:P(A;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)", false, false},
        {L"a denial in place of a grant", L"O:" + user + L"D:P(D;OICI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
         false, false},
        {L"other inheritance", L"O:" + user + L"D:P(A;CI;FA;;;" + user + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", false,
         false},
        {L"no DACL at all", L"O:" + user, false, false},
    };
    for (auto const& row : rows) {
        UniqueLocalMemory const descriptor = DescriptorOf(row.Descriptor);
        ASSERT_TRUE(descriptor) << row.Description;
        EXPECT_EQ(IsOwnFolderSecurity(descriptor.Get(), user, row.Elevated), row.Expected) << row.Description;
    }
    EXPECT_FALSE(IsOwnFolderSecurity(nullptr, user, false));
}

// The mandatory label of a descriptor: "type flags mask sid", or empty.
std::wstring ReadLabel(PSECURITY_DESCRIPTOR descriptor)
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL sacl = nullptr;
    GetSecurityDescriptorSacl(descriptor, &present, &sacl, &defaulted);
    for (DWORD i = 0; present && sacl && i < sacl->AceCount; ++i) {
        SYSTEM_MANDATORY_LABEL_ACE* ace = nullptr;
        GetAce(sacl, i, reinterpret_cast<void**>(&ace));
        if (ace->Header.AceType != SYSTEM_MANDATORY_LABEL_ACE_TYPE)
            continue;
        wchar_t text[64];
        swprintf(text, 64, L"%u %#x %#lx ", ace->Header.AceType, ace->Header.AceFlags, ace->Mask);
        return text + SidText(&ace->SidStart);
    }
    return L"";
}

// The sealed descriptor, as built: the user keeps list, traverse, read and
// delete; the owner keeps no implicit right to change the DACL; SYSTEM and
// the Administrators keep full control; an elevated process adds a high
// label, no write up.
TEST(DownloadFolder, SealedDescriptor)
{
    std::wstring const user = UserSidText();
    for (bool const elevated : {false, true}) {
        UniqueLocalMemory const descriptor = DownloadFolderSealedSecurity(user, elevated);
        ASSERT_TRUE(descriptor);
        Dacl const dacl = ReadDacl(descriptor.Get());
        EXPECT_TRUE(dacl.Protected);
        std::vector<std::wstring> const expected = {
            L"0 0 0x1300a9 " + user, // list, read attributes and EAs, traverse, delete, read control, synchronize
            L"0 0 0x1200a9 S-1-3-4", // OWNER RIGHTS: the same without delete, and so without WRITE_DAC
            L"0 0x3 0x1f01ff S-1-5-18",
            L"0 0x3 0x1f01ff S-1-5-32-544",
        };
        EXPECT_EQ(dacl.Entries, expected) << "elevated " << elevated;
        for (auto const& entry : dacl.Entries) {
            if (entry.ends_with(user)) {
                DWORD const mask = std::wcstoul(entry.c_str() + entry.find(L"0x"), nullptr, 16);
                EXPECT_EQ(mask & (FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | WRITE_DAC | WRITE_OWNER | FILE_DELETE_CHILD), 0u);
            }
        }
        EXPECT_EQ(ReadLabel(descriptor.Get()), elevated ? L"17 0x3 0x1 S-1-16-12288" : L"") << "elevated " << elevated;
    }
}

// The folder is sealed through its hold, on the folder alone, with the
// sealed descriptor (the label only when elevated: Wine reports every process
// elevated). Wine stores no descriptor on files (it reports one made up from
// the Unix mode, the same before and after), so what is set is recorded on
// its way to the real call; only Windows shows it read back and enforced (a
// process of the user, at medium integrity when the run is elevated, can no
// longer create a file there). The run's files keep what they need to be
// deleted: the installer still goes when closed, and the folder with it.
TEST(DownloadFolder, SealedBeforeTheCheck)
{
    ComApartment const com;
    std::wstring const user = UserSidText();
    std::optional<DownloadFolderGuard> folder(std::in_place, CreateDownloadFolder());
    std::wstring const path = folder->GetPath();
    PinnedFile installer(path + L"\\Setup.exe", PinnedFileAccess::WriteOnly);
    static std::vector<std::wstring> written;
    static SECURITY_INFORMATION writtenParts = 0;
    static std::wstring writtenTo;
    folder->Seal([](HANDLE held, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR descriptor) -> BOOL {
        written = ReadDacl(descriptor).Entries;
        writtenParts = parts;
        writtenTo = FolderNameOf(held);
        return SetKernelObjectSecurity(held, parts, descriptor);
    });
    EXPECT_EQ(writtenTo, fs::path(path).filename().wstring());
    EXPECT_EQ(written, ReadDacl(DownloadFolderSealedSecurity(user, true).Get()).Entries);
    HANDLE token = nullptr;
    OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    GetTokenInformation(token, TokenElevation, &elevation, sizeof(elevation), &size);
    CloseHandle(token);
    EXPECT_EQ(writtenParts, DACL_SECURITY_INFORMATION | (elevation.TokenIsElevated ? LABEL_SECURITY_INFORMATION : 0));
    EXPECT_EQ(FailureOf([&] { folder->Seal(); }), "(no failure)"); // the real call, through the hold
    EXPECT_EQ(FailureOf([&] { folder->Seal([](HANDLE, SECURITY_INFORMATION, PSECURITY_DESCRIPTOR) -> BOOL {
                  SetLastError(ERROR_ACCESS_DENIED);
                  return FALSE;
              }); }),
              "Could not protect the download directory (error 5)");
    EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(path, L"Setup.exe"); }), "(no failure)");
    installer.Close();
    EXPECT_FALSE(fs::exists(path + L"\\Setup.exe"));
    folder.reset();
    EXPECT_FALSE(fs::exists(path));
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

// A scanner holds the run's package open (reading, sharing reading and
// writing, not deletion) when the run deletes it: the package is still
// listed at the check. It is the run's own file, told by its file ID, and is
// accepted; anything else still is not. It goes at the end of the run, once
// the scanner has let it go.
TEST(DownloadFolder, TheRunsOwnPackageHeldByAScannerIsAccepted)
{
    ComApartment const com;
    std::optional<DownloadFolderGuard> held(std::in_place, CreateDownloadFolder());
    std::wstring const folder = held->GetPath();
    PinnedFile package(folder + L"\\orvelle.install.zip", PinnedFileAccess::ReadWrite);
    package.Write("package", 7);
    PinnedFile installer(folder + L"\\Setup.exe", PinnedFileAccess::WriteOnly);
    {
        ovl::test::ProbeHold const scanner(folder + L"\\orvelle.install.zip", 1500);
        package.Close(); // tries for a moment, then leaves it
        EXPECT_TRUE(fs::exists(folder + L"\\orvelle.install.zip"));
        EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"Setup.exe"); }), "(no failure)");
        // Not the installer: the named file must be there and the run's own.
        EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"orvelle.exe"); }),
                  "The download folder was changed by another program");
        EXPECT_EQ(Probe(L"create-in", folder), 0u); // planted.dll
        EXPECT_EQ(FailureOf([&] { CheckFolderHoldsOnly(folder, L"Setup.exe"); }),
                  "The download folder was changed by another program");
        DeleteFileW((folder + L"\\planted.dll").c_str());
        scanner.Wait();
    }
    installer.Close();
    held.reset();
    EXPECT_FALSE(fs::exists(folder)) << "the package left behind goes with the folder";
}

} // namespace
} // namespace ovl::setup

#include "install/DownloadFolder.h"

#include "install/PinnedFile.h"
#include "platform/SystemFunctions.h"
#include "platform/Text.h"

#include <windows.h>

#include <aclapi.h>
#include <objbase.h>
#include <sddl.h>
#include <winternl.h>

#include <cwctype>
#include <stdexcept>
#include <vector>

namespace ovl::setup {

namespace {

[[noreturn]] void ThrowCreateFailed(DWORD error)
{
    throw std::runtime_error(Format("Could not create the download directory (error %lu)", error));
}

// Rights of the user on a sealed folder: list, traverse, read its attributes
// and descriptor, and delete it (the run removes it at the end; while the run
// holds it, nobody can open it for deletion).
constexpr DWORD SealedUserRights = FILE_LIST_DIRECTORY | FILE_READ_EA | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | DELETE |
                                   READ_CONTROL | SYNCHRONIZE;
// What the owner keeps of its implicit rights: reading, not changing the DACL.
constexpr DWORD SealedOwnerRights = FILE_LIST_DIRECTORY | FILE_READ_EA | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                                    READ_CONTROL | SYNCHRONIZE;

// A high mandatory label, no write up, inherited by what is created inside.
constexpr wchar_t HighLabel[] = L"S:(ML;OICI;NW;;;HI)";

std::wstring CreatedSddl(std::wstring const& userSid)
{
    return L"D:P(A;OICI;FA;;;" + userSid + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
}

std::wstring SealedSddl(std::wstring const& userSid, bool elevated)
{
    std::wstring sddl = FormatW(L"D:P(A;;0x%lx;;;%ls)(A;;0x%lx;;;OW)(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)",
                                static_cast<unsigned long>(SealedUserRights), userSid.c_str(),
                                static_cast<unsigned long>(SealedOwnerRights));
    if (elevated)
        sddl += HighLabel;
    return sddl;
}

UniqueLocalMemory DescriptorFrom(std::wstring const& sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        ThrowCreateFailed(GetLastError());
    return UniqueLocalMemory(descriptor);
}

// A name relative to an open folder, for the native file calls.
struct RelativeName {
    RelativeName(HANDLE folder, std::wstring_view name, PSECURITY_DESCRIPTOR security = nullptr) noexcept
    {
        text.Buffer = const_cast<wchar_t*>(name.data());
        text.Length = static_cast<USHORT>(std::min<size_t>(name.size() * sizeof(wchar_t), 0xFFFE));
        text.MaximumLength = text.Length;
        InitializeObjectAttributes(&attributes, &text, OBJ_CASE_INSENSITIVE, folder, security);
    }
    UNICODE_STRING text{};
    OBJECT_ATTRIBUTES attributes{};
};

// Opens (or, with FILE_CREATE, creates) an entry of an open folder by its
// name relative to that folder; a link found there is opened itself, never
// followed. The Windows error code, or 0 and the handle. An entry on which
// another process holds an oplock that our open would break is refused at
// once instead of waiting for that process to acknowledge the break: a
// folder planted in a shared temporary folder could otherwise hold a run
// (even SYSTEM's) for ever.
DWORD OpenEntry(HANDLE folder, std::wstring_view name, ACCESS_MASK access, ULONG share, ULONG options,
                UniqueHandle& opened, ULONG disposition = FILE_OPEN, PSECURITY_DESCRIPTOR security = nullptr) noexcept
{
    RelativeName relative(folder, name, security);
    IO_STATUS_BLOCK status{};
    HANDLE handle = nullptr;
    NTSTATUS const result = NtCreateFile(
        &handle, access | SYNCHRONIZE, &relative.attributes, &status, nullptr, FILE_ATTRIBUTE_NORMAL, share,
        disposition, options | FILE_OPEN_REPARSE_POINT | FILE_SYNCHRONOUS_IO_NONALERT | FILE_COMPLETE_IF_OPLOCKED,
        nullptr, 0);
    if (result < 0)
        return RtlNtStatusToDosError(result);
    opened.Reset(handle);
    constexpr NTSTATUS OplockBreakInProgress = 0x00000108; // STATUS_OPLOCK_BREAK_IN_PROGRESS
    constexpr DWORD OplockBreakInProgressError = 742;     // ERROR_OPLOCK_BREAK_IN_PROGRESS
    if (result == OplockBreakInProgress) {
        opened.Reset();
        return OplockBreakInProgressError;
    }
    return 0;
}

// Marks an open file or folder for deletion when its last handle closes; a
// folder that is not empty refuses.
bool DeleteWhenClosed(HANDLE handle) noexcept
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof(disposition)) != FALSE;
}

std::uint64_t FileIndexOf(HANDLE handle, DWORD* volume = nullptr) noexcept
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(handle, &information))
        return 0;
    if (volume)
        *volume = information.dwVolumeSerialNumber;
    return (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
}

// The hold of a run on its folder: listing it, reading and changing its
// descriptor (for the seal), sharing reading and writing but not deletion.
// Without DELETE access of its own, it lets others open the folder without
// sharing deletion (changing into it, listing it with FindFirstFileW).
constexpr ACCESS_MASK HoldAccess = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL |
                                   WRITE_DAC | WRITE_OWNER;
constexpr ULONG HoldSharing = FILE_SHARE_READ | FILE_SHARE_WRITE;
constexpr ULONG ShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// A folder opened by its path to be listed, sharing everything.
UniqueHandle OpenForListing(std::wstring const& path)
{
    return UniqueHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | SYNCHRONIZE, ShareAll, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// One entry of a folder listing.
struct Entry {
    std::wstring_view Name;
    DWORD Attributes;
    std::uint64_t FileId;
};

// Calls visit(entry) for every entry of an open folder but "." and "..";
// false when the folder could not be listed. (A folder is listed through a
// handle: Wine's FindFirstFileW does not share deletion.)
template <typename Visit>
bool ForEachEntry(HANDLE folder, Visit&& visit)
{
    std::vector<ULONGLONG> buffer(64 * 1024 / sizeof(ULONGLONG)); // 8-byte aligned records
    auto const bytes = static_cast<DWORD>(buffer.size() * sizeof(ULONGLONG));
    FILE_INFO_BY_HANDLE_CLASS kind = FileIdBothDirectoryRestartInfo;
    while (GetFileInformationByHandleEx(folder, kind, buffer.data(), bytes)) {
        kind = FileIdBothDirectoryInfo;
        auto const* record = reinterpret_cast<std::byte const*>(buffer.data());
        for (;;) {
            auto const* entry = reinterpret_cast<FILE_ID_BOTH_DIR_INFO const*>(record);
            std::wstring_view const name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                visit(Entry{name, entry->FileAttributes, static_cast<std::uint64_t>(entry->FileId.QuadPart)});
            if (entry->NextEntryOffset == 0)
                break;
            record += entry->NextEntryOffset;
        }
    }
    return GetLastError() == ERROR_NO_MORE_FILES;
}

bool IsPlainFile(DWORD attributes) noexcept
{
    return !(attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE));
}

bool IsPlainFolder(HANDLE folder) noexcept
{
    FILE_BASIC_INFO basic{};
    return GetFileInformationByHandleEx(folder, FileBasicInfo, &basic, sizeof(basic)) &&
           (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !(basic.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Deletes an entry of an open folder through a handle opened relative to it.
bool DeleteEntry(HANDLE folder, std::wstring_view name) noexcept
{
    UniqueHandle entry;
    return OpenEntry(folder, name, DELETE | FILE_READ_ATTRIBUTES, ShareAll, FILE_NON_DIRECTORY_FILE, entry) == 0 &&
           DeleteWhenClosed(entry.Get());
}

UniqueLocalMemory ReadFolderSecurity(HANDLE folder)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                        nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS)
        return UniqueLocalMemory();
    return UniqueLocalMemory(descriptor);
}

void RemoveAbandonedFolder(HANDLE temp, std::wstring_view name, FolderSecurityReader readSecurity,
                           std::wstring const& userSid, bool elevated)
{
    // A live run holds its folder without sharing deletion: this open fails,
    // and nothing of that run is touched. Once open, the folder cannot be
    // renamed or replaced, and its entries are opened relative to it.
    UniqueHandle folder;
    if (OpenEntry(temp, name, DELETE | FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | READ_CONTROL, HoldSharing,
                  FILE_DIRECTORY_FILE, folder) != 0 ||
        !IsPlainFolder(folder.Get()))
        return;
    UniqueLocalMemory const security = readSecurity(folder.Get());
    if (!security || !IsOwnFolderSecurity(security.Get(), userSid, elevated))
        return;
    std::vector<std::wstring> files;
    ForEachEntry(folder.Get(), [&](Entry const& entry) {
        if (IsPlainFile(entry.Attributes))
            files.emplace_back(entry.Name);
    });
    for (auto const& file : files)
        DeleteEntry(folder.Get(), file);
    DeleteWhenClosed(folder.Get());
}

// The ACEs of an ACL, for comparing two of them entry by entry.
bool SameAces(PACL a, PACL b) noexcept
{
    if (!a || !b || a->AceCount != b->AceCount)
        return false;
    for (DWORD i = 0; i < a->AceCount; ++i) {
        ACE_HEADER* left = nullptr;
        ACE_HEADER* right = nullptr;
        if (!GetAce(a, i, reinterpret_cast<void**>(&left)) || !GetAce(b, i, reinterpret_cast<void**>(&right)))
            return false;
        if (left->AceType != ACCESS_ALLOWED_ACE_TYPE || right->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            left->AceFlags != right->AceFlags)
            return false;
        auto const* l = reinterpret_cast<ACCESS_ALLOWED_ACE const*>(left);
        auto const* r = reinterpret_cast<ACCESS_ALLOWED_ACE const*>(right);
        if (l->Mask != r->Mask || !EqualSid(const_cast<DWORD*>(&l->SidStart), const_cast<DWORD*>(&r->SidStart)))
            return false;
    }
    return true;
}

PACL DaclOf(PSECURITY_DESCRIPTOR descriptor) noexcept
{
    BOOL present = FALSE;
    BOOL defaulted = FALSE;
    PACL dacl = nullptr;
    return GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted) && present ? dacl : nullptr;
}

bool OwnedByUs(PSECURITY_DESCRIPTOR descriptor, std::wstring const& userSid, bool elevated)
{
    PSID owner = nullptr;
    BOOL defaulted = FALSE;
    if (!GetSecurityDescriptorOwner(descriptor, &owner, &defaulted) || !owner)
        return false;
    auto matches = [&](wchar_t const* text) {
        PSID sid = nullptr;
        if (!ConvertStringSidToSidW(text, &sid))
            return false;
        UniqueLocalMemory const owned(sid);
        return EqualSid(owner, sid) != FALSE;
    };
    return matches(userSid.c_str()) || (elevated && matches(L"BA"));
}

} // namespace

std::wstring TemporaryFilesFolder()
{
    static TempPathFunction const getTempPath2 = FindSystemFunction<TempPathFunction>(L"kernel32.dll", "GetTempPath2W");
    return TemporaryFilesFolder(getTempPath2);
}

std::wstring TemporaryFilesFolder(TempPathFunction getTempPath2)
{
    TempPathFunction const getTempPath = getTempPath2 ? getTempPath2 : &GetTempPathW;
    DWORD const needed = getTempPath(0, nullptr);
    if (needed == 0)
        throw std::runtime_error("GetTempPathW failed");
    std::vector<wchar_t> temp(needed);
    DWORD const length = getTempPath(needed, temp.data());
    if (length == 0 || length >= needed)
        throw std::runtime_error("GetTempPathW failed");
    return std::wstring(temp.data(), length);
}

std::wstring ProcessUserSid()
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        ThrowCreateFailed(GetLastError());
    UniqueHandle const token(raw);
    DWORD size = 0;
    GetTokenInformation(token.Get(), TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    if (size == 0 || !GetTokenInformation(token.Get(), TokenUser, buffer.data(), size, &size))
        ThrowCreateFailed(GetLastError());
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER const*>(buffer.data())->User.Sid, &text))
        ThrowCreateFailed(GetLastError());
    UniqueLocalMemory const owned(text);
    return text;
}

bool IsProcessElevated() noexcept
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        return false;
    UniqueHandle const token(raw);
    TOKEN_ELEVATION elevation{};
    DWORD size = 0;
    return GetTokenInformation(token.Get(), TokenElevation, &elevation, sizeof(elevation), &size) &&
           elevation.TokenIsElevated != 0;
}

UniqueLocalMemory DownloadFolderSecurity()
{
    // Elevated, the folder and what is created in it carry a high label from
    // the start: the user's processes at medium integrity cannot write to the
    // files of the download either.
    return DescriptorFrom(CreatedSddl(ProcessUserSid()) + (IsProcessElevated() ? HighLabel : L""));
}

UniqueLocalMemory DownloadFolderSealedSecurity(std::wstring const& userSid, bool elevated)
{
    return DescriptorFrom(SealedSddl(userSid, elevated));
}

bool IsOwnFolderSecurity(PSECURITY_DESCRIPTOR descriptor, std::wstring const& userSid, bool elevated) noexcept
{
    try {
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (!descriptor || !GetSecurityDescriptorControl(descriptor, &control, &revision) ||
            !(control & SE_DACL_PROTECTED) || !OwnedByUs(descriptor, userSid, elevated))
            return false;
        PACL const dacl = DaclOf(descriptor);
        UniqueLocalMemory const created = DescriptorFrom(CreatedSddl(userSid));
        UniqueLocalMemory const sealed = DescriptorFrom(SealedSddl(userSid, false));
        return SameAces(dacl, DaclOf(created.Get())) || SameAces(dacl, DaclOf(sealed.Get()));
    } catch (...) {
        return false;
    }
}

bool IsDownloadFolderName(std::wstring_view name) noexcept
{
    std::wstring_view const prefix = DownloadFolderPrefix;
    if (name.size() != prefix.size() + 38 || !EqualsIgnoreAsciiCase(name.substr(0, prefix.size()), prefix))
        return false;
    std::wstring_view const guid = name.substr(prefix.size()); // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}
    for (size_t i = 0; i < guid.size(); ++i) {
        wchar_t const c = guid[i];
        bool const ok = i == 0 ? c == L'{' : i == 37 ? c == L'}' : (i == 9 || i == 14 || i == 19 || i == 24) ? c == L'-'
                                                                                                             : std::iswxdigit(c) != 0;
        if (!ok)
            return false;
    }
    return true;
}

void RemoveAbandonedDownloadFolders() noexcept { RemoveAbandonedDownloadFolders(&ReadFolderSecurity); }

void RemoveAbandonedDownloadFolders(FolderSecurityReader readSecurity) noexcept
{
    try {
        std::wstring const userSid = ProcessUserSid();
        bool const elevated = IsProcessElevated();
        UniqueHandle const temp = OpenForListing(TemporaryFilesFolder());
        std::vector<std::wstring> candidates;
        ForEachEntry(temp.Get(), [&](Entry const& entry) {
            if ((entry.Attributes & FILE_ATTRIBUTE_DIRECTORY) && !(entry.Attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                IsDownloadFolderName(entry.Name))
                candidates.emplace_back(entry.Name);
        });
        for (auto const& name : candidates)
            RemoveAbandonedFolder(temp.Get(), name, readSecurity, userSid, elevated);
    } catch (...) {
        // Cleaning up is a courtesy; the run goes on.
    }
}

CreatedDownloadFolder CreateDownloadFolder()
{
    RemoveAbandonedDownloadFolders();
    std::wstring const temp = TemporaryFilesFolder();

    GUID guid;
    if (FAILED(CoCreateGuid(&guid)))
        throw std::runtime_error("CoCreateGuid failed");
    wchar_t text[40];
    if (StringFromGUID2(guid, text, 40) == 0)
        throw std::runtime_error("StringFromGUID2 failed");
    std::wstring const name = std::wstring(DownloadFolderPrefix) + text;

    CreatedDownloadFolder folder;
    folder.Parent = UniqueHandle(CreateFileW(temp.c_str(), FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE |
                                                               SYNCHRONIZE,
                                             ShareAll, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder.Parent)
        ThrowCreateFailed(GetLastError());
    // Created and held in one step: no other run can take the new folder for
    // an abandoned one, and none can open it for deletion while it is held.
    UniqueLocalMemory const security = DownloadFolderSecurity();
    if (DWORD const error = OpenEntry(folder.Parent.Get(), name, HoldAccess, HoldSharing, FILE_DIRECTORY_FILE,
                                      folder.Held, FILE_CREATE, security.Get()))
        ThrowCreateFailed(error);
    folder.Path = JoinPath(temp, name);
    folder.FileIndex = FileIndexOf(folder.Held.Get());
    return folder;
}

DownloadFolderGuard::DownloadFolderGuard(CreatedDownloadFolder folder) noexcept : created(std::move(folder)) {}

DownloadFolderGuard::~DownloadFolderGuard()
{
    if (!created.Held)
        return;
    try {
        RemoveLeftovers();
    } catch (...) {
        // Out of memory while listing: what is left stays for the next run's sweep.
    }
    // The hold does not share deletion: it goes first, then the folder is
    // opened again for deletion (the same folder, by its file index) and
    // removed if it is empty.
    created.Held.Reset();
    UniqueHandle folder;
    if (OpenEntry(created.Parent.Get(), FileNameOf(created.Path), DELETE | FILE_READ_ATTRIBUTES, ShareAll,
                  FILE_DIRECTORY_FILE, folder) == 0 &&
        FileIndexOf(folder.Get()) == created.FileIndex)
        DeleteWhenClosed(folder.Get());
}

// What is left of the run's own files (another program held them open when
// they were closed) goes now, through the hold.
void DownloadFolderGuard::RemoveLeftovers() const
{
    DWORD volume = 0;
    FileIndexOf(created.Held.Get(), &volume);
    std::vector<std::pair<std::wstring, FileIdentity>> leftovers;
    ForEachEntry(created.Held.Get(), [&](Entry const& entry) {
        if (IsPlainFile(entry.Attributes) && IsRunFile({volume, entry.FileId}, entry.Name))
            leftovers.emplace_back(entry.Name, FileIdentity{volume, entry.FileId});
    });
    for (auto const& [name, identity] : leftovers) {
        if (DeleteEntry(created.Held.Get(), name))
            ForgetRunFile(identity);
    }
}

void DownloadFolderGuard::Seal() const { Seal(&SetKernelObjectSecurity); }

void DownloadFolderGuard::Seal(SecurityWriter write) const
{
    bool const elevated = IsProcessElevated();
    UniqueLocalMemory const sealed = DownloadFolderSealedSecurity(ProcessUserSid(), elevated);
    SECURITY_INFORMATION const parts = DACL_SECURITY_INFORMATION | (elevated ? LABEL_SECURITY_INFORMATION : 0);
    // Set on the folder alone (no propagation to the files in it, which keep
    // the rights the run needs to delete them).
    if (!write(created.Held.Get(), parts, sealed.Get()))
        throw std::runtime_error(Format("Could not protect the download directory (error %lu)", GetLastError()));
}

void CheckFolderHoldsOnly(std::wstring const& folder, std::wstring_view fileName)
{
    bool foreign = false;
    bool named = false;
    UniqueHandle const listing = OpenForListing(folder);
    DWORD volume = 0;
    FileIndexOf(listing.Get(), &volume);
    bool const listed = listing && ForEachEntry(listing.Get(), [&](Entry const& entry) {
        bool const own = IsPlainFile(entry.Attributes) && IsRunFile({volume, entry.FileId}, entry.Name);
        foreign = foreign || !own;
        named = named || (own && EqualsIgnoreCase(entry.Name, fileName));
    });
    if (foreign || !named || !listed) // what cannot be looked at is not trusted
        throw std::runtime_error("The download folder was changed by another program");
}

} // namespace ovl::setup

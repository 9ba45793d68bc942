#include "install/DownloadFolder.h"

#include "platform/Text.h"

#include <windows.h>

#include <objbase.h>
#include <sddl.h>

#include <cwctype>
#include <functional>
#include <stdexcept>
#include <vector>

namespace ovl::setup {

namespace {

std::wstring TempFolder()
{
    DWORD const needed = GetTempPathW(0, nullptr);
    if (needed == 0)
        throw std::runtime_error("GetTempPathW failed");
    std::vector<wchar_t> temp(needed);
    DWORD const length = GetTempPathW(needed, temp.data());
    if (length == 0)
        throw std::runtime_error("GetTempPathW failed");
    return std::wstring(temp.data(), length);
}

[[noreturn]] void ThrowCreateFailed(DWORD error)
{
    throw std::runtime_error(Format("Could not create the download directory (error %lu)", error));
}

// The SID of the process's user, as text.
std::wstring UserSid()
{
    UniqueHandle token;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        ThrowCreateFailed(GetLastError());
    token.Reset(raw);
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

} // namespace

UniqueLocalMemory DownloadFolderSecurity()
{
    std::wstring const sddl =
        L"D:P(A;OICI;FA;;;" + UserSid() + L")(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        ThrowCreateFailed(GetLastError());
    return UniqueLocalMemory(descriptor);
}

namespace {

// A handle that holds a folder: others may list it and create files in it,
// but not delete or rename it while the handle is open.
UniqueHandle HoldFolder(std::wstring const& path)
{
    return UniqueHandle(CreateFileW(path.c_str(), DELETE | FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Marks a held folder for deletion when the handle closes; refused (and
// ignored) when the folder is not empty.
void DeleteWhenClosed(HANDLE folder) noexcept
{
    FILE_DISPOSITION_INFO disposition{TRUE};
    SetFileInformationByHandle(folder, FileDispositionInfo, &disposition, sizeof(disposition));
}

// A folder opened to be listed, sharing everything.
UniqueHandle OpenForListing(std::wstring const& path)
{
    return UniqueHandle(CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | SYNCHRONIZE,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
}

// Calls visit(name, attributes) for every entry of an open folder but "."
// and ".."; false when the folder could not be listed. (A folder is listed
// through a handle: Wine's FindFirstFileW does not share deletion, and so
// cannot list a folder that a run holds.)
bool ForEachEntry(HANDLE folder, std::function<void(std::wstring_view, DWORD)> const& visit)
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
                visit(name, entry->FileAttributes);
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

void RemoveAbandonedFolder(std::wstring const& path)
{
    // A live run holds its folder without sharing deletion: this open fails,
    // and nothing of that run is touched. Once held, the folder cannot be
    // renamed or replaced, so it is looked at by its path: a link to
    // another folder (a junction planted in its place) is left alone.
    UniqueHandle const folder = HoldFolder(path);
    DWORD const attributes = folder ? GetFileAttributesW(path.c_str()) : INVALID_FILE_ATTRIBUTES;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY) ||
        (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return;
    ForEachEntry(folder.Get(), [&](std::wstring_view name, DWORD entryAttributes) {
        if (IsPlainFile(entryAttributes))
            DeleteFileW(JoinPath(path, name).c_str());
    });
    DeleteWhenClosed(folder.Get());
}

} // namespace

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

void RemoveAbandonedDownloadFolders() noexcept
{
    try {
        std::wstring const temp = TempFolder();
        UniqueHandle const listing = OpenForListing(temp);
        std::vector<std::wstring> abandoned;
        ForEachEntry(listing.Get(), [&](std::wstring_view name, DWORD attributes) {
            if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                IsDownloadFolderName(name))
                abandoned.push_back(JoinPath(temp, name));
        });
        for (auto const& folder : abandoned)
            RemoveAbandonedFolder(folder);
    } catch (...) {
        // Cleaning up is a courtesy; the run goes on.
    }
}

std::wstring CreateDownloadFolder()
{
    RemoveAbandonedDownloadFolders();
    std::wstring const temp = TempFolder();

    GUID guid;
    if (FAILED(CoCreateGuid(&guid)))
        throw std::runtime_error("CoCreateGuid failed");
    wchar_t text[40];
    if (StringFromGUID2(guid, text, 40) == 0)
        throw std::runtime_error("StringFromGUID2 failed");

    std::wstring const folder = JoinPath(temp, std::wstring(DownloadFolderPrefix) + text);
    UniqueLocalMemory const security = DownloadFolderSecurity();
    SECURITY_ATTRIBUTES attributes{sizeof(attributes), security.Get(), FALSE};
    if (!CreateDirectoryW(folder.c_str(), &attributes))
        ThrowCreateFailed(GetLastError());
    return folder;
}

DownloadFolderGuard::DownloadFolderGuard(std::wstring folder) : path(std::move(folder))
{
    if (!path.empty())
        held = HoldFolder(path);
}

DownloadFolderGuard::~DownloadFolderGuard()
{
    if (held) {
        DeleteWhenClosed(held.Get()); // only an empty folder goes
        held.Reset();
    } else if (!path.empty()) {
        RemoveDirectoryW(path.c_str()); // only an empty folder goes; errors ignored
    }
}

void CheckFolderHoldsOnly(std::wstring const& folder, std::wstring_view fileName)
{
    bool foreign = false;
    UniqueHandle const listing = OpenForListing(folder);
    bool const listed = listing && ForEachEntry(listing.Get(), [&](std::wstring_view name, DWORD) {
        foreign = foreign || !EqualsIgnoreCase(name, fileName);
    });
    if (foreign || !listed) // what cannot be looked at is not trusted
        throw std::runtime_error("The download folder was changed by another program");
}

} // namespace ovl::setup

#pragma once
// The run's private download folder: "OvlSetupDownloader.{GUID}" in the
// temporary-files folder. Nobody but the user, SYSTEM and the Administrators
// may create files in it, and before the installer starts (it loads DLLs
// from its own folder first, often elevated) not even the user's other
// processes may. A live run holds it so that no other run removes it or its
// files, and folders that killed runs left behind are removed when a run
// starts, only when they are this program's own.

#include "platform/Handle.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace ovl::setup {

inline constexpr wchar_t DownloadFolderPrefix[] = L"OvlSetupDownloader.";

// A download folder as created: its path, the temporary-files folder it lies
// in, and the hold on it, taken in the same step as the creation.
struct CreatedDownloadFolder {
    std::wstring Path;
    UniqueHandle Parent;
    UniqueHandle Held;
    std::uint64_t FileIndex = 0;
};

// Removes the abandoned download folders, then creates and holds the run's
// folder with a protected DACL (full control for the process's user, SYSTEM
// and the Administrators group; files created in it inherit it). Fails with
// "GetTempPathW failed", "CoCreateGuid failed", "StringFromGUID2 failed" or
// "Could not create the download directory (error %lu)".
CreatedDownloadFolder CreateDownloadFolder();

// Holds the folder for the run: others may list it and change into it, and
// create files in it as far as its DACL lets them, but not remove or rename
// it. When destroyed, deletes what is left of the run's own files in it and
// removes it if it is then empty.
class DownloadFolderGuard {
public:
    explicit DownloadFolderGuard(CreatedDownloadFolder folder) noexcept;
    DownloadFolderGuard(DownloadFolderGuard const&) = delete;
    DownloadFolderGuard& operator=(DownloadFolderGuard const&) = delete;
    ~DownloadFolderGuard();

    std::wstring const& GetPath() const noexcept { return created.Path; }

    // Takes the right to add files away from everyone but SYSTEM and the
    // Administrators (DownloadFolderSealedSecurity), through the hold. Fails
    // with "Could not protect the download directory (error %lu)".
    void Seal() const;
    // The same, with the call that sets the descriptor given
    // (SetKernelObjectSecurity by default).
    using SecurityWriter = BOOL(WINAPI*)(HANDLE folder, SECURITY_INFORMATION parts, PSECURITY_DESCRIPTOR);
    void Seal(SecurityWriter write) const;

private:
    void RemoveLeftovers() const;

    CreatedDownloadFolder created;
};

// The security descriptor the folder is created with: a protected DACL
// (nothing inherited from the temporary folder) that gives full control to
// the process's user, SYSTEM and the Administrators group, inherited by what
// is created inside; when the process is elevated, also a high mandatory
// label (no write up), inherited too. Fails like CreateDownloadFolder.
UniqueLocalMemory DownloadFolderSecurity();

// The descriptor a sealed folder gets: the user may list, traverse and read
// it and (for the run's final removal) delete it, but no longer add files or
// folders; an OWNER RIGHTS entry takes the owner's implicit right to change
// the DACL back away; SYSTEM and the Administrators keep full control. With
// elevated, also a high mandatory label, no write up, so that a process of
// the user at medium integrity cannot write to it whatever the DACL says.
UniqueLocalMemory DownloadFolderSealedSecurity(std::wstring const& userSid, bool elevated);

// True for "OvlSetupDownloader." followed by a GUID in braces.
bool IsDownloadFolderName(std::wstring_view name) noexcept;

// True when a folder's descriptor (owner and DACL) is one this program
// gives its folders: owned by the user (or, for an elevated process, by the
// Administrators group, the owner its objects get), with exactly the
// protected DACL of a new or a sealed folder of that user. Anything else
// (a folder another account planted in a shared temporary folder) is not
// swept.
bool IsOwnFolderSecurity(PSECURITY_DESCRIPTOR descriptor, std::wstring const& userSid, bool elevated) noexcept;

// Reads the owner and the DACL of an open folder (the default reads them
// from the file system).
using FolderSecurityReader = UniqueLocalMemory (*)(HANDLE folder);

// Removes, in the temporary-files folder, the download folders no live run
// holds and that are this program's own, with the plain files in them, each
// opened relative to its folder's handle (never by a path, so no link
// planted on the way can redirect a deletion); folders that a live run holds,
// links and anything but plain files are left alone. Errors are ignored.
void RemoveAbandonedDownloadFolders() noexcept;
void RemoveAbandonedDownloadFolders(FolderSecurityReader readSecurity) noexcept;

// Fails with "The download folder was changed by another program" unless the
// folder holds the named file and nothing but the run's own files (told by
// their file IDs, see IsRunFile: a package that a scanner still holds open
// is one of them).
void CheckFolderHoldsOnly(std::wstring const& folder, std::wstring_view fileName);

// The process's user, as a SID string, and whether its token is elevated.
std::wstring ProcessUserSid();
bool IsProcessElevated() noexcept;

// The temporary-files folder: GetTempPath2W where it exists (for SYSTEM it
// gives C:\Windows\SystemTemp, which other accounts cannot write to; for
// everyone else it is GetTempPathW), else GetTempPathW. Ends with a
// backslash. Fails with "GetTempPathW failed".
std::wstring TemporaryFilesFolder();
// The same, with GetTempPath2W given (null where it does not exist).
using TempPathFunction = DWORD(WINAPI*)(DWORD, LPWSTR);
std::wstring TemporaryFilesFolder(TempPathFunction getTempPath2);

} // namespace ovl::setup

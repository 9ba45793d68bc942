#pragma once
// The run's private download folder: "OvlSetupDownloader.{GUID}" in the
// temporary-files folder. Nobody but the user, SYSTEM and the Administrators
// may create files in it (the installer, often elevated, loads DLLs from its
// own folder first), a live run holds it so that no other run removes it or
// its files, and folders that killed runs left behind are removed when a run
// starts.

#include "platform/Handle.h"

#include <string>
#include <string_view>

namespace ovl::setup {

inline constexpr wchar_t DownloadFolderPrefix[] = L"OvlSetupDownloader.";

// Removes the abandoned download folders, then creates the run's folder with
// a protected DACL (full control for the process's user, SYSTEM and the
// Administrators group; files created in it inherit it) and returns its path.
// Fails with "GetTempPathW failed", "CoCreateGuid failed", "StringFromGUID2
// failed" or "Could not create the download directory (error %lu)".
std::wstring CreateDownloadFolder();

// Holds the folder for the run (others may list it and create files in it,
// as far as its DACL lets them, but not remove or rename it), and removes it,
// if it is empty, when destroyed.
class DownloadFolderGuard {
public:
    explicit DownloadFolderGuard(std::wstring folder);
    DownloadFolderGuard(DownloadFolderGuard const&) = delete;
    DownloadFolderGuard& operator=(DownloadFolderGuard const&) = delete;
    ~DownloadFolderGuard();

    std::wstring const& GetPath() const noexcept { return path; }

private:
    std::wstring path;
    UniqueHandle held;
};

// The security descriptor the folder is created with: a protected DACL
// (nothing inherited from the temporary folder) that gives full control to
// the process's user, SYSTEM and the Administrators group, inherited by what
// is created inside. Fails like CreateDownloadFolder.
UniqueLocalMemory DownloadFolderSecurity();

// True for "OvlSetupDownloader." followed by a GUID in braces.
bool IsDownloadFolderName(std::wstring_view name) noexcept;

// Removes, in the temporary-files folder, the download folders no live run
// holds, with the plain files in them; folders that a live run holds, links
// and anything but plain files are left alone. Errors are ignored.
void RemoveAbandonedDownloadFolders() noexcept;

// Fails with "The download folder was changed by another program" unless the
// folder holds nothing but the named file.
void CheckFolderHoldsOnly(std::wstring const& folder, std::wstring_view fileName);

} // namespace ovl::setup

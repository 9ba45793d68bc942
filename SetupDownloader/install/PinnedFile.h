#pragma once
// Files the run creates: held open from creation to deletion so that others
// may only read them, protected from stray closes, and deleted on close at
// the location the file system reports for the open handle (or where they
// were created, when that location cannot be resolved).

#include "platform/Handle.h"

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace ovl::setup {

enum class PinnedFileAccess {
    ReadWrite, // the downloaded package: written, then read through the same handle
    WriteOnly, // the extracted installer: written, then reopened for reading
};

// A file by its identity on disk: the volume's serial number and the file's
// index on it (what a folder listing reports as the file ID).
struct FileIdentity {
    DWORD Volume = 0;
    std::uint64_t Index = 0;
    bool operator==(FileIdentity const&) const = default;
};

// True for a file this process created as a PinnedFile under that name: the
// run's own files, told from anything another program put in their folder.
// A deleted one stays one of them (its name may still be listed while another
// program holds it open), and so does one whose deletion failed.
bool IsRunFile(FileIdentity identity, std::wstring_view name) noexcept;
// Forgets a run file that was deleted by other means than PinnedFile::Close.
void ForgetRunFile(FileIdentity identity) noexcept;

class PinnedFile {
public:
    PinnedFile() noexcept = default;
    // Creates a new file (fails with "Could not create the file" when it exists).
    PinnedFile(std::wstring path, PinnedFileAccess access);
    PinnedFile(PinnedFile&& other) noexcept;
    PinnedFile& operator=(PinnedFile&& other) noexcept;
    PinnedFile(PinnedFile const&) = delete;
    PinnedFile& operator=(PinnedFile const&) = delete;
    ~PinnedFile();

    // Closes the handle and deletes the file (trying again for a moment while
    // another program holds it open); never fails; a second call does nothing.
    void Close() noexcept;

    // INVALID_HANDLE_VALUE once closed.
    HANDLE GetHandle() const noexcept { return handle ? handle.Get() : INVALID_HANDLE_VALUE; }
    std::wstring const& GetPath() const noexcept { return path; }
    bool IsOpen() const noexcept { return handle.IsValid(); }

    std::uint64_t Read(void* buffer, std::uint64_t count);
    void Write(void const* data, std::uint64_t count);
    void WriteAt(std::uint64_t offset, void const* data, std::uint64_t count);
    void Seek(std::uint64_t offset);
    void Rewind();
    std::uint64_t GetSize() const;
    void Resize(std::uint64_t size);
    // Closes the handle and opens the path again, read-only, sharing reads only.
    void ReopenForReading();
    // The path the file system reports for the handle (\\?\ drive-letter form).
    std::wstring GetFinalPath() const;

private:
    UniqueProtectedHandle handle;
    std::wstring path;
    bool deleteOnClose = false;
};

} // namespace ovl::setup

#include "install/PinnedFile.h"

#include "platform/Lock.h"
#include "platform/Text.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ovl::setup {

namespace {

constexpr std::uint64_t MaxTransfer = 1048576; // per ReadFile or WriteFile call

// Protects a handle from stray closes; its owner lifts that as it closes it.
void Protect(HANDLE handle) noexcept
{
    SetHandleInformation(handle, HANDLE_FLAG_PROTECT_FROM_CLOSE, HANDLE_FLAG_PROTECT_FROM_CLOSE);
}

// How often, and how far apart, the deletion of a file that another program
// holds open (a scanner, a backup agent) is tried.
constexpr int DeleteAttempts = 10;
constexpr DWORD DeleteRetryMilliseconds = 50;

// The files created and not yet deleted, with the name each was created under.
struct RunFile {
    FileIdentity Identity;
    std::wstring Name;
};

class RunFiles {
public:
    void Add(FileIdentity identity, std::wstring name)
    {
        std::lock_guard const hold(lock);
        files.push_back({identity, std::move(name)});
    }
    void Remove(FileIdentity identity) noexcept
    {
        std::lock_guard const hold(lock);
        std::erase_if(files, [&](RunFile const& file) { return file.Identity == identity; });
    }
    bool Contains(FileIdentity identity, std::wstring_view name) noexcept
    {
        std::lock_guard const hold(lock);
        return std::any_of(files.begin(), files.end(), [&](RunFile const& file) {
            return file.Identity == identity && EqualsIgnoreCase(file.Name, name);
        });
    }

private:
    SlimLock lock;
    std::vector<RunFile> files;
};

RunFiles& TheRunFiles() noexcept
{
    static RunFiles files;
    return files;
}

// The file's identity; all zero (matching no listed file) when unknown.
FileIdentity IdentityOf(HANDLE file) noexcept
{
    BY_HANDLE_FILE_INFORMATION information;
    if (!GetFileInformationByHandle(file, &information))
        return {};
    return {information.dwVolumeSerialNumber,
            (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow};
}

// DeleteFileW, tried again for a moment while another program holds the file.
bool DeleteWithRetries(std::wstring const& path) noexcept
{
    for (int attempt = 1;; ++attempt) {
        if (DeleteFileW(path.c_str()))
            return true;
        DWORD const error = GetLastError();
        if (attempt == DeleteAttempts || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED))
            return false;
        Sleep(DeleteRetryMilliseconds);
    }
}

} // namespace

bool IsRunFile(FileIdentity identity, std::wstring_view name) noexcept { return TheRunFiles().Contains(identity, name); }

void ForgetRunFile(FileIdentity identity) noexcept { TheRunFiles().Remove(identity); }

PinnedFile::PinnedFile(std::wstring filePath, PinnedFileAccess access)
{
    DWORD const desired = access == PinnedFileAccess::ReadWrite ? (GENERIC_READ | GENERIC_WRITE) : GENERIC_WRITE;
    HANDLE const created =
        CreateFileW(filePath.c_str(), desired, FILE_SHARE_READ, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (created == INVALID_HANDLE_VALUE)
        throw std::runtime_error("Could not create the file");
    Protect(created);
    handle.Reset(created);
    TheRunFiles().Add(IdentityOf(created), std::wstring(FileNameOf(filePath)));
    path = std::move(filePath);
    deleteOnClose = true;
}

PinnedFile::PinnedFile(PinnedFile&& other) noexcept
    : handle(std::move(other.handle)), path(std::move(other.path)),
      deleteOnClose(std::exchange(other.deleteOnClose, false))
{
    other.path.clear();
}

PinnedFile& PinnedFile::operator=(PinnedFile&& other) noexcept
{
    if (this != &other) {
        Close();
        handle = std::move(other.handle);
        path = std::move(other.path);
        other.path.clear();
        deleteOnClose = std::exchange(other.deleteOnClose, false);
    }
    return *this;
}

PinnedFile::~PinnedFile() { Close(); }

void PinnedFile::Close() noexcept
{
    std::wstring finalPath;
    if (deleteOnClose && IsOpen()) {
        try {
            finalPath = GetFinalPath();
        } catch (...) {
            // Unresolvable (under Wine, for paths of 264 characters and more):
            // the file is deleted where it was created instead.
            finalPath = path;
        }
    }
    handle.Reset();
    if (deleteOnClose) {
        deleteOnClose = false;
        // Still one of the run's files after its deletion: while another
        // program holds it open sharing deletion, Windows before POSIX delete
        // semantics keeps listing its name until that handle closes (nobody
        // can open it meanwhile). Its identity cannot come back in this run.
        if (!finalPath.empty())
            DeleteWithRetries(finalPath);
    }
}

std::uint64_t PinnedFile::Read(void* buffer, std::uint64_t count)
{
    auto* out = static_cast<std::uint8_t*>(buffer);
    std::uint64_t total = 0;
    while (total < count) {
        DWORD const ask = static_cast<DWORD>(std::min(count - total, MaxTransfer));
        DWORD read = 0;
        if (!ReadFile(handle.Get(), out + total, ask, &read, nullptr))
            throw std::runtime_error("Could not read from the file");
        if (read == 0)
            break;
        total += read;
    }
    return total;
}

void PinnedFile::Write(void const* data, std::uint64_t count)
{
    auto const* in = static_cast<std::uint8_t const*>(data);
    while (count > 0) {
        DWORD const ask = static_cast<DWORD>(std::min(count, MaxTransfer));
        DWORD written = 0;
        if (!WriteFile(handle.Get(), in, ask, &written, nullptr) || written == 0)
            throw std::runtime_error("Could not write to the file");
        in += written;
        count -= written;
    }
}

void PinnedFile::WriteAt(std::uint64_t offset, void const* data, std::uint64_t count)
{
    Seek(offset);
    Write(data, count);
}

void PinnedFile::Seek(std::uint64_t offset)
{
    LARGE_INTEGER distance;
    distance.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(handle.Get(), distance, nullptr, FILE_BEGIN))
        throw std::runtime_error("Could not seek within the file");
}

void PinnedFile::Rewind() { Seek(0); }

std::uint64_t PinnedFile::GetSize() const
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(handle.Get(), &size))
        throw std::runtime_error("Could not determine the size of the file");
    return static_cast<std::uint64_t>(size.QuadPart);
}

void PinnedFile::Resize(std::uint64_t size)
{
    Seek(size);
    if (!SetEndOfFile(handle.Get()))
        throw std::runtime_error("Could not resize the file");
}

void PinnedFile::ReopenForReading()
{
    handle.Reset();
    HANDLE const reopened =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (reopened == INVALID_HANDLE_VALUE)
        throw std::runtime_error("Could not reopen the file for reading");
    Protect(reopened);
    handle.Reset(reopened);
}

std::wstring PinnedFile::GetFinalPath() const
{
    DWORD const size = GetFinalPathNameByHandleW(handle.Get(), nullptr, 0, 0);
    if (size == 0)
        throw std::runtime_error("Could not resolve the location of the file");
    std::vector<wchar_t> buffer(size);
    DWORD const length = GetFinalPathNameByHandleW(handle.Get(), buffer.data(), size, 0);
    if (length == 0 || length >= size)
        throw std::runtime_error("Could not resolve the location of the file");
    return std::wstring(buffer.data(), length);
}

} // namespace ovl::setup

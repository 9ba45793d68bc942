#pragma once
// Takes the installer out of the downloaded ZIP: the first entry named
// "*.exe" with content, written under its plain file name into a new pinned
// file, locked against writers and compared with the archive byte for byte.

#include "controller/Outcome.h"
#include "install/PinnedFile.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace ovl::setup {

// The entry name (raw bytes, UTF-8 by intent) as UTF-16, malformed sequences
// as U+FFFD; fails with "Failed to convert ZIP filename to UTF-16".
std::wstring ZipNameToUtf16(std::string_view name);

// The name's last component under Windows path rules (after the last '/' or
// '\', and never a drive or device prefix), or empty when it is not a usable
// file name (".", "..", a reserved character, a control character, or a
// device name such as NUL.exe or com1.exe).
std::wstring UsableInstallerName(std::wstring_view name);

// True for the installer entry: a name ending in ".exe" (any ASCII case),
// content, and compressed data.
bool IsInstallerEntry(std::string_view name, std::int64_t size, std::int64_t compressedSize) noexcept;

// Fails with the extraction's fixed messages, "There is not enough free disk
// space to unpack the installer", or CanceledException; on every failure the
// partly written installer is deleted. The result is open
// read-only at offset 0 and owns the file.
// Which entry was taken: its index in the central directory and its name
// (the raw bytes as UTF-16).
struct InstallerEntry {
    std::uint64_t Index = 0;
    std::wstring Name;
};

PinnedFile ExtractInstaller(PinnedFile& zipFile, std::wstring const& folder, std::function<void(double)> const& progress,
                            CancelFlag const& cancel, InstallerEntry* chosenEntry = nullptr);

} // namespace ovl::setup

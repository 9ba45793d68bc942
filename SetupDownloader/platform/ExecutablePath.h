#pragma once
// The full path of this program's executable.

#include <windows.h>

#include <string>

namespace ovl::setup {

// GetModuleFileNameW for the executable, into a buffer that starts at 260
// characters and doubles, up to 32,768 (longer than any path can be).
struct ExecutablePath {
    std::wstring Path;    // empty on a failure
    DWORD Error = 0;      // the failed call's GetLastError
    bool TooLong = false; // still cut off at 32,768 characters
};
ExecutablePath ReadExecutablePath();

// The size of the largest buffer tried.
inline constexpr DWORD MaxExecutablePathBuffer = 32768;

} // namespace ovl::setup

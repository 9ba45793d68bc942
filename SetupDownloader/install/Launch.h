#pragma once
// Starting the installer through the shell and waiting for its exit code.

#include "catalogue/AppPackage.h"

#include <windows.h>

#include <shellapi.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ovl::setup {

// One argument for a command line, as CommandLineToArgvW and the C runtime
// read it back: quoted when it is empty or holds white space or '"'; inside
// quotes, the backslashes before a '"' (and before the closing quote) are
// doubled and each '"' is escaped with one more.
std::wstring QuoteArgument(std::wstring const& argument);

// The quoted arguments separated by single blanks; an empty argument stays one ("").
std::wstring JoinArguments(std::vector<std::wstring> const& arguments);

// The ordinary form of a \\?\ path (C:\... or \\server\share\...) when it
// fits in MAX_PATH, since many installers cannot run from the other form;
// otherwise the path unchanged.
std::wstring ToLaunchPath(std::wstring const& path);

// The shell call TryExec makes; tests replace it.
using ShellExecuteFunction = BOOL(WINAPI*)(SHELLEXECUTEINFOW*);

// Starts exe through the shell (the call runs through runOnUi), waits for it
// and returns its exit code. A declined elevation throws CanceledException;
// other failures "ShellExecuteExW failed (0x%08X)", "The installer did not
// start" or "GetExitCodeProcess failed".
std::int32_t TryExec(std::wstring const& exe, std::vector<std::wstring> const& args, HWND owner, RunOnUi const& runOnUi,
                     ShellExecuteFunction shellExecute = ::ShellExecuteExW);

} // namespace ovl::setup

// ReleaseCheck.exe: runs the downloader's own rules against a release
// manifest and, with --mirrors, against every mirror it would choose, before
// a release is published.

#include "ReleaseCheck/CheckOptions.h"
#include "ReleaseCheck/MirrorCheck.h"
#include "ReleaseCheck/Report.h"
#include "platform/Error.h"
#include "platform/SystemFunctions.h"
#include "platform/SystemLibraries.h"
#include "platform/Text.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

void Write(std::FILE* stream, std::string const& text) { std::fwrite(text.data(), 1, text.size(), stream); }

} // namespace

int wmain(int argc, wchar_t** argv)
{
    using namespace ovl::setup;
    // Like the downloader, it is often run from the Downloads folder: what the
    // system loads later (the trust providers' DLLs) comes from System32.
    RestrictDllSearchPath();
    // A console tool, often run by a build job: a failure that ends it outside
    // the normal paths says why on standard error, never in a box.
    TerminateMayShowBox.store(false);
    _setmode(_fileno(stdout), _O_BINARY); // UTF-8 as it is, line ends as they are
    _setmode(_fileno(stderr), _O_BINARY);

    std::vector<std::wstring> const arguments(argv + 1, argv + argc);
    auto const parsed = ParseCheckArguments(arguments);
    if (auto const* error = std::get_if<std::wstring>(&parsed)) {
        Write(stderr, Utf16ToUtf8(L"ReleaseCheck: " + *error + L"\n\n" + CheckUsage));
        return 2;
    }
    CheckOptions const& options = std::get<CheckOptions>(parsed);

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {
        Write(stderr, "ReleaseCheck: CoInitializeEx failed\n");
        return 1;
    }
    int code = 1;
    try {
        CheckReport const report = RunCheck(options);
        Write(stdout, options.Json ? RenderJson(report) : Utf16ToUtf8(RenderText(report)));
        code = Problems(report).empty() ? 0 : 1;
    } catch (std::exception const& e) {
        Write(stderr, std::string("ReleaseCheck: ") + e.what() + "\n");
    }
    CoUninitialize();
    return code;
}

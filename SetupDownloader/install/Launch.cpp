#include "install/Launch.h"

#include "controller/Outcome.h"
#include "platform/Handle.h"
#include "platform/Text.h"

#include <cstdio>
#include <cwctype>
#include <stdexcept>

namespace ovl::setup {

namespace {

bool NeedsQuotes(std::wstring const& argument)
{
    if (argument.empty())
        return true;
    for (wchar_t c : argument) {
        if (c == L'"' || std::iswspace(static_cast<std::wint_t>(c)) != 0)
            return true;
    }
    return false;
}

} // namespace

std::wstring QuoteArgument(std::wstring const& argument)
{
    if (!NeedsQuotes(argument))
        return argument;
    std::wstring text = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes before a quote are doubled and the quote escaped by one
        // more; elsewhere they stand for themselves.
        text.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        text += c;
        backslashes = 0;
    }
    text.append(2 * backslashes, L'\\'); // they precede the closing quote
    text += L'"';
    return text;
}

std::wstring JoinArguments(std::vector<std::wstring> const& arguments)
{
    std::wstring joined;
    for (auto const& argument : arguments) {
        if (&argument != &arguments.front())
            joined += L' ';
        joined += QuoteArgument(argument);
    }
    return joined;
}

std::wstring ToLaunchPath(std::wstring const& path)
{
    std::wstring ordinary;
    if (path.starts_with(L"\\\\?\\UNC\\"))
        ordinary = L"\\\\" + path.substr(8);
    else if (path.starts_with(L"\\\\?\\") && path.size() > 6 && path[5] == L':' && path[6] == L'\\')
        ordinary = path.substr(4);
    else
        return path;
    return ordinary.size() < MAX_PATH ? ordinary : path;
}

std::int32_t TryExec(std::wstring const& exe, std::vector<std::wstring> const& args, HWND owner, RunOnUi const& runOnUi,
                     ShellExecuteFunction shellExecute)
{
    std::wstring const parameters = JoinArguments(args);

    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    // No shell error box: nobody may be there to dismiss it, and the failure
    // becomes the run's own end screen and exit code.
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    request.hwnd = owner;
    request.lpVerb = nullptr;
    request.lpFile = exe.c_str();
    request.lpParameters = parameters.empty() ? nullptr : parameters.c_str();
    request.lpDirectory = nullptr;
    request.nShow = SW_SHOWNORMAL;

    BOOL ok = FALSE;
    DWORD lastError = 0;
    std::function<void()> const shellCall = [&request, &ok, &lastError, shellExecute] {
        ok = shellExecute(&request);
        if (!ok)
            lastError = GetLastError();
    };
    runOnUi(shellCall); // an empty runOnUi throws std::bad_function_call

    if (!ok) {
        if (lastError == ERROR_CANCELLED)
            throw CanceledException(); // the user declined the elevation prompt
        throw std::runtime_error(Format("ShellExecuteExW failed (0x%08lX)", lastError));
    }
    if (!request.hProcess)
        throw std::runtime_error("The installer did not start");
    UniqueHandle const process(request.hProcess);

    WaitForSingleObject(process.Get(), INFINITE);
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process.Get(), &exitCode))
        throw std::runtime_error("GetExitCodeProcess failed");
    return static_cast<std::int32_t>(exitCode);
}

std::uint32_t AppPackage::RunInstaller(std::wstring const& installerPath, HWND owner, RunOnUi const& runOnUi) const
{
    std::int32_t const code = TryExec(ToLaunchPath(installerPath), InstallerArguments, owner, runOnUi);
    if (code == 0)
        return ToValue(ExitCode::InstallerSucceeded);
    if (code == 3010)
        return ToValue(ExitCode::InstallerSucceededRebootRequired);
    return static_cast<std::uint32_t>(code);
}

} // namespace ovl::setup

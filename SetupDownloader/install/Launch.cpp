#include "install/Launch.h"

#include "controller/Outcome.h"
#include "platform/Handle.h"
#include "platform/Text.h"

#include <cstdio>
#include <cwctype>
#include <stdexcept>

namespace ovl::setup {

std::wstring QuoteArgument(std::wstring const& argument)
{
    bool quoted = false;
    for (wchar_t c : argument)
        quoted = quoted || std::iswspace(static_cast<std::wint_t>(c)) != 0;
    std::wstring text;
    if (quoted)
        text += L'"';
    for (size_t i = 0; i < argument.size(); ++i) {
        wchar_t const c = argument[i];
        if (c == L'"')
            text += L"\"\"";
        else if (c == L'\\' && quoted && i + 1 == argument.size())
            text += L"\\\\";
        else
            text += c;
    }
    if (quoted)
        text += L'"';
    return text;
}

std::wstring JoinArguments(std::vector<std::wstring> const& arguments)
{
    std::wstring joined;
    for (auto const& argument : arguments) {
        if (!joined.empty())
            joined += L' ';
        joined += QuoteArgument(argument);
    }
    return joined;
}

std::int32_t TryExec(std::wstring const& exe, std::vector<std::wstring> const& args, HWND owner, RunOnUi const& runOnUi,
                     ShellExecuteFunction shellExecute)
{
    std::wstring const parameters = JoinArguments(args);

    SHELLEXECUTEINFOW request{};
    request.cbSize = sizeof(request);
    request.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC;
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
    std::int32_t const code = TryExec(installerPath, InstallerArguments, owner, runOnUi);
    if (code == 0)
        return ToValue(ExitCode::InstallerSucceeded);
    if (code == 3010)
        return ToValue(ExitCode::InstallerSucceededRebootRequired);
    return static_cast<std::uint32_t>(code);
}

} // namespace ovl::setup

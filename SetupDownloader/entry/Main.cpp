// The process entry: hardens the process, prepares the UI thread, reads the
// command line and the configuration beside the executable, and runs the
// controller. Failures that reach here are shown in a message box where
// someone can answer it.
#include "controller/Controller.h"
#include "entry/Audience.h"
#include "entry/CommandLine.h"
#include "entry/Configuration.h"
#include "platform/Error.h"
#include "platform/ExecutablePath.h"
#include "platform/Handle.h"
#include "platform/SystemFunctions.h"
#include "platform/SystemLibraries.h"
#include "platform/Text.h"
#include "window/MainWindow.h"
#include "window/ShowCommand.h"

#include <windows.h>

#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

#include <atomic>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// The handler std::terminate calls by default, in place of the library's
// verbose one (which prints to a console this program does not have, and
// brings the C++ demangler with it). Nothing should reach it; should
// something, the process still ends with the code of a failure, after the
// message of an unknown one where someone can see it.
namespace __gnu_cxx {
void __verbose_terminate_handler()
{
    if (ovl::setup::TerminateMayShowBox.load())
        MessageBoxW(nullptr, L"Unknown unhandled exception.", L"Error", MB_ICONERROR);
    ExitProcess(0x80000000);
}
} // namespace __gnu_cxx

namespace ovl::setup {

struct ProcessMitigations {
    bool StrictHandleChecks = false;
    bool MicrosoftSignedOnly = false;
    bool SideChannelIsolation = false;
    bool PreferSystem32Images = false;
};

// SetProcessMitigationPolicy, looked up at run time.
BOOL TrySetProcessMitigationPolicy(PROCESS_MITIGATION_POLICY policy, DWORD flags)
{
    using Function = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);
    auto const function = FindSystemFunction<Function>(L"kernel32.dll", "SetProcessMitigationPolicy");
    if (!function) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    return function(policy, &flags, sizeof(flags));
}

void ApplyProcessMitigations(ProcessMitigations const& request)
{
    if (request.StrictHandleChecks)
        TrySetProcessMitigationPolicy(ProcessStrictHandleCheckPolicy, 0x3);
    if (request.MicrosoftSignedOnly)
        TrySetProcessMitigationPolicy(ProcessSignaturePolicy, 0x1);
    if (request.SideChannelIsolation)
        TrySetProcessMitigationPolicy(static_cast<PROCESS_MITIGATION_POLICY>(14), 0xB); // ProcessSideChannelIsolationPolicy
    if (request.PreferSystem32Images)
        TrySetProcessMitigationPolicy(ProcessImageLoadPolicy, 0x4);
}

namespace {

// The executable's folder, with its trailing separator.
std::wstring ExecutableFolder()
{
    ExecutablePath const executable = ReadExecutablePath();
    if (executable.Path.empty())
        throw std::runtime_error("GetModuleFileNameW failed");
    return executable.Path.substr(0, executable.Path.find_last_of(L"\\/") + 1);
}

// Who is there to see the run, and what it was asked to skip; the switches
// are filled in once the command line has been read.
struct EntryContext {
    bool SomeoneCanAnswer = CanSomeoneAnswer();
    std::optional<int> StartupShow = ReadStartupShowCommand();
    SwitchFlags Flags = 0;

    void AllowTerminateBox() const
    {
        TerminateMayShowBox.store(RunMayShowUi(Flags, SomeoneCanAnswer, StartupShow));
    }
};

// A failure that reached the entry: its box where someone can answer it,
// else the code at once.
void ShowFailure(EntryContext const& context, std::wstring const& text)
{
    if (EntryFailureShowsBox(context.Flags, context.SomeoneCanAnswer)) {
        ConsumeHiddenStartCommand(context.StartupShow);
        MessageBoxW(nullptr, text.c_str(), L"Error", MB_ICONERROR);
    }
}

int Report(EntryContext const& context, std::wstring const& text, std::uint32_t code)
{
    ShowFailure(context, text);
    CoUninitialize();
    return static_cast<int>(code);
}

int Run(EntryContext& context)
{
    int argc = 0;
    wchar_t** const argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    UniqueLocalMemory const ownedArgv(argv);
    if (!argv)
        throw std::runtime_error("CommandLineToArgvW failed");
    std::vector<std::wstring> installerArguments;
    context.Flags = FlagsForAudience(ParseCommandLine(argc, argv, installerArguments), context.SomeoneCanAnswer);
    context.AllowTerminateBox();
    SwitchFlags const flags = context.Flags;

    // Beside the executable, never in the working directory.
    Configuration const configuration = ReadConfiguration(JoinPath(ExecutableFolder(), ConfigurationFileName));

    auto window = std::make_unique<MainWindow>(GetModuleHandleW(nullptr));
    auto controller = std::make_unique<Controller>(*window, configuration, flags, std::move(installerArguments));
    ExitCode const code = controller->Run();
    CoUninitialize();
    controller.reset();
    window.reset();
    return static_cast<int>(ToValue(code));
}

} // namespace
} // namespace ovl::setup

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    using namespace ovl::setup;
    RestrictDllSearchPath();
    ApplyProcessMitigations({true, true, true, false});
    EntryContext context;
    context.AllowTerminateBox();

    HRESULT const com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    if (FAILED(com)) {
        // Reported like the other failures at the entry, with its HRESULT.
        std::wstring const text =
            FormatW(L"Unhandled exception:\r\n\r\nCoInitializeEx failed (0x%08lX)", static_cast<unsigned long>(com));
        ShowFailure(context, text);
        return static_cast<int>(com);
    }
    EnablePerMonitorDpiAwareness();
    INITCOMMONCONTROLSEX controls{};
    controls.dwSize = sizeof(controls);
    controls.dwICC = ICC_PROGRESS_CLASS | ICC_STANDARD_CLASSES;
    InitCommonControlsEx(&controls);

    try {
        return Run(context);
    } catch (std::exception const& e) {
        return Report(context, L"Unhandled exception:\r\n\r\n" + DecodeExceptionMessage(e.what()), ToValue(ExitCode::UnhandledError));
    } catch (winrt::hresult_error const& e) {
        return Report(context, L"Unhandled exception:\r\n\r\n" + e.message(), static_cast<std::uint32_t>(e.code()));
    } catch (...) {
        return Report(context, L"Unknown unhandled exception.", ToValue(ExitCode::UnhandledError));
    }
}

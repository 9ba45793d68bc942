#include "install/Launch.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace ovl::setup {
namespace {

// Runs the callable on the calling thread, as InvokeOnUi does on the UI thread.
RunOnUi const Direct = [](std::function<void()> callable) { callable(); };

// Arguments as given, the command-line text they must become, and what
// CommandLineToArgvW (and the C runtime, which shares its rules for these)
// must read back.
struct QuotingRow {
    wchar_t const* Argument;
    wchar_t const* Quoted;
};
QuotingRow const QuotingRows[] = {
    {L"/S", L"/S"},
    {L"a b", L"\"a b\""},
    {L"x\"y", L"\"x\\\"y\""},
    {L"a \"b c", L"\"a \\\"b c\""},
    {L"a\\\"b", L"\"a\\\\\\\"b\""},
    {L"C:\\dir name\\", L"\"C:\\dir name\\\\\""},
    {L"C:\\dir\\", L"C:\\dir\\"},
    {L"", L"\"\""},
    {L"say \"hi\"", L"\"say \\\"hi\\\"\""},
    {L"tab\there", L"\"tab\there\""},
    {L"a\\\\b c", L"\"a\\\\b c\""},
    {L"ends\\\\ in two", L"\"ends\\\\ in two\""},
    {L"two before\\\\\"quote", L"\"two before\\\\\\\\\\\"quote\""},
    {L"\\\\server\\share dir\\\\", L"\"\\\\server\\share dir\\\\\\\\\""},
};

TEST(QuoteArgument, Rules)
{
    for (auto const& row : QuotingRows)
        EXPECT_EQ(QuoteArgument(row.Argument), row.Quoted) << ovl::test::Narrow(row.Argument);
}

// What CommandLineToArgvW makes of the joined arguments, after a program name.
std::vector<std::wstring> ParsedBack(std::wstring const& parameters)
{
    std::wstring const commandLine = L"setup.exe " + parameters;
    int count = 0;
    wchar_t** const parsed = CommandLineToArgvW(commandLine.c_str(), &count);
    std::vector<std::wstring> arguments(parsed + 1, parsed + count);
    LocalFree(parsed);
    return arguments;
}

TEST(JoinArguments, EveryArgumentRoundTripsThroughCommandLineToArgvW)
{
    std::vector<std::wstring> all;
    for (auto const& row : QuotingRows) {
        EXPECT_EQ(ParsedBack(JoinArguments({row.Argument})), std::vector<std::wstring>{row.Argument})
            << ovl::test::Narrow(row.Argument);
        all.push_back(row.Argument);
    }
    EXPECT_EQ(ParsedBack(JoinArguments(all)), all);
}

TEST(JoinArguments, BlanksBetweenAndEmptyArgumentsKept)
{
    EXPECT_EQ(JoinArguments({L"/S", L"C:\\Program Files\\x"}), L"/S \"C:\\Program Files\\x\"");
    EXPECT_EQ(JoinArguments({}), L"");
    EXPECT_EQ(JoinArguments({L"", L"a"}), L"\"\" a");
    EXPECT_EQ(JoinArguments({L"a", L"", L"b"}), L"a \"\" b");
}

// The sample installer's report: its parsed arguments, one per line.
std::vector<std::string> ReportedArguments(std::wstring const& report)
{
    std::istringstream lines(ovl::test::ReadBytes(report));
    std::vector<std::string> arguments;
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("argument ") && !line.starts_with("argument count"))
            arguments.push_back(line.substr(line.find(": ") + 2));
    }
    return arguments;
}

// The raw command line the sample installer was started with.
std::string ReportedCommandLine(std::wstring const& report)
{
    std::istringstream lines(ovl::test::ReadBytes(report));
    std::string line;
    while (std::getline(lines, line)) {
        if (line.starts_with("command line: "))
            return line.substr(14);
    }
    return {};
}

TEST(TryExec, TheInstallerReceivesExactlyTheArguments)
{
    ovl::test::TempDir dir;
    std::wstring const report = dir.File(L"report.txt");
    std::vector<std::wstring> args;
    std::vector<std::string> expected;
    for (auto const& row : QuotingRows) {
        args.push_back(row.Argument);
        expected.push_back(ovl::test::Narrow(row.Argument));
    }
    args.push_back(L"--report=" + report);
    expected.push_back("--report=" + ovl::test::Narrow(report));
    EXPECT_EQ(TryExec(OVL_UNSIGNED_INSTALLER, args, nullptr, Direct), 0);
    EXPECT_EQ(ReportedArguments(report), expected);
}

TEST(ToLaunchPath, TheOrdinaryFormWhenItFitsInMaxPath)
{
    std::wstring const folder = L"C:\\" + std::wstring(240, L'd') + L"\\";
    std::wstring const fits = folder + std::wstring(MAX_PATH - 1 - folder.size(), L'f');   // 259 characters
    std::wstring const tooLong = folder + std::wstring(MAX_PATH - folder.size(), L'f');    // 260 characters
    struct Row {
        std::wstring Path;
        std::wstring Launched;
    } const rows[] = {
        {L"\\\\?\\C:\\Users\\u\\Temp\\Setup.exe", L"C:\\Users\\u\\Temp\\Setup.exe"},
        {L"\\\\?\\UNC\\server\\share\\Setup.exe", L"\\\\server\\share\\Setup.exe"},
        {L"\\\\?\\" + fits, fits},
        {L"\\\\?\\" + tooLong, L"\\\\?\\" + tooLong}, // only the long form can name it
        {L"C:\\Setup.exe", L"C:\\Setup.exe"},
        {L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\Setup.exe",
         L"\\\\?\\Volume{01234567-89ab-cdef-0123-456789abcdef}\\Setup.exe"},
        {L"\\\\.\\C:\\Setup.exe", L"\\\\.\\C:\\Setup.exe"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ToLaunchPath(row.Path), row.Launched) << ovl::test::Narrow(row.Path);
}

// The workflow passes the \\?\ path that GetFinalPathNameByHandleW gives;
// the installer is started by the ordinary path, which is its command line.
TEST(RunInstaller, StartsTheInstallerByItsOrdinaryPath)
{
    ovl::test::TempDir dir;
    std::wstring const report = dir.File(L"report.txt");
    AppPackage package;
    package.InstallerArguments = {L"--report=" + report};
    std::wstring const extended = std::wstring(L"\\\\?\\") + OVL_UNSIGNED_INSTALLER;
    EXPECT_EQ(package.RunInstaller(extended, nullptr, Direct), 0x60000000u);
    std::string const commandLine = ReportedCommandLine(report);
    EXPECT_TRUE(commandLine.starts_with(ovl::test::Narrow(OVL_UNSIGNED_INSTALLER)) ||
                commandLine.starts_with("\"" + ovl::test::Narrow(OVL_UNSIGNED_INSTALLER)))
        << commandLine;
}

TEST(RunInstaller, ExitCodeMapping)
{
    struct Row {
        wchar_t const* Code;
        std::uint32_t Expected;
    } const rows[] = {
        {L"0", 0x60000000}, {L"3010", 0x60000001}, {L"1603", 1603}, {L"-1", 0xFFFFFFFF},
        {L"0x60000000", 0x60000000}, {L"1223", 1223}, {L"-3010", 0xFFFFF43E},
    };
    for (auto const& row : rows) {
        AppPackage package;
        package.InstallerArguments = {std::wstring(L"--exit-code=") + row.Code};
        EXPECT_EQ(package.RunInstaller(OVL_UNSIGNED_INSTALLER, nullptr, Direct), row.Expected) << row.Code;
    }
}

// Fakes of the shell call.
SHELLEXECUTEINFOW recorded;
std::wstring recordedFile;
bool parametersWereNull = false;
BOOL WINAPI RecordAndRun(SHELLEXECUTEINFOW* info)
{
    recorded = *info;
    recordedFile = info->lpFile;
    parametersWereNull = info->lpParameters == nullptr;
    return ShellExecuteExW(info);
}
BOOL WINAPI FailWith2(SHELLEXECUTEINFOW*)
{
    SetLastError(ERROR_FILE_NOT_FOUND);
    return FALSE;
}
BOOL WINAPI DeclineElevation(SHELLEXECUTEINFOW*)
{
    SetLastError(ERROR_CANCELLED);
    return FALSE;
}
BOOL WINAPI SucceedWithoutProcess(SHELLEXECUTEINFOW* info)
{
    info->hProcess = nullptr;
    return TRUE;
}

TEST(TryExec, TheRequestAsFilled)
{
    EXPECT_EQ(TryExec(OVL_UNSIGNED_INSTALLER, {}, nullptr, Direct, RecordAndRun), 0);
    EXPECT_TRUE(parametersWereNull);
    EXPECT_EQ(recorded.cbSize, 112u);
    // SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI: a failed
    // launch never opens the shell's error box.
    EXPECT_EQ(recorded.fMask, 0x540u);
    EXPECT_EQ(recorded.lpVerb, nullptr);
    EXPECT_EQ(recorded.lpDirectory, nullptr);
    EXPECT_EQ(recorded.nShow, SW_SHOWNORMAL);
    EXPECT_EQ(recordedFile, OVL_UNSIGNED_INSTALLER);
}

TEST(TryExec, ShellFailures)
{
    // Under Wine a missing file opens an error dialog from the shell; the
    // failure is given by a fake shell call instead.
    try {
        TryExec(L"C:\\missing.exe", {}, nullptr, Direct, FailWith2);
        FAIL();
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "ShellExecuteExW failed (0x00000002)");
    }
    EXPECT_THROW(TryExec(L"C:\\x.exe", {}, nullptr, Direct, DeclineElevation), CanceledException);
    try {
        TryExec(L"C:\\x.exe", {}, nullptr, Direct, SucceedWithoutProcess);
        FAIL();
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "The installer did not start");
    }
    EXPECT_THROW(TryExec(L"C:\\x.exe", {}, nullptr, RunOnUi{}), std::bad_function_call);
}

TEST(TryExec, TheShellCallRunsThroughTheRunner)
{
    int runs = 0;
    DWORD runnerThread = 0;
    RunOnUi const counting = [&](std::function<void()> callable) {
        ++runs;
        std::thread other([&] {
            runnerThread = GetCurrentThreadId();
            callable();
        });
        other.join();
    };
    EXPECT_EQ(TryExec(OVL_UNSIGNED_INSTALLER, {L"--exit-code=7"}, nullptr, counting), 7);
    EXPECT_EQ(runs, 1);
    EXPECT_NE(runnerThread, GetCurrentThreadId());
}

} // namespace
} // namespace ovl::setup

#include "install/Launch.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

namespace ovl::setup {
namespace {

// Runs the callable on the calling thread, as InvokeOnUi does on the UI thread.
RunOnUi const Direct = [](std::function<void()> callable) { callable(); };

TEST(QuoteArgument, Rules)
{
    struct Row {
        wchar_t const* Argument;
        wchar_t const* Quoted;
    } const rows[] = {
        {L"a b", L"\"a b\""},
        {L"say \"hi\"", L"\"say \"\"hi\"\"\""},
        {L"C:\\dir name\\", L"\"C:\\dir name\\\\\""},
        {L"C:\\dir\\", L"C:\\dir\\"},
        {L"x\"y", L"x\"\"y"},
        {L"", L""},
        {L"tab\there", L"\"tab\there\""},
        {L"new\nline", L"\"new\nline\""},
        {L"a\\\\b c", L"\"a\\\\b c\""},
        {L"/S", L"/S"},
    };
    for (auto const& row : rows)
        EXPECT_EQ(QuoteArgument(row.Argument), row.Quoted) << row.Argument;
}

TEST(JoinArguments, BlanksBetweenAndEmptyArguments)
{
    EXPECT_EQ(JoinArguments({L"/S", L"C:\\Program Files\\x"}), L"/S \"C:\\Program Files\\x\"");
    EXPECT_EQ(JoinArguments({}), L"");
    EXPECT_EQ(JoinArguments({L"", L"a"}), L"a");
    EXPECT_EQ(JoinArguments({L"a", L"", L"b"}), L"a  b");
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

TEST(TryExec, TheInstallerReceivesExactlyTheArguments)
{
    ovl::test::TempDir dir;
    std::wstring const report = dir.File(L"report.txt");
    std::vector<std::wstring> const args = {L"/S", L"C:\\Program Files\\x", L"say \"hi\"", L"trailing\\",
                                            L"dir name\\", L"", L"last one", L"--report=" + report};
    EXPECT_EQ(TryExec(OVL_UNSIGNED_INSTALLER, args, nullptr, Direct), 0);
    // An empty argument in the middle collapses into the blanks around it:
    // the command line cannot carry it.
    EXPECT_EQ(ReportedArguments(report),
              (std::vector<std::string>{"/S", "C:\\Program Files\\x", "say \"hi\"", "trailing\\", "dir name\\",
                                        "last one", "--report=" + ovl::test::Narrow(report)}));
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
    EXPECT_EQ(recorded.fMask, 0x140u);
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

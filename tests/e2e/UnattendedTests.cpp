// A failure that reaches the entry, in a run that asked for no error prompts:
// the process ends at once with the failure's code instead of waiting on a
// message box that, started by a deployment tool, nobody would answer.

#include "e2e/AppRun.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace ovl::test::e2e;
using namespace std::chrono_literals;

TEST(Unattended, AFailureAtTheEntryEndsAtOnceWithoutAMessageBox)
{
    struct Row {
        char const* Name;
        std::vector<std::wstring> Arguments;
        std::optional<std::string> Configuration;
        DWORD ExpectedCode;
    } const rows[] = {
        {"no configuration, /SkipErrorPrompts", {L"/SkipErrorPrompts"}, std::nullopt, 0x80000000u},
        {"no configuration, /Passive", {L"/Passive"}, std::nullopt, 0x80000000u},
        {"no configuration, --skiperrorprompts", {L"--skiperrorprompts"}, std::nullopt, 0x80000000u},
        {"a key missing, /SkipErrorPrompts", {L"/SkipErrorPrompts"}, Config(true, false), 0x83750009u},
    };
    for (auto const& row : rows) {
        AppRun run(row.Arguments, row.Configuration);
        // Generous: the process needs well under a second once Wine is warm.
        std::optional<DWORD> const code = run.ExitCode(20s);
        EXPECT_EQ(code, row.ExpectedCode) << row.Name << (code ? "" : ": still running (waiting on a box?)");
        if (!code) {
            EXPECT_EQ(run.Window(L"#32770", 0s), nullptr) << row.Name << ": a message box is waiting";
        }
    }
}

} // namespace

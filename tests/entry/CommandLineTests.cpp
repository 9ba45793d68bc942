#include "entry/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace ovl::setup {
namespace {

struct CommandLineCase {
    char const* Description;
    std::vector<std::wstring> Arguments; // without argv[0]
    SwitchFlags ExpectedFlags;
    std::vector<std::wstring> ExpectedInstallerArguments;
};

class ParseCommandLineTest : public ::testing::TestWithParam<CommandLineCase> {};

TEST_P(ParseCommandLineTest, SplitsSwitchesFromInstallerArguments)
{
    auto const& c = GetParam();
    std::vector<wchar_t const*> argv{L"C:\\setup\\SetupDownloader.exe"};
    for (auto const& a : c.Arguments)
        argv.push_back(a.c_str());

    std::vector<std::wstring> installerArguments;
    SwitchFlags const flags = ParseCommandLine(static_cast<int>(argv.size()), argv.data(), installerArguments);

    EXPECT_EQ(flags, c.ExpectedFlags) << c.Description;
    EXPECT_EQ(installerArguments, c.ExpectedInstallerArguments) << c.Description;
}

INSTANTIATE_TEST_SUITE_P(Table, ParseCommandLineTest, ::testing::Values(
    CommandLineCase{"empty command line", {}, 0, {}},
    CommandLineCase{"slash and double-dash prefixes", {L"/S", L"--passive"}, 0x0F, {L"/S"}},
    CommandLineCase{"each switch, slash", {L"/SkipInitialPrompt"}, 0x01, {}},
    CommandLineCase{"upper case", {L"/SKIPINITIALPROMPT"}, 0x01, {}},
    CommandLineCase{"lower case, double dash", {L"--skipinitialprompt"}, 0x01, {}},
    CommandLineCase{"success prompt", {L"/SkipSuccessPrompt"}, 0x02, {}},
    CommandLineCase{"error prompts", {L"--SkipErrorPrompts"}, 0x04, {}},
    CommandLineCase{"reboot prompts", {L"/skipandsuppressrebootprompts"}, 0x08, {}},
    CommandLineCase{"passive", {L"/Passive"}, 0x0F, {}},
    CommandLineCase{"suppress reboot", {L"/SuppressReboot"}, 0x10, {}},
    CommandLineCase{"passive does not include suppress reboot", {L"/Passive", L"/SuppressReboot"}, 0x1F, {}},
    CommandLineCase{"suppress reboot with reboot prompts", {L"/SuppressReboot", L"/SkipAndSuppressRebootPrompts"}, 0x18, {}},
    CommandLineCase{"repeated switch", {L"/Passive", L"--PASSIVE", L"/passive"}, 0x0F, {}},
    CommandLineCase{"one dash is no prefix", {L"-Passive"}, 0, {L"-Passive"}},
    CommandLineCase{"three dashes leave a dash in the name", {L"---Passive"}, 0, {L"---Passive"}},
    CommandLineCase{"lone slash", {L"/"}, 0, {L"/"}},
    CommandLineCase{"lone double dash", {L"--"}, 0, {L"--"}},
    CommandLineCase{"lone dash", {L"-"}, 0, {L"-"}},
    CommandLineCase{"whole-name match, not a prefix test", {L"/Pass", L"/PassiveX", L"/Passive=1", L"/Passive:"}, 0,
                    {L"/Pass", L"/PassiveX", L"/Passive=1", L"/Passive:"}},
    CommandLineCase{"blank inside the name", {L"/Skip InitialPrompt", L"/Passive "}, 0,
                    {L"/Skip InitialPrompt", L"/Passive "}},
    CommandLineCase{"backslash is no prefix", {L"\\Passive"}, 0, {L"\\Passive"}},
    CommandLineCase{"order of pass-through arguments kept, switches mixed in",
                    {L"a", L"/SkipErrorPrompts", L"b", L"--x", L"/SuppressReboot", L"c"}, 0x14,
                    {L"a", L"b", L"--x", L"c"}},
    CommandLineCase{"argument with blanks stays one entry", {L"C:\\My Files\\x", L"/S"}, 0,
                    {L"C:\\My Files\\x", L"/S"}},
    CommandLineCase{"empty argument passes through", {L"", L"/Passive", L""}, 0x0F, {L"", L""}},
    CommandLineCase{"non-ASCII letters are not folded", {L"/P\u00C4ssive"}, 0, {L"/P\u00C4ssive"}}));

TEST(ParseCommandLine, AppendsToAnExistingList)
{
    wchar_t const* argv[] = {L"setup.exe", L"/S", L"/Passive"};
    std::vector<std::wstring> installerArguments{L"earlier"};
    EXPECT_EQ(ParseCommandLine(3, argv, installerArguments), 0x0Fu);
    EXPECT_EQ(installerArguments, (std::vector<std::wstring>{L"earlier", L"/S"}));
}

TEST(ParseCommandLine, SkipsOnlyTheProgramPath)
{
    wchar_t const* argv[] = {L"/Passive"};
    std::vector<std::wstring> installerArguments;
    EXPECT_EQ(ParseCommandLine(1, argv, installerArguments), 0u);
    EXPECT_TRUE(installerArguments.empty());
}

TEST(SwitchFlags, PassiveIsTheFourPromptSwitches)
{
    EXPECT_EQ(Switch::Passive, Switch::SkipInitialPrompt | Switch::SkipSuccessPrompt | Switch::SkipErrorPrompts |
                                   Switch::SkipAndSuppressRebootPrompts);
    EXPECT_EQ(Switch::Passive & Switch::SuppressReboot, 0u);
}

} // namespace
} // namespace ovl::setup

#include "entry/CommandLine.h"

#include "platform/Text.h"

#include <string_view>

namespace ovl::setup {

namespace {

struct SwitchName {
    std::wstring_view Name;
    SwitchFlags Bits;
};

// Compared in this order; the first whole-name match wins.
constexpr SwitchName SwitchNames[] = {
    {L"SkipInitialPrompt", Switch::SkipInitialPrompt},
    {L"SkipSuccessPrompt", Switch::SkipSuccessPrompt},
    {L"SkipErrorPrompts", Switch::SkipErrorPrompts},
    {L"SkipAndSuppressRebootPrompts", Switch::SkipAndSuppressRebootPrompts},
    {L"Passive", Switch::Passive},
    {L"SuppressReboot", Switch::SuppressReboot},
};

} // namespace

SwitchFlags ParseCommandLine(int argc, wchar_t const* const* argv,
                             std::vector<std::wstring>& installerArguments)
{
    SwitchFlags flags = 0;
    for (int i = 1; i < argc; ++i) {
        std::wstring_view const argument = argv[i] ? argv[i] : L"";
        std::wstring_view name;
        if (argument.starts_with(L"/"))
            name = argument.substr(1);
        else if (argument.starts_with(L"--"))
            name = argument.substr(2);
        else {
            installerArguments.emplace_back(argument);
            continue;
        }

        bool matched = false;
        for (auto const& candidate : SwitchNames) {
            if (EqualsIgnoreAsciiCase(name, candidate.Name)) {
                flags |= candidate.Bits;
                matched = true;
                break;
            }
        }
        if (!matched)
            installerArguments.emplace_back(argument);
    }
    return flags;
}

} // namespace ovl::setup

#pragma once
// The command-line switches. Every argument that is not a switch is passed on
// to the installer, in order.

#include <cstdint>
#include <string>
#include <vector>

namespace ovl::setup {

// Bit set of the command-line switches.
using SwitchFlags = std::uint32_t;

namespace Switch {
inline constexpr SwitchFlags SkipInitialPrompt = 0x01;
inline constexpr SwitchFlags SkipSuccessPrompt = 0x02;
inline constexpr SwitchFlags SkipErrorPrompts = 0x04;
inline constexpr SwitchFlags SkipAndSuppressRebootPrompts = 0x08;
inline constexpr SwitchFlags Passive = 0x0F; // the four above
inline constexpr SwitchFlags SuppressReboot = 0x10;
// Not a switch: set by the entry where no one can answer a prompt (see
// entry/Audience.h); no end screen waits, the cancellation's included.
inline constexpr SwitchFlags NoOneAnswers = 0x100;
} // namespace Switch

// Splits argv (as CommandLineToArgvW gives it; argv[0] is skipped) into the
// switch flags and the installer arguments, which are appended to the list.
// A switch is "/" or "--" followed by one of the switch names, matched whole
// and without regard to letter case; anything else passes through unchanged.
SwitchFlags ParseCommandLine(int argc, wchar_t const* const* argv,
                             std::vector<std::wstring>& installerArguments);

} // namespace ovl::setup

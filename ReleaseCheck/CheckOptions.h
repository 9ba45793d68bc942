#pragma once
// The command line of ReleaseCheck.exe:
//   ReleaseCheck.exe MANIFEST [--mirrors] [--milestone NAME] [--arch x64|arm64] [--json]

#include "catalogue/SystemInfo.h"
#include "catalogue/Version.h"

#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace ovl::setup {

struct CheckOptions {
    std::wstring Manifest; // a URL (http or https) or a local file
    bool Mirrors = false;  // download and check every mirror a combination chooses
    bool Json = false;     // one JSON document instead of text for people
    std::optional<AppMilestone> Milestone;           // else every milestone
    std::optional<ReleaseArchitecture> Architecture; // else x64 and arm64
};

extern wchar_t const CheckUsage[];

// The options, or what is wrong with the arguments (argv[0] excluded).
std::variant<CheckOptions, std::wstring> ParseCheckArguments(std::vector<std::wstring> const& arguments);

// True when the manifest is named by an http or https URL.
bool IsUrl(std::wstring const& manifest) noexcept;

} // namespace ovl::setup

#include "ReleaseCheck/CheckOptions.h"

#include "platform/Text.h"

namespace ovl::setup {

wchar_t const CheckUsage[] =
    L"usage: ReleaseCheck.exe MANIFEST [--mirrors] [--milestone NAME] [--arch x64|arm64] [--json]\n"
    L"\n"
    L"Checks a release manifest with the downloader's own rules: MANIFEST is its URL\n"
    L"or a local file. For every milestone (All, Nightly, Alpha, Beta, Stable, or\n"
    L"NAME) and architecture (x64 and arm64, or the one given) it shows what the\n"
    L"downloader would choose; --mirrors downloads every mirror chosen and checks\n"
    L"its installer and signature. Exit codes: 0 when everything can be installed,\n"
    L"1 when a problem was found, 2 for bad arguments.\n";

bool IsUrl(std::wstring const& manifest) noexcept
{
    for (std::wstring_view scheme : {std::wstring_view(L"http://"), std::wstring_view(L"https://")}) {
        if (manifest.size() > scheme.size() && EqualsIgnoreAsciiCase(std::wstring_view(manifest).substr(0, scheme.size()), scheme))
            return true;
    }
    return false;
}

std::variant<CheckOptions, std::wstring> ParseCheckArguments(std::vector<std::wstring> const& arguments)
{
    CheckOptions options;
    for (size_t i = 0; i < arguments.size(); ++i) {
        std::wstring const& argument = arguments[i];
        bool const hasValue = i + 1 < arguments.size();
        if (argument == L"--mirrors") {
            options.Mirrors = true;
        } else if (argument == L"--json") {
            options.Json = true;
        } else if (argument == L"--milestone") {
            auto const milestone = hasValue ? MilestoneFromName(arguments[++i]) : std::nullopt;
            if (!milestone)
                return std::wstring(L"--milestone needs All, Nightly, Alpha, Beta or Stable");
            options.Milestone = milestone;
        } else if (argument == L"--arch") {
            std::wstring const name = hasValue ? arguments[++i] : L"";
            if (EqualsIgnoreAsciiCase(name, L"x64"))
                options.Architecture = ReleaseArchitecture::X64;
            else if (EqualsIgnoreAsciiCase(name, L"arm64"))
                options.Architecture = ReleaseArchitecture::Arm64;
            else
                return std::wstring(L"--arch needs x64 or arm64");
        } else if (argument.starts_with(L"--") || !options.Manifest.empty()) {
            return L"unexpected argument: " + argument;
        } else {
            options.Manifest = argument;
        }
    }
    if (options.Manifest.empty())
        return std::wstring(L"the manifest (a URL or a file) is missing");
    return options;
}

} // namespace ovl::setup

#pragma once
// The configuration file "SetupDownloader.Configuration.json" beside the
// executable: what is installed, from which channel, from which manifest.

#include "catalogue/Version.h"

#include <string>
#include <string_view>

namespace ovl::setup {

inline constexpr wchar_t ConfigurationFileName[] = L"SetupDownloader.Configuration.json";

struct Configuration {
    Version3 RuntimeVersion3;
    bool InstallRuntime = false; // required, but no step consults it
    bool InstallApp = false;
    ovl::setup::AppMilestone AppMilestone = AppMilestone::Stable;
    bool Test = false;
};

// Reads and parses the file (UTF-8, optionally with a byte order mark). Fails
// with "Could not open configuration file", "Failed to convert configuration
// file to UTF-16", or as ParseConfiguration does.
Configuration ReadConfiguration(std::wstring const& path);

// Reads the five keys in a fixed order, so that the first failing key is the
// one reported: the JSON layer's winrt::hresult_error for a missing key or a
// wrong type, Version3::Parse's error, or "Unknown AppMilestone value in
// configuration".
Configuration ParseConfiguration(std::wstring_view text);

} // namespace ovl::setup

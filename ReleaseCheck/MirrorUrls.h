#pragma once
// The static part of the mirror check: every mirror URL of every chosen file
// judged by the downloader's own URL rules, without going to the network, so
// that a release whose mirror the downloader would refuse is never published.

#include "ReleaseCheck/Report.h"

#include <optional>
#include <string>
#include <vector>

namespace ovl::setup {

// The downloader's message for a URL it refuses, or none when it accepts it.
std::optional<std::wstring> UrlRefusal(std::wstring const& url);

// Every refused mirror of the files the choices name, each file once.
std::vector<RefusedMirror> FindRefusedMirrors(std::vector<Choice> const& choices);

} // namespace ovl::setup

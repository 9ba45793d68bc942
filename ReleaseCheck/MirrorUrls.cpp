#include "ReleaseCheck/MirrorUrls.h"

#include "platform/Http.h"

#include <set>

namespace ovl::setup {

std::optional<std::wstring> UrlRefusal(std::wstring const& url)
{
    // The very parse the downloader makes before its first request.
    try {
        winrt::Windows::Foundation::Uri const parsed(url);
    } catch (winrt::hresult_error const& e) {
        return e.message();
    }
    return std::nullopt;
}

std::vector<RefusedMirror> FindRefusedMirrors(std::vector<Choice> const& choices)
{
    std::vector<RefusedMirror> refused;
    std::set<ReleaseFile const*> seen;
    for (auto const& choice : choices) {
        if (!choice.ChosenFile || !seen.insert(choice.ChosenFile).second)
            continue;
        for (auto const& url : choice.ChosenFile->MirrorUrls) {
            if (auto message = UrlRefusal(url))
                refused.push_back({choice.ChosenRelease->DisplayName, choice.Architecture, url, std::move(*message)});
        }
    }
    return refused;
}

} // namespace ovl::setup

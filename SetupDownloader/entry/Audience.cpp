#include "entry/Audience.h"

namespace ovl::setup {

bool CanSomeoneAnswer(AudienceQueries const& queries)
{
    DWORD session = 0;
    if (queries.ProcessIdToSessionId(GetCurrentProcessId(), &session) && session == 0)
        return false;
    HWINSTA const station = queries.GetProcessWindowStation();
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    if (station && queries.GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof(flags), &needed) &&
        !(flags.dwFlags & WSF_VISIBLE))
        return false;
    return true;
}

SwitchFlags FlagsForAudience(SwitchFlags flags, bool someoneCanAnswer) noexcept
{
    if (someoneCanAnswer)
        return flags;
    return flags | Switch::Passive | Switch::NoOneAnswers;
}

bool EntryFailureShowsBox(SwitchFlags flags, bool someoneCanAnswer) noexcept
{
    return someoneCanAnswer && !(flags & Switch::SkipErrorPrompts);
}

bool RunMayShowUi(SwitchFlags flags, bool someoneCanAnswer, std::optional<int> startupShow) noexcept
{
    return EntryFailureShowsBox(flags, someoneCanAnswer) && startupShow != SW_HIDE;
}

} // namespace ovl::setup

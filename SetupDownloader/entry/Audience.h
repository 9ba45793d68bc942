#pragma once
// Whether anyone can answer the program's prompts, and what a run does where
// no one can: in session 0 (services, SYSTEM) or on a window station that is
// not visible, every prompt would wait on a desktop nobody sees.

#include "entry/CommandLine.h"

#include <windows.h>

#include <optional>

namespace ovl::setup {

// The system calls the decision rests on; tests replace them.
struct AudienceQueries {
    BOOL(WINAPI* ProcessIdToSessionId)(DWORD processId, DWORD* sessionId) = ::ProcessIdToSessionId;
    HWINSTA(WINAPI* GetProcessWindowStation)() = ::GetProcessWindowStation;
    BOOL(WINAPI* GetUserObjectInformationW)(HANDLE object, int index, void* information, DWORD length,
                                            DWORD* needed) = ::GetUserObjectInformationW;
};

// False in session 0, or when the process's window station lacks
// WSF_VISIBLE; a question that cannot be answered counts for nothing.
bool CanSomeoneAnswer(AudienceQueries const& queries = {});

// The switches a run applies: where no one can answer, those of /Passive
// (no prompt, no error screen, never a restart of our own) together with
// Switch::NoOneAnswers, which also keeps the cancellation screen from waiting.
SwitchFlags FlagsForAudience(SwitchFlags flags, bool someoneCanAnswer) noexcept;

// A failure that reaches the entry is shown in a message box only where
// someone can answer it and the command line did not ask to skip error prompts.
bool EntryFailureShowsBox(SwitchFlags flags, bool someoneCanAnswer) noexcept;

// Whether the run may show UI at all; the terminate handler shows its box
// only then. No UI: nobody can answer, error prompts are skipped, or the
// starter asked for a hidden window.
bool RunMayShowUi(SwitchFlags flags, bool someoneCanAnswer, std::optional<int> startupShow) noexcept;

} // namespace ovl::setup

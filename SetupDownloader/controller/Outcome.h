#pragma once
// The small types that every stage of a run shares: the result code, the
// role of the window's single button, and cancellation.

#include <atomic>
#include <cstdint>
#include <exception>
#include <optional>

namespace ovl::setup {

// The result of a run and the process exit code. Values other than the named
// ones (an installer's own exit code, a signature status) pass through as is.
enum class ExitCode : std::uint32_t {
    Success = 0,
    OsNotSupported = 1150,                        // ERROR_OLD_WIN_VERSION
    Canceled = 1223,                              // ERROR_CANCELLED
    RebootInitiated = 1641,                       // ERROR_SUCCESS_REBOOT_INITIATED
    RebootRequired = 3010,                        // ERROR_SUCCESS_REBOOT_REQUIRED
    InstallerSucceeded = 0x60000000,              // the installer exited with 0
    InstallerSucceededRebootRequired = 0x60000001, // the installer exited with 3010
    UnhandledError = 0x80000000,
};

constexpr ExitCode ToExitCode(std::uint32_t value) noexcept { return static_cast<ExitCode>(value); }
constexpr ExitCode ToExitCode(std::int32_t value) noexcept
{
    return static_cast<ExitCode>(static_cast<std::uint32_t>(value));
}
constexpr std::uint32_t ToValue(ExitCode code) noexcept { return static_cast<std::uint32_t>(code); }

// What the window's single button stands for; the caption belongs to the value.
enum class ButtonAction : std::int32_t {
    Cancel = 1,
    Close = 2,
    Continue = 3,
    Restart = 4,
};

// "Cancel", "Close", "Continue" or "Restart"; any value outside them reads "Close".
wchar_t const* GetButtonCaption(ButtonAction action) noexcept;

// Thrown by a running step that notices the run has been canceled.
class CanceledException : public std::exception {
public:
    char const* what() const noexcept override { return "canceled"; }
};

// The run's cancel flag: set once, by the UI thread's cancel handler, and
// only read by the steps, which receive it by const reference.
using CancelFlag = std::atomic<bool>;

// The task bar's value for a reported percentage: none (the marquee) for a
// negative or not-a-number value, else the whole number min(percent, 100)
// truncated toward zero.
std::optional<int> TaskProgressValue(double percent) noexcept;

// Lets a task-bar value through only when it differs from the one the bar
// shows, so that a fast transfer (a report per 64 KiB chunk) posts at most a
// hundred or so changes instead of one per chunk.
class TaskProgressFilter {
public:
    // True when value changes what the bar shows; it then counts as shown.
    bool Changes(std::optional<int> value) noexcept
    {
        if (known_ && shown_ == value)
            return false;
        Shown(value);
        return true;
    }
    // The bar was set to value by other means.
    void Shown(std::optional<int> value) noexcept
    {
        known_ = true;
        shown_ = value;
    }

private:
    bool known_ = false;
    std::optional<int> shown_;
};

// How the workflow ends for a result of AppPackage::RunInstaller.
enum class InstallerEnd {
    Succeeded,        // 0x60000000: no end screen
    Restart,          // 0x60000001: restart to finalize
    RestartToContinue, // -3010: restart, then run the installer again
    Complete,         // 1223 or 0x800704C7: the user canceled the installer
    RestartStarted,   // 1641: the installer has started the restart itself
    Failed,           // anything else: the installer's own code
};
InstallerEnd ClassifyInstallerResult(std::uint32_t result) noexcept;

// The exit code of the reboot end screen, from the button pressed there
// (none when the prompt is skipped) and whether reboots are suppressed.
// RebootInitiated means the system is to be restarted.
ExitCode ChooseRebootExitCode(std::optional<ButtonAction> pressed, bool suppressReboot) noexcept;

// Throws CanceledException when the flag is set.
inline void ThrowIfCanceled(CancelFlag const& cancel)
{
    if (cancel.load(std::memory_order_acquire))
        throw CanceledException();
}

} // namespace ovl::setup

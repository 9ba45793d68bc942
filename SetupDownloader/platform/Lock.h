#pragma once
// A lock and a condition variable over the Win32 slim reader/writer lock and
// condition variable. Unlike kernel events, an uncontended wait or wake costs
// no system call (under Wine, no round trip to the wineserver), which matters
// on paths taken for every chunk of a download.

#include <windows.h>

#include <chrono>

namespace ovl::setup {

// Usable with std::lock_guard and std::unique_lock.
class SlimLock {
public:
    SlimLock() noexcept = default;
    SlimLock(SlimLock const&) = delete;
    SlimLock& operator=(SlimLock const&) = delete;

    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }
    SRWLOCK* Native() noexcept { return &lock_; }

private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

class ConditionVariable {
public:
    ConditionVariable() noexcept = default;
    ConditionVariable(ConditionVariable const&) = delete;
    ConditionVariable& operator=(ConditionVariable const&) = delete;

    // Waits, with the lock held, until woken or the time is up (spurious
    // wake-ups are possible: callers loop on their condition).
    void WaitFor(SlimLock& lock, std::chrono::milliseconds timeout) noexcept
    {
        SleepConditionVariableSRW(&condition_, lock.Native(), static_cast<DWORD>(timeout.count()), 0);
    }
    void Wait(SlimLock& lock) noexcept { SleepConditionVariableSRW(&condition_, lock.Native(), INFINITE, 0); }
    void WakeAll() noexcept { WakeAllConditionVariable(&condition_); }

private:
    CONDITION_VARIABLE condition_ = CONDITION_VARIABLE_INIT;
};

} // namespace ovl::setup

#pragma once
// Ends the test process when a run under test hangs, so that a hang fails
// one test executable quickly instead of holding the whole suite until
// ctest's own timeout.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <thread>

namespace ovl::test {

class Watchdog {
public:
    explicit Watchdog(std::chrono::seconds limit) : thread_([this, limit] {
        if (WaitForSingleObject(stop_, static_cast<DWORD>(limit.count() * 1000)) == WAIT_TIMEOUT) {
            std::fprintf(stderr, "the run hung: ending the test process\n");
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    }) {}
    ~Watchdog()
    {
        SetEvent(stop_);
        thread_.join();
        CloseHandle(stop_);
    }
    Watchdog(Watchdog const&) = delete;
    Watchdog& operator=(Watchdog const&) = delete;

private:
    HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread_;
};

} // namespace ovl::test

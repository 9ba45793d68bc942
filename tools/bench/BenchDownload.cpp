// Measures a download: bench-download.exe URL [FILE]
// Without FILE, DownloadToSink into a null sink; with it, DownloadToPinnedFile
// into a new file there (deleted at the end).
// Prints "<bytes> <seconds> <peak working set bytes> <progress reports>
// <task-bar posts>": the reports the transfer made, and how many of them
// changed what the window's task bar shows (the posts the window receives).
#include "download/FileDownload.h"

#include <windows.h>

#include <psapi.h>

#include <chrono>
#include <cstdio>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: bench-download URL [FILE]\n");
        return 2;
    }
    ovl::setup::CancelFlag cancel{false};
    unsigned long reports = 0;
    unsigned long posts = 0;
    ovl::setup::TaskProgressFilter filter;
    filter.Shown(std::nullopt);
    ovl::setup::DownloadProgressCallback const progress = [&](ovl::setup::DownloadProgress const& p) {
        ++reports;
        posts += filter.Changes(ovl::setup::TaskProgressValue(p.percent)) ? 1 : 0;
    };
    auto const started = std::chrono::steady_clock::now();
    std::uint64_t total = 0;
    try {
        if (argc == 3) {
            ovl::setup::PinnedFile file(argv[2], ovl::setup::PinnedFileAccess::ReadWrite);
            ovl::setup::DownloadToPinnedFile(argv[1], file, progress, cancel);
            total = file.GetSize();
        } else {
            total = ovl::setup::DownloadToSink(argv[1], progress, cancel,
                                               [](std::uint8_t const*, std::uint32_t, std::uint64_t) {});
        }
    } catch (std::exception const& e) {
        std::fprintf(stderr, "bench-download: %s\n", e.what());
        return 1;
    } catch (winrt::hresult_error const&) {
        std::fprintf(stderr, "bench-download: platform error\n");
        return 1;
    }
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    PROCESS_MEMORY_COUNTERS counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    std::printf("%llu %.3f %llu %lu %lu\n", static_cast<unsigned long long>(total), seconds,
                static_cast<unsigned long long>(counters.PeakWorkingSetSize), reports, posts);
    return 0;
}

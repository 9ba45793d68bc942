// Measures the installer extraction: bench-extract.exe ZIP FOLDER
// Copies ZIP into a pinned package in FOLDER (not timed), then times
// ExtractInstaller (both passes) and, alone, one decoding of the entry.
// Prints "<installer bytes> <extract seconds> <one decode seconds>".
#include "install/Extraction.h"

#include <windows.h>

#include <zip.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 3)
        return 2;
    std::wstring const folder = argv[2];
    ovl::setup::CancelFlag cancel{false};
    try {
        ovl::setup::PinnedFile package(folder + L"\\package.zip", ovl::setup::PinnedFileAccess::ReadWrite);
        {
            HANDLE in = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            std::vector<char> buffer(1 << 20);
            DWORD read = 0;
            while (ReadFile(in, buffer.data(), static_cast<DWORD>(buffer.size()), &read, nullptr) && read)
                package.Write(buffer.data(), read);
            CloseHandle(in);
        }
        auto const started = std::chrono::steady_clock::now();
        ovl::setup::PinnedFile installer = ovl::setup::ExtractInstaller(package, folder, nullptr, cancel);
        double const extract = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        std::uint64_t const size = installer.GetSize();
        installer.Close();

        // One pass alone: libzip decoding the entry into nothing.
        std::string narrow(std::filesystem::path(argv[1]).string());
        int error = 0;
        zip_t* archive = zip_open(narrow.c_str(), ZIP_RDONLY, &error);
        auto const decodeStarted = std::chrono::steady_clock::now();
        zip_file_t* file = archive ? zip_fopen_index(archive, 0, 0) : nullptr;
        std::vector<char> chunk(65535);
        while (file && zip_fread(file, chunk.data(), chunk.size()) > 0) {
        }
        if (file)
            zip_fclose(file);
        double const decode = std::chrono::duration<double>(std::chrono::steady_clock::now() - decodeStarted).count();
        if (archive)
            zip_discard(archive);
        std::printf("%llu %.3f %.3f\n", static_cast<unsigned long long>(size), extract, decode);
    } catch (std::exception const& e) {
        std::fprintf(stderr, "bench-extract: %s\n", e.what());
        return 1;
    }
    return 0;
}

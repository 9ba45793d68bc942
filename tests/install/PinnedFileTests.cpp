#include "install/PinnedFile.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <objbase.h>

#include <filesystem>
#include <regex>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

using ovl::test::FileExists;
using ovl::test::TempDir;

using ovl::test::FailureOf;

// Runs tools/file-probe.exe in a process of its own and returns its exit code.
DWORD Probe(wchar_t const* action, std::wstring const& path)
{
    std::wstring commandLine = L"\"" OVL_FILE_PROBE L"\" " + std::wstring(action) + L" \"" + path + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        throw std::runtime_error("test: cannot start file-probe");
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    return code;
}

TEST(PinnedFile, OthersMayOnlyReadWhileItIsHeld)
{
    TempDir dir;
    auto const path = dir.File(L"held.bin");
    PinnedFile file(path, PinnedFileAccess::ReadWrite);
    file.Write("abc", 3);
    EXPECT_EQ(Probe(L"read", path), 0u);
    EXPECT_EQ(Probe(L"write", path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Probe(L"delete", path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(Probe(L"rename", path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_TRUE(FileExists(path));
}

TEST(PinnedFile, StrayCloseHandleFails)
{
    TempDir dir;
    PinnedFile file(dir.File(L"protected.bin"), PinnedFileAccess::WriteOnly);
    EXPECT_FALSE(CloseHandle(file.GetHandle()));
    file.Write("still open", 10); // the handle survived
    EXPECT_TRUE(file.IsOpen());
}

TEST(PinnedFile, CloseDeletesAndASecondCloseDoesNothing)
{
    TempDir dir;
    auto const path = dir.File(L"gone.bin");
    PinnedFile file(path, PinnedFileAccess::ReadWrite);
    EXPECT_TRUE(file.GetFinalPath().starts_with(L"\\\\?\\")) << file.GetFinalPath().c_str();
    file.Close();
    EXPECT_FALSE(FileExists(path));
    EXPECT_FALSE(file.IsOpen());
    EXPECT_EQ(file.GetPath(), path);
    ovl::test::WriteBytes(path, "new");
    file.Close(); // a closed object deletes nothing more
    EXPECT_TRUE(FileExists(path));
}

TEST(PinnedFile, MovesTransferOwnership)
{
    TempDir dir;
    auto const path = dir.File(L"moved.bin");
    PinnedFile target;
    {
        PinnedFile source(path, PinnedFileAccess::ReadWrite);
        target = std::move(source);
        EXPECT_FALSE(source.IsOpen());
        EXPECT_TRUE(source.GetPath().empty());
    } // the moved-from object deletes nothing
    EXPECT_TRUE(FileExists(path));
    EXPECT_TRUE(target.IsOpen());
    PinnedFile constructed(std::move(target));
    EXPECT_TRUE(constructed.IsOpen());
    constructed = PinnedFile(dir.File(L"other.bin"), PinnedFileAccess::ReadWrite); // closes and deletes the first
    EXPECT_FALSE(FileExists(path));
}

TEST(PinnedFile, CreatingOnAnExistingPathFails)
{
    TempDir dir;
    auto const path = dir.File(L"exists.bin");
    ovl::test::WriteBytes(path, "keep");
    EXPECT_EQ(FailureOf([&] { PinnedFile f(path, PinnedFileAccess::WriteOnly); }), "Could not create the file");
    EXPECT_EQ(ovl::test::ReadBytes(path), "keep");
}

TEST(PinnedFile, ReadSeekResize)
{
    TempDir dir;
    PinnedFile file(dir.File(L"data.bin"), PinnedFileAccess::ReadWrite);
    file.Write("0123456789", 10);
    EXPECT_EQ(file.GetSize(), 10u);
    char buffer[16] = {};
    EXPECT_EQ(file.Read(buffer, 4), 0u); // at the end
    file.Seek(6);
    EXPECT_EQ(file.Read(buffer, 10), 4u); // across the end
    EXPECT_EQ(std::string(buffer, 4), "6789");
    file.WriteAt(2, "xy", 2);
    file.Rewind();
    EXPECT_EQ(file.Read(buffer, 10), 10u);
    EXPECT_EQ(std::string(buffer, 10), "01xy456789");
    EXPECT_EQ(file.Read(buffer, 0), 0u);
    file.Resize(4);
    EXPECT_EQ(file.GetSize(), 4u);
    file.Write("Z", 1); // the position is the new end
    file.Rewind();
    EXPECT_EQ(file.Read(buffer, 10), 5u);
    EXPECT_EQ(std::string(buffer, 5), "01xyZ");
}

TEST(PinnedFile, ReopenForReadingKeepsOwnership)
{
    TempDir dir;
    auto const path = dir.File(L"installer.exe");
    PinnedFile file(path, PinnedFileAccess::WriteOnly);
    file.Write("payload", 7);
    file.ReopenForReading();
    char buffer[8] = {};
    EXPECT_EQ(file.Read(buffer, 8), 7u);
    EXPECT_EQ(FailureOf([&] { file.Write("x", 1); }), "Could not write to the file");
    EXPECT_EQ(Probe(L"write", path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    file.Close();
    EXPECT_FALSE(FileExists(path));
}

TEST(DownloadFolder, NamedWithABracedGuidAndRemovedOnlyWhenEmpty)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::wstring const first = CreateDownloadFolder();
    std::wstring const second = CreateDownloadFolder();
    EXPECT_NE(first, second);
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::wregex const pattern(L"OvlSetupDownloader\\.\\{[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}\\}");
    for (auto const& folder : {first, second}) {
        EXPECT_EQ(std::filesystem::path(folder).parent_path(), std::filesystem::path(temp).parent_path());
        EXPECT_TRUE(std::regex_match(std::filesystem::path(folder).filename().wstring(), pattern)) << folder.c_str();
        EXPECT_TRUE(std::filesystem::is_directory(folder));
    }
    { DownloadFolderGuard guard(first); }
    EXPECT_FALSE(std::filesystem::exists(first));

    ovl::test::WriteBytes(second + L"\\left.bin", "x");
    { DownloadFolderGuard guard(second); }
    EXPECT_TRUE(std::filesystem::exists(second)); // not empty: stays
    std::filesystem::remove_all(second);
    { DownloadFolderGuard empty(L""); }
    CoUninitialize();
}

} // namespace
} // namespace ovl::setup

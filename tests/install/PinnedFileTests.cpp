#include "install/PinnedFile.h"

#include "install/FileProbe.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <stdexcept>
#include <string>

namespace ovl::setup {
namespace {

using ovl::test::FileExists;
using ovl::test::TempDir;

using ovl::test::FailureOf;
using ovl::test::Probe;

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

TEST(PinnedFile, AFileWhoseLocationCannotBeResolvedIsStillDeleted)
{
    // Under Wine GetFinalPathNameByHandleW fails for paths of 264 characters
    // and more; the file is then deleted where it was created.
    TempDir dir;
    std::wstring const path = dir.File(std::wstring(270 - dir.Path().wstring().size(), L'a') + L".exe");
    ASSERT_GE(path.size(), 264u);
    PinnedFile file(path, PinnedFileAccess::WriteOnly);
    file.Write("data", 4);
    std::string resolved = FailureOf([&] { file.GetFinalPath(); });
    std::printf("the location of a path of %zu characters: %s\n", path.size(), resolved.c_str());
    file.Close();
    EXPECT_FALSE(FileExists(path));
}

} // namespace
} // namespace ovl::setup

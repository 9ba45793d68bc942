#include "install/Extraction.h"

#include "install/ZipFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <thread>

namespace ovl::setup {
namespace {

using ovl::test::Bytes;
using ovl::test::MakeZip;
using ovl::test::SampleContent;
using ovl::test::TempDir;
using ovl::test::ZipEntry;
namespace fs = std::filesystem;

constexpr wchar_t PackageName[] = L"orvelle.install.zip";

struct Outcome {
    std::string Error;
    bool Canceled = false;
    std::wstring InstallerPath;
    Bytes Content;
    std::vector<double> Progress;
    std::set<std::wstring> FilesLeft; // besides the package, while it is held
};

Outcome Extract(TempDir const& dir, Bytes const& zip, CancelFlag const& cancel = CancelFlag{false})
{
    Outcome o;
    {
        PinnedFile package(dir.File(PackageName), PinnedFileAccess::ReadWrite);
        package.Write(zip.data(), zip.size());
        try {
            PinnedFile installer = ExtractInstaller(package, dir.Path().wstring(),
                                                    [&](double p) { o.Progress.push_back(p); }, cancel);
            o.InstallerPath = installer.GetPath();
            EXPECT_TRUE(installer.IsOpen());
            o.Content.resize(static_cast<size_t>(installer.GetSize()));
            EXPECT_EQ(installer.Read(o.Content.data(), o.Content.size()), o.Content.size()); // at offset 0
            // Held read-only: nobody may write it now.
            HANDLE writer = CreateFileW(installer.GetPath().c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
            if (writer != INVALID_HANDLE_VALUE)
                CloseHandle(writer);
            for (auto const& entry : fs::directory_iterator(dir.Path())) {
                if (entry.path().filename() != PackageName)
                    o.FilesLeft.insert(entry.path().filename().wstring());
            }
        } catch (CanceledException const&) {
            o.Canceled = true;
        } catch (std::runtime_error const& e) {
            o.Error = e.what();
        }
        if (o.Canceled || !o.Error.empty()) {
            for (auto const& entry : fs::directory_iterator(dir.Path())) {
                if (entry.path().filename() != PackageName)
                    o.FilesLeft.insert(entry.path().filename().wstring());
            }
        }
    }
    if (!o.InstallerPath.empty()) {
        EXPECT_FALSE(ovl::test::FileExists(o.InstallerPath)) << "closing the result deletes the installer";
    }
    return o;
}

ZipEntry Entry(std::string name, Bytes data, ovl::test::Method method = ovl::test::Deflate)
{
    ZipEntry e;
    e.Name = std::move(name);
    e.Data = std::move(data);
    e.CompressionMethod = method;
    return e;
}

TEST(Extraction, EveryCompressionMethod)
{
    struct Row {
        ovl::test::Method Method;
        char const* Name;
    } const rows[] = {
        {ovl::test::Stored, "stored"}, {ovl::test::Deflate, "deflate"}, {ovl::test::Bzip2, "bzip2"},
        {ovl::test::Lzma, "lzma"},     {ovl::test::Xz, "xz"},           {ovl::test::Zstd, "zstd"},
    };
    for (auto const& row : rows) {
        TempDir dir;
        Bytes const content = SampleContent(300000, 7);
        auto const o = Extract(dir, MakeZip({Entry("Setup.exe", content, row.Method)}));
        ASSERT_EQ(o.Error, "") << row.Name;
        EXPECT_EQ(o.Content, content) << row.Name;
        EXPECT_EQ(o.InstallerPath, dir.File(L"Setup.exe")) << row.Name;
        EXPECT_EQ(o.Progress, std::vector<double>{100.0}) << row.Name;
        EXPECT_EQ(o.FilesLeft, std::set<std::wstring>{L"Setup.exe"}) << row.Name;
    }
}

TEST(Extraction, ChoosesTheFirstQualifyingEntry)
{
    TempDir dir;
    auto const o = Extract(dir, MakeZip({Entry("readme.txt", SampleContent(100)), Entry("folder/", {}),
                                        Entry("empty.exe", {}), Entry("setup.exe.txt", SampleContent(10)),
                                        Entry("exe", SampleContent(10)), Entry("tools/SETUP.EXE", SampleContent(5000, 2)),
                                        Entry("second.exe", SampleContent(10))}));
    ASSERT_EQ(o.Error, "");
    EXPECT_EQ(o.InstallerPath, dir.File(L"SETUP.EXE")); // folder part dropped
    EXPECT_EQ(o.Content, SampleContent(5000, 2));
}

TEST(Extraction, NameOfExactlyDotExeIsUsable)
{
    TempDir dir;
    auto const o = Extract(dir, MakeZip({Entry(".exe", SampleContent(10))}));
    ASSERT_EQ(o.Error, "");
    EXPECT_EQ(o.InstallerPath, dir.File(L".exe"));
}

TEST(Extraction, InvalidUtf8InTheNameIsReplacedAndUsable)
{
    TempDir dir;
    auto const o = Extract(dir, MakeZip({Entry("Set\xFFup.exe", SampleContent(10))}));
    ASSERT_EQ(o.Error, "");
    EXPECT_EQ(o.InstallerPath, dir.File(L"Set\uFFFDup.exe"));
}

TEST(Extraction, HostileArchives)
{
    constexpr char const* Unusable = "The downloaded ZIP names its installer in a way that is not usable";
    ZipEntry lying = Entry("Setup.exe", SampleContent(20000), ovl::test::Stored);
    lying.DeclaredSize = 10000;
    ZipEntry badCrc = Entry("Setup.exe", SampleContent(20000));
    badCrc.CorruptCrc = true;
    ZipEntry badCrcZstd = Entry("Setup.exe", SampleContent(20000), ovl::test::Zstd);
    badCrcZstd.CorruptCrc = true;
    ZipEntry lyingZstd = Entry("Setup.exe", SampleContent(20000), ovl::test::Zstd);
    lyingZstd.DeclaredSize = 30000;
    Bytes const good = MakeZip({Entry("Setup.exe", SampleContent(20000))});
    ZipEntry aes = Entry("Setup.exe", SampleContent(100), ovl::test::Aes);
    aes.Flags = 1; // encrypted
    aes.Extra = {0x01, 0x99, 7, 0, 2, 0, 'A', 'E', 3, 0, 0}; // AE-2, AES-256, stored
    Bytes truncated(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2));

    struct Row {
        char const* Description;
        Bytes Zip;
        char const* Error;
    } const rows[] = {
        {"dot-dot", MakeZip({Entry("..", SampleContent(10)), Entry("a/...exe", SampleContent(10))}), nullptr},
        {"parent folder name", MakeZip({Entry("x/..", SampleContent(10))}), "Could not find installer EXE in the downloaded ZIP"},
        {"drive prefix", MakeZip({Entry("C:Setup.exe", SampleContent(10))}), nullptr},
        {"colon inside", MakeZip({Entry("se:tup.exe", SampleContent(10))}), Unusable},
        {"tab", MakeZip({Entry("se\ttup.exe", SampleContent(10))}), Unusable},
        {"control character", MakeZip({Entry("se\x01tup.exe", SampleContent(10))}), Unusable},
        {"reserved character", MakeZip({Entry("se|tup.exe", SampleContent(10))}), Unusable},
        {"device path", MakeZip({Entry("\\\\?\\C:\\Setup.exe", SampleContent(10))}), nullptr},
        {"unusable first of two", MakeZip({Entry("a?b.exe", SampleContent(10)), Entry("Setup.exe", SampleContent(10))}),
         Unusable},
        {"size that lies", MakeZip({lying}), "(size)"},
        {"corrupted CRC", MakeZip({badCrc}), "Failed to extract file from ZIP"},
        {"corrupted CRC, Zstandard", MakeZip({badCrcZstd}), "Failed to extract file from ZIP"},
        {"size that lies, Zstandard", MakeZip({lyingZstd}), "(size)"},
        {"truncated archive", truncated, "Could not open ZIP file"},
        {"not a ZIP", Bytes(5000, 'x'), "Could not open ZIP file"},
        {"empty archive", MakeZip({}), "Could not find installer EXE in the downloaded ZIP"},
        {"only folders and other files", MakeZip({Entry("a/", {}), Entry("b.txt", SampleContent(10))}),
         "Could not find installer EXE in the downloaded ZIP"},
        {"method nothing decodes", MakeZip({Entry("Setup.exe", SampleContent(100), ovl::test::Ppmd)}),
         "Failed to extract file from ZIP"},
        {"empty package file", Bytes{}, "Could not open ZIP file"},
        {"strong encryption marker without its data", MakeZip({Entry("Setup.exe", SampleContent(100), ovl::test::Aes)}),
         "Failed to extract file from ZIP"},
        {"AES-encrypted", MakeZip({aes}), "Failed to extract file from ZIP"},
        {"device name", MakeZip({Entry("NUL.exe", SampleContent(10))}), Unusable},
        {"device name, other case", MakeZip({Entry("bin/con.exe", SampleContent(10))}), Unusable},
        {"device name with a number", MakeZip({Entry("Com1.exe", SampleContent(10))}), Unusable},
        {"device name with two extensions", MakeZip({Entry("lpt9.tar.exe", SampleContent(10))}), Unusable},
        {"device name and a blank", MakeZip({Entry("aux .exe", SampleContent(10))}), Unusable},
        {"device name with a superscript", MakeZip({Entry("COM\xC2\xB9.exe", SampleContent(10))}), Unusable},
        {"console input device", MakeZip({Entry("CONIN$.exe", SampleContent(10))}), Unusable},
        {"console output device, other case", MakeZip({Entry("bin/conout$.Exe", SampleContent(10))}), Unusable},
        {"console device with two extensions", MakeZip({Entry("Conin$.setup.exe", SampleContent(10))}), Unusable},
        {"console device and a blank", MakeZip({Entry("CONOUT$ .exe", SampleContent(10))}), Unusable},
        {"not quite a console device", MakeZip({Entry("conin.exe", SampleContent(10))}), nullptr},
        {"not quite a device name", MakeZip({Entry("console.exe", SampleContent(10))}), nullptr},
        {"nor this one", MakeZip({Entry("com10.exe", SampleContent(10))}), nullptr},
    };
    for (auto const& row : rows) {
        TempDir dir;
        auto const o = Extract(dir, row.Zip);
        if (!row.Error) {
            // A name with a root or folder part is written under its last component.
            EXPECT_EQ(o.Error, "") << row.Description;
            continue;
        }
        if (std::string(row.Error) == "(size)") {
            EXPECT_TRUE(o.Error == "The installer in the ZIP is not the size the ZIP says it is" ||
                        o.Error == "Failed to extract file from ZIP")
                << row.Description << ": " << o.Error;
        } else {
            EXPECT_EQ(o.Error, row.Error) << row.Description;
        }
        EXPECT_TRUE(o.FilesLeft.empty()) << row.Description << ": a file was left behind";
    }
}

// Names are the raw bytes of the central directory: a Unicode Path extra
// field naming something else changes neither the choice nor the name.
TEST(Extraction, NamesAreTheCentralDirectorysOwnBytes)
{
    {
        TempDir dir;
        ZipEntry entry = Entry("Setup.exe", SampleContent(100));
        entry.Extra = ovl::test::UnicodePathField("Setup.exe", "Other.exe");
        auto const o = Extract(dir, MakeZip({entry}));
        ASSERT_EQ(o.Error, "");
        EXPECT_EQ(o.InstallerPath, dir.File(L"Setup.exe"));
    }
    {
        TempDir dir;
        ZipEntry entry = Entry("readme.txt", SampleContent(100));
        entry.Extra = ovl::test::UnicodePathField("readme.txt", "Setup.exe");
        EXPECT_EQ(Extract(dir, MakeZip({entry})).Error, "Could not find installer EXE in the downloaded ZIP");
    }
}

// An entry that says its name is UTF-8 but holds ill-formed bytes in its name
// or comment does not spoil the archive: bad bytes become U+FFFD.
TEST(Extraction, IllFormedUtf8UnderTheUtf8Flag)
{
    TempDir dir;
    ZipEntry entry = Entry("Set\xFFup.exe", SampleContent(100));
    entry.Flags = 0x800;
    entry.Comment = "bad \xC3\x28 comment";
    ZipEntry other = Entry("readme.txt", SampleContent(10));
    other.Flags = 0x800;
    other.Comment = "\xE2\x82";
    auto const o = Extract(dir, MakeZip({other, entry}));
    ASSERT_EQ(o.Error, "");
    EXPECT_EQ(o.InstallerPath, dir.File(L"Set\uFFFDup.exe"));
}

TEST(Extraction, ZstandardInSeveralFrames)
{
    TempDir dir;
    Bytes const content = SampleContent(300000, 3);
    ZipEntry entry = Entry("Setup.exe", content, ovl::test::Zstd);
    entry.ZstdFrames = 3;
    auto const o = Extract(dir, MakeZip({entry}));
    ASSERT_EQ(o.Error, "");
    EXPECT_EQ(o.Content, content);
}

// An entry that inflates to far more than it declares is stopped as soon as
// the writing passes the declared size: it never fills the disk.
TEST(Extraction, ADeflateBombIsStoppedAtItsDeclaredSize)
{
    TempDir dir;
    ZipEntry bomb = Entry("Setup.exe", Bytes(256 << 20, 0)); // 256 MiB of zeros, about 256 KiB deflated
    bomb.DeclaredSize = 1 << 20;
    Bytes const zip = MakeZip({bomb});
    std::atomic<bool> done{false};
    std::atomic<std::uint64_t> largest{0};
    std::thread watcher([&] {
        while (!done) {
            WIN32_FILE_ATTRIBUTE_DATA data{};
            if (GetFileAttributesExW(dir.File(L"Setup.exe").c_str(), GetFileExInfoStandard, &data)) {
                std::uint64_t const size = (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
                largest = std::max<std::uint64_t>(largest, size);
            }
            Sleep(1);
        }
    });
    auto const o = Extract(dir, zip);
    done = true;
    watcher.join();
    std::printf("a deflate bomb declaring 1 MiB: %zu bytes packed, at most %llu bytes written\n", zip.size(),
                static_cast<unsigned long long>(largest.load()));
    EXPECT_EQ(o.Error, "The installer in the ZIP is not the size the ZIP says it is");
    EXPECT_LE(largest.load(), (1u << 20) + 65535u);
    EXPECT_TRUE(o.FilesLeft.empty());
}

TEST(Extraction, AnInstallerLargerThanTheFreeSpaceIsNotStarted)
{
    TempDir dir;
    ZipEntry huge = Entry("Setup.exe", SampleContent(1000));
    huge.Zip64 = true;
    huge.DeclaredSize = std::int64_t{1} << 60; // an exabyte: more than any disk holds
    auto const o = Extract(dir, MakeZip({huge}));
    EXPECT_EQ(o.Error, "There is not enough free disk space to unpack the installer");
    EXPECT_TRUE(o.FilesLeft.empty());
}

TEST(Extraction, ExistingFileAtTheTargetIsLeftUntouched)
{
    TempDir dir;
    ovl::test::WriteBytes(dir.File(L"Setup.exe"), "mine");
    auto const o = Extract(dir, MakeZip({Entry("Setup.exe", SampleContent(100))}));
    EXPECT_EQ(o.Error, "Could not create the file");
    EXPECT_EQ(ovl::test::ReadBytes(dir.File(L"Setup.exe")), "mine");
}

TEST(Extraction, CancelBeforeTheEntriesAreWalked)
{
    TempDir dir;
    CancelFlag cancel{true};
    auto const o = Extract(dir, MakeZip({Entry("Setup.exe", SampleContent(100))}), cancel);
    EXPECT_TRUE(o.Canceled);
    EXPECT_TRUE(o.FilesLeft.empty());
}

TEST(Extraction, CancelDuringTheWritePassLeavesNoInstaller)
{
    TempDir dir;
    CancelFlag cancel{false};
    std::atomic<bool> stop{false};
    // Sets the flag as soon as the installer file has grown.
    std::thread watcher([&] {
        while (!stop) {
            WIN32_FILE_ATTRIBUTE_DATA data;
            if (GetFileAttributesExW(dir.File(L"Setup.exe").c_str(), GetFileExInfoStandard, &data) &&
                data.nFileSizeLow > 0) {
                cancel = true;
                return;
            }
            Sleep(1);
        }
    });
    auto const o = Extract(dir, MakeZip({Entry("Setup.exe", SampleContent(64 << 20), ovl::test::Stored)}), cancel);
    stop = true;
    watcher.join();
    EXPECT_TRUE(o.Canceled) << o.Error;
    EXPECT_TRUE(o.FilesLeft.empty());
}

TEST(ZipNames, Components)
{
    struct Row {
        wchar_t const* Name;
        wchar_t const* Component;
    } const rows[] = {
        {L"bin/x64/Setup.exe", L"Setup.exe"}, {L"C:Setup.exe", L"Setup.exe"},   {L"c:\\dir\\Setup.exe", L"Setup.exe"},
        {L"\\\\server\\share\\a.exe", L"a.exe"}, {L"\\\\?\\C:\\a.exe", L"a.exe"}, {L"\\\\.\\pipe\\a.exe", L"a.exe"},
        {L"\\??\\C:\\a.exe", L"a.exe"},       {L"dir/", L""},                    {L"a/..", L""},
        {L".", L""},                          {L"a<b.exe", L""},                 {L"a\"b.exe", L""},
        {L"a*b.exe", L""},                    {L"a\x1F" L"b.exe", L""},          {L"\u00E9t\u00E9.exe", L"\u00E9t\u00E9.exe"},
        {L"C:", L""},                         {L"1:a.exe", L""},
    };
    for (auto const& row : rows)
        EXPECT_EQ(UsableInstallerName(row.Name), row.Component) << row.Name;
    EXPECT_EQ(ZipNameToUtf16("a\xC3\xA9"), L"a\u00E9");
    EXPECT_EQ(ZipNameToUtf16(""), L"");
}

TEST(ZipNames, TheInstallerEntryPredicate)
{
    struct Row {
        char const* Name;
        std::int64_t Size;
        std::int64_t CompressedSize;
        bool Expected;
    } const rows[] = {
        {"Setup.exe", 100, 50, true},       {"SETUP.EXE", 100, 50, true},   {"bin/x64/Setup.Exe", 1, 1, true},
        {".exe", 1, 1, true},               {"exe", 1, 1, false},           {"Setup.exe.txt", 100, 50, false},
        {"Setup.ex", 100, 50, false},       {"Setup.exe", 0, 50, false},    // no content
        {"Setup.exe", 100, 0, false},       // no compressed data
        {"Setup.exe", -1, 50, false},       {"", 1, 1, false},              {"Setup.\xC3\xA9xe", 1, 1, false},
    };
    for (auto const& row : rows)
        EXPECT_EQ(IsInstallerEntry(row.Name, row.Size, row.CompressedSize), row.Expected)
            << row.Name << " " << row.Size << " " << row.CompressedSize;
}

} // namespace
} // namespace ovl::setup

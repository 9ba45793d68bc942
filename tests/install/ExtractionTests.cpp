#include "install/Extraction.h"

#include "install/ZipFixture.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>
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

// Whatever the method, data that goes on past the declared size is refused
// for its size, and nothing is left behind.
TEST(Extraction, DataBeyondTheDeclaredSizeForEveryMethod)
{
    struct Row {
        ovl::test::Method Method;
        bool LzmaEndMarker;
        std::int64_t DeclaredSize;
        char const* Description;
    } const rows[] = {
        {ovl::test::Stored, true, 10000, "stored"},
        {ovl::test::Deflate, true, 10000, "deflate"},
        {ovl::test::Bzip2, true, 10000, "bzip2"},
        {ovl::test::Xz, true, 10000, "xz"},
        {ovl::test::Zstd, true, 10000, "zstd"},
        {ovl::test::Zstd, true, 19999, "zstd, one byte more"},
        {ovl::test::Lzma, true, 10000, "lzma"},
        {ovl::test::Lzma, true, 19999, "lzma, one byte more"},
        {ovl::test::Lzma, false, 10000, "lzma without an end marker"},
    };
    for (auto const& row : rows) {
        TempDir dir;
        ZipEntry entry = Entry("Setup.exe", SampleContent(20000, 5), row.Method);
        entry.LzmaEndMarker = row.LzmaEndMarker;
        entry.DeclaredSize = row.DeclaredSize;
        auto const o = Extract(dir, MakeZip({entry}));
        EXPECT_EQ(o.Error, "The installer in the ZIP is not the size the ZIP says it is") << row.Description;
        EXPECT_TRUE(o.FilesLeft.empty()) << row.Description << ": a file was left behind";
    }
}

// A name is its bytes up to the first NUL, both for the choice and for the
// file written.
TEST(Extraction, ANameEndsAtItsFirstNul)
{
    using namespace std::string_literals;
    struct Row {
        std::vector<std::string> Names;
        wchar_t const* Installer; // nullptr: no installer found
    } const rows[] = {
        {{"a\0.exe"s}, nullptr},
        {{"\0.exe"s}, nullptr},
        {{"Setup.exe\0.txt"s}, L"Setup.exe"},
        {{"tools/Setup.exe\0\0junk"s}, L"Setup.exe"},
        {{"a\0.exe"s, "b.exe"s}, L"b.exe"},
        {{"readme\0.exe"s, "Setup.exe\0.msi"s, "c.exe"s}, L"Setup.exe"},
    };
    for (auto const& row : rows) {
        TempDir dir;
        std::vector<ZipEntry> entries;
        for (size_t i = 0; i < row.Names.size(); ++i)
            entries.push_back(Entry(row.Names[i], SampleContent(100 + i, static_cast<std::uint32_t>(i + 1))));
        auto const o = Extract(dir, MakeZip(entries));
        std::string const description = row.Names.front().c_str();
        if (!row.Installer) {
            EXPECT_EQ(o.Error, "Could not find installer EXE in the downloaded ZIP") << description;
            EXPECT_TRUE(o.FilesLeft.empty()) << description;
            continue;
        }
        EXPECT_EQ(o.Error, "") << description;
        EXPECT_EQ(o.InstallerPath, dir.File(row.Installer)) << description;
        EXPECT_EQ(o.FilesLeft, std::set<std::wstring>{row.Installer}) << description;
    }
}

// Entries are walked in order and the walk ends at the installer: a broken
// entry after it does not matter, one before it ends the walk with its error
// (a broken first entry: the entries cannot be read at all).
TEST(Extraction, NoEntryAfterTheInstallerIsExamined)
{
    // An extra field that says it holds 16 bytes but has 2.
    Bytes const malformedExtra = {0x34, 0x12, 16, 0, 1, 2};
    auto broken = [&](std::string name) {
        ZipEntry e = Entry(std::move(name), SampleContent(50, 9));
        e.Extra = malformedExtra;
        return e;
    };
    Bytes const installer = SampleContent(5000, 4);
    struct Row {
        char const* Description;
        std::vector<ZipEntry> Entries;
        char const* Error; // nullptr: the installer is extracted
    } const rows[] = {
        {"third entry broken", {Entry("Setup.exe", installer), Entry("readme.txt", SampleContent(10)), broken("x.dll")}, nullptr},
        {"second entry broken", {Entry("bin/Setup.exe", installer), broken("Other.exe")}, nullptr},
        {"broken entry before the installer",
         {Entry("readme.txt", SampleContent(10)), broken("x.dll"), Entry("Setup.exe", installer)},
         "The downloaded ZIP could not be read (error "},
        {"broken entry and no installer", {Entry("readme.txt", SampleContent(10)), broken("x.dll")},
         "The downloaded ZIP could not be read (error "},
        {"first entry broken", {broken("Setup.exe"), Entry("b.exe", installer)}, "Could not read ZIP entries"},
        {"only entry broken", {broken("Setup.exe")}, "Could not read ZIP entries"},
    };
    for (auto const& row : rows) {
        TempDir dir;
        auto const o = Extract(dir, MakeZip(row.Entries));
        if (!row.Error) {
            EXPECT_EQ(o.Error, "") << row.Description;
            EXPECT_EQ(o.Content, installer) << row.Description;
            EXPECT_EQ(o.InstallerPath, dir.File(L"Setup.exe")) << row.Description;
            continue;
        }
        EXPECT_EQ(o.Error.substr(0, std::strlen(row.Error)), row.Error) << row.Description << ": " << o.Error;
        EXPECT_TRUE(o.FilesLeft.empty()) << row.Description;
    }
}

// True when a decoder that is not told the size decodes more than `size`
// bytes out of the raw LZMA data (the coder's final bytes read as data).
bool DecodesPastItsSizeWithoutBeingTold(Bytes const& packed, size_t size)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    lzma_filter const filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    lzma_stream stream = LZMA_STREAM_INIT;
    if (lzma_raw_decoder(&stream, filters) != LZMA_OK)
        return false;
    Bytes out(size + 64);
    stream.next_in = packed.data() + 9; // past the ZIP LZMA header and properties
    stream.avail_in = packed.size() - 9;
    stream.next_out = out.data();
    stream.avail_out = out.size();
    for (int i = 0; i < 4 && lzma_code(&stream, LZMA_RUN) == LZMA_OK;)
        ++i;
    bool const past = stream.total_out > size;
    lzma_end(&stream);
    return past;
}

// LZMA data written without an end marker ends where the declared size says.
// Some of these contents end with coder bytes that a decoder not told the
// size would read as one byte more.
TEST(Extraction, LzmaWithoutAnEndMarker)
{
    struct Row {
        size_t Size;
        std::uint32_t Seed;
    } const rows[] = {{1388, 4}, {2358, 14}, {5000, 2}, {135845, 65}, {151040, 80}};
    int trapped = 0;
    for (auto const& row : rows) {
        TempDir dir;
        Bytes const content = SampleContent(row.Size, row.Seed);
        if (DecodesPastItsSizeWithoutBeingTold(ovl::test::CompressLzma(content, false), content.size()))
            ++trapped;
        ZipEntry entry = Entry("Setup.exe", content, ovl::test::Lzma);
        entry.LzmaEndMarker = false;
        auto const o = Extract(dir, MakeZip({entry}));
        EXPECT_EQ(o.Error, "") << row.Size;
        EXPECT_EQ(o.Content, content) << row.Size;
    }
    EXPECT_GE(trapped, 1) << "no row holds data that decodes past its size without the size";
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

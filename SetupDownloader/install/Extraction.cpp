#include "install/Extraction.h"

#include <windows.h>

#include <lzma.h>
#include <zip.h>
#include <zlib.h>
#include <zstd.h>

#include "platform/Text.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace ovl::setup {

namespace {

constexpr zip_uint64_t MaxChunk = 65535; // the most one callback receives
constexpr zip_uint16_t MethodZstd = 93;  // not decoded by this libzip: read raw and decoded here
constexpr zip_uint16_t MethodLzma = 14;  // likewise
// A pass's result when the entry's data goes on past its declared size.
constexpr int DataPastDeclaredSize = -(ZIP_ER_INCONS + 1000);

// --- The archive stream over the borrowed handle -----------------------------

struct FileHandleStream {
    HANDLE Handle = nullptr;
    DWORD LastError = 0;
    zip_error_t Error;
};

zip_int64_t Fail(FileHandleStream& stream, int zipError, DWORD windowsError)
{
    stream.LastError = windowsError;
    zip_error_set(&stream.Error, zipError, static_cast<int>(windowsError));
    return -1;
}

zip_int64_t StreamRead(FileHandleStream& stream, void* data, zip_uint64_t length)
{
    DWORD const ask = static_cast<DWORD>(std::min<zip_uint64_t>(length, MAXDWORD));
    DWORD read = 0;
    if (!ReadFile(stream.Handle, data, ask, &read, nullptr))
        return Fail(stream, ZIP_ER_READ, GetLastError());
    return read;
}

zip_int64_t StreamStat(FileHandleStream& stream, void* data, zip_uint64_t length)
{
    auto* stat = ZIP_SOURCE_GET_ARGS(zip_stat_t, data, length, &stream.Error);
    if (!stat)
        return -1;
    zip_stat_init(stat);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(stream.Handle, &size))
        return Fail(stream, ZIP_ER_READ, GetLastError());
    stat->size = static_cast<zip_uint64_t>(size.QuadPart);
    stat->valid |= ZIP_STAT_SIZE;
    return sizeof(zip_stat_t);
}

zip_int64_t StreamSeek(FileHandleStream& stream, void* data, zip_uint64_t length)
{
    auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &stream.Error);
    if (!args)
        return -1;
    static constexpr DWORD methods[] = {FILE_BEGIN, FILE_CURRENT, FILE_END}; // by SEEK_SET, SEEK_CUR, SEEK_END
    if (args->whence < SEEK_SET || args->whence > SEEK_END) {
        zip_error_set(&stream.Error, ZIP_ER_INVAL, 0); // no Windows error to keep
        return -1;
    }
    LARGE_INTEGER distance;
    distance.QuadPart = args->offset;
    if (!SetFilePointerEx(stream.Handle, distance, nullptr, methods[args->whence]))
        return Fail(stream, ZIP_ER_SEEK, GetLastError());
    return 0;
}

zip_int64_t StreamTell(FileHandleStream& stream)
{
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!SetFilePointerEx(stream.Handle, zero, &position, FILE_CURRENT))
        return Fail(stream, ZIP_ER_TELL, GetLastError());
    return position.QuadPart;
}

zip_int64_t StreamCallback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto& stream = *static_cast<FileHandleStream*>(userdata);
    bool const open = stream.Handle != nullptr && stream.Handle != INVALID_HANDLE_VALUE;
    switch (command) {
    case ZIP_SOURCE_OPEN:
        return open ? 0 : Fail(stream, ZIP_ER_OPEN, ERROR_INVALID_HANDLE);
    case ZIP_SOURCE_READ:
        return StreamRead(stream, data, length);
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_STAT:
        return StreamStat(stream, data, length);
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&stream.Error, data, length);
    case ZIP_SOURCE_SEEK:
        return StreamSeek(stream, data, length);
    case ZIP_SOURCE_TELL:
        return StreamTell(stream);
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_SEEKABLE | zip_source_make_command_bitmap(ZIP_SOURCE_ACCEPT_EMPTY, -1);
    case ZIP_SOURCE_ACCEPT_EMPTY:
        return 0; // an empty file is no ZIP archive (libzip would open it as an empty one)
    case ZIP_SOURCE_BEGIN_WRITE:
    case ZIP_SOURCE_BEGIN_WRITE_CLONING:
    case ZIP_SOURCE_WRITE:
    case ZIP_SOURCE_COMMIT_WRITE:
    case ZIP_SOURCE_ROLLBACK_WRITE:
    case ZIP_SOURCE_SEEK_WRITE:
    case ZIP_SOURCE_TELL_WRITE:
    case ZIP_SOURCE_REMOVE:
        return Fail(stream, ZIP_ER_RDONLY, ERROR_ACCESS_DENIED); // read-only, always
    default:
        zip_error_set(&stream.Error, ZIP_ER_OPNOTSUPP, 0);
        return -1;
    }
}

// --- Reading one entry in chunks -------------------------------------------

// A chunk of the unpacked entry; returns the length, or a negative libzip code.
using ChunkCallback = std::function<int(std::uint8_t const* data, int length)>;

int ArchiveError(zip_t* archive) { return -zip_error_code_zip(zip_get_error(archive)); }

struct ZipFileCloser {
    void operator()(zip_file_t* file) const { zip_fclose(file); }
};
using ZipFile = std::unique_ptr<zip_file_t, ZipFileCloser>;

// Entries libzip decodes itself, with its CRC-32 check at the end.
int SaveDecoded(zip_t* archive, zip_uint64_t index, ChunkCallback const& callback)
{
    ZipFile file(zip_fopen_index(archive, index, 0));
    if (!file)
        return ArchiveError(archive);
    std::vector<std::uint8_t> buffer(MaxChunk);
    for (;;) {
        zip_int64_t const n = zip_fread(file.get(), buffer.data(), buffer.size());
        if (n < 0)
            return -zip_error_code_zip(zip_file_get_error(file.get()));
        if (n == 0)
            return 0;
        int const result = callback(buffer.data(), static_cast<int>(n));
        if (result < 0)
            return result;
    }
}

// Zstandard and LZMA entries: the raw bytes streamed through the codec, with
// the CRC-32 and the size checked as libzip checks them for the others.
class RawDecoder {
public:
    virtual ~RawDecoder() = default;
    // Decodes input into out (at most out.size()); sets consumed and produced.
    // Returns false on a data error.
    virtual bool Decode(std::uint8_t const* in, size_t inSize, size_t& consumed, std::uint8_t* out, size_t outSize,
                        size_t& produced) = 0;
    // True when what was decoded so far ends cleanly (no frame or stream
    // left half decoded).
    virtual bool AtEnd() const = 0;
    // True when Decode failed because the data goes on where the declared
    // size says it ends.
    virtual bool GoesOnPastSize() const { return false; }
};

// A Zstandard entry may hold several frames, one after the other: all are decoded.
class ZstdDecoder final : public RawDecoder {
public:
    ZstdDecoder() : stream_(ZSTD_createDStream()) {}
    ~ZstdDecoder() override { ZSTD_freeDStream(stream_); }
    bool Valid() const { return stream_ != nullptr; }
    bool Decode(std::uint8_t const* in, size_t inSize, size_t& consumed, std::uint8_t* out, size_t outSize,
                size_t& produced) override
    {
        ZSTD_inBuffer input{in, inSize, 0};
        ZSTD_outBuffer output{out, outSize, 0};
        size_t const result = ZSTD_decompressStream(stream_, &output, &input);
        consumed = input.pos;
        produced = output.pos;
        if (ZSTD_isError(result))
            return false;
        if (consumed > 0 || produced > 0)
            atEnd_ = result == 0; // 0: a frame has just been completed and flushed
        return true;
    }
    bool AtEnd() const override { return atEnd_; }

private:
    ZSTD_DStream* stream_;
    bool atEnd_ = false;
};

// ZIP's LZMA data may end with an end marker or only at the declared size;
// the decoder is told the size, so that it never reads the coder's final
// bytes as data, and takes an end marker right at that size.
class LzmaDecoder final : public RawDecoder {
public:
    explicit LzmaDecoder(std::uint64_t size) : size_(size) {}
    ~LzmaDecoder() override { lzma_end(&stream_); }
    // The raw data begins with a 4-byte header (version, properties size)
    // and the LZMA1 properties; Decode skips them.
    bool Decode(std::uint8_t const* in, size_t inSize, size_t& consumed, std::uint8_t* out, size_t outSize,
                size_t& produced) override
    {
        consumed = produced = 0;
        if (!started_) {
            size_t const take = TakeHeader(in, inSize);
            consumed = take;
            if (!started_)
                return header_.size() < HeaderSize || Start();
            in += take;
            inSize -= take;
        }
        stream_.next_in = in;
        stream_.avail_in = inSize;
        stream_.next_out = out;
        stream_.avail_out = outSize;
        lzma_ret const result = lzma_code(&stream_, LZMA_RUN);
        consumed += inSize - stream_.avail_in;
        produced = outSize - stream_.avail_out;
        ended_ = ended_ || result == LZMA_STREAM_END;
        // At the declared size the data must end (or hold the end marker).
        pastSize_ = result == LZMA_DATA_ERROR && stream_.total_out == size_;
        return result == LZMA_OK || result == LZMA_BUF_ERROR || result == LZMA_STREAM_END;
    }
    // At the declared size, or at an end marker right there; data that runs
    // out exactly at the size before the decoder says so is taken by SaveRaw.
    bool AtEnd() const override { return ended_; }
    bool GoesOnPastSize() const override { return pastSize_; }

private:
    static constexpr size_t HeaderSize = 4 + 5;

    size_t TakeHeader(std::uint8_t const* in, size_t inSize)
    {
        size_t const take = std::min(inSize, HeaderSize - header_.size());
        header_.insert(header_.end(), in, in + take);
        if (header_.size() == HeaderSize && !Start())
            failed_ = true;
        return take;
    }

    bool Start()
    {
        if (failed_)
            return false;
        std::uint16_t const propertiesSize = static_cast<std::uint16_t>(header_[2] | (header_[3] << 8));
        if (propertiesSize != 5)
            return false;
        lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
        if (lzma_properties_decode(&filters[0], nullptr, header_.data() + 4, 5) != LZMA_OK)
            return false;
        auto* const options = static_cast<lzma_options_lzma*>(filters[0].options);
        options->ext_flags = LZMA_LZMA1EXT_ALLOW_EOPM;
        lzma_set_ext_size(*options, size_);
        filters[0].id = LZMA_FILTER_LZMA1EXT;
        lzma_ret const init = lzma_raw_decoder(&stream_, filters);
        free(filters[0].options);
        started_ = init == LZMA_OK;
        return started_;
    }

    std::uint64_t size_;
    lzma_stream stream_ = LZMA_STREAM_INIT;
    std::vector<std::uint8_t> header_;
    bool started_ = false;
    bool failed_ = false;
    bool ended_ = false;
    bool pastSize_ = false;
};

std::unique_ptr<RawDecoder> MakeRawDecoder(zip_stat_t const& stat)
{
    if (stat.comp_method == MethodZstd) {
        auto zstd = std::make_unique<ZstdDecoder>();
        return zstd->Valid() ? std::move(zstd) : nullptr;
    }
    return std::make_unique<LzmaDecoder>(stat.size);
}

int SaveRaw(zip_t* archive, zip_uint64_t index, zip_stat_t const& stat, ChunkCallback const& callback)
{
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
        return -ZIP_ER_ENCRNOTSUPP;
    std::unique_ptr<RawDecoder> const decoder = MakeRawDecoder(stat);
    if (!decoder)
        return -ZIP_ER_MEMORY;
    ZipFile file(zip_fopen_index(archive, index, ZIP_FL_COMPRESSED));
    if (!file)
        return ArchiveError(archive);

    bool const lzma = stat.comp_method == MethodLzma;
    std::vector<std::uint8_t> input(65536);
    std::vector<std::uint8_t> output(MaxChunk);
    uLong crc = crc32(0, nullptr, 0);
    zip_uint64_t total = 0;
    size_t inputStart = 0;
    size_t inputEnd = 0;
    bool inputEnded = false;
    for (;;) {
        if (inputStart == inputEnd && !inputEnded) {
            zip_int64_t const n = zip_fread(file.get(), input.data(), input.size());
            if (n < 0)
                return -zip_error_code_zip(zip_file_get_error(file.get()));
            inputStart = 0;
            inputEnd = static_cast<size_t>(n);
            inputEnded = n == 0;
        }
        size_t consumed = 0;
        size_t produced = 0;
        if (!decoder->Decode(input.data() + inputStart, inputEnd - inputStart, consumed, output.data(), output.size(),
                             produced))
            return decoder->GoesOnPastSize() ? DataPastDeclaredSize : -ZIP_ER_COMPRESSED_DATA;
        inputStart += consumed;
        total += produced;
        // Every chunk goes to the callback, which judges the size.
        if (produced > 0) {
            crc = crc32(crc, output.data(), static_cast<uInt>(produced));
            int const result = callback(output.data(), static_cast<int>(produced));
            if (result < 0)
                return result;
        }
        // Nothing more can come out: the input has ended, or the decoder
        // takes no more of it.
        bool const stuck = consumed == 0 && produced == 0 && (inputEnded || inputStart < inputEnd);
        if (stuck || (lzma && decoder->AtEnd()))
            break;
    }
    bool const complete = decoder->AtEnd() || (lzma && total == stat.size);
    if (!complete || total != stat.size)
        return -ZIP_ER_INCONS; // the data ended early, or inside a frame
    if (crc != stat.crc)
        return -ZIP_ER_CRC;
    return 0;
}

int SaveEntry(zip_t* archive, zip_uint64_t index, zip_stat_t const& stat, ChunkCallback const& callback)
{
    if (stat.comp_method == MethodZstd || stat.comp_method == MethodLzma)
        return SaveRaw(archive, index, stat, callback);
    return SaveDecoded(archive, index, callback);
}

struct ArchiveCloser {
    void operator()(zip_t* archive) const { zip_discard(archive); }
};

bool IsReserved(wchar_t c) { return c < 0x20 || std::wcschr(L"<>:\"/\\|?*", c) != nullptr; }

// CON, PRN, AUX, NUL, CONIN$, CONOUT$, COM1-COM9 and LPT1-LPT9 (also with
// the superscript digits 1 to 3), whatever the letter case and extension, and
// with blanks or dots before the extension: Windows opens the device, not a
// file.
bool IsDeviceName(std::wstring_view component)
{
    std::wstring_view base = component.substr(0, component.find(L'.'));
    while (!base.empty() && (base.back() == L' ' || base.back() == L'.'))
        base.remove_suffix(1);
    for (wchar_t const* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"}) {
        if (EqualsIgnoreAsciiCase(base, device))
            return true;
    }
    if (base.size() != 4 || !(EqualsIgnoreAsciiCase(base.substr(0, 3), L"COM") || EqualsIgnoreAsciiCase(base.substr(0, 3), L"LPT")))
        return false;
    wchar_t const digit = base[3];
    return (digit >= L'1' && digit <= L'9') || digit == L'\u00B9' || digit == L'\u00B2' || digit == L'\u00B3';
}

} // namespace

std::wstring ZipNameToUtf16(std::string_view name)
{
    if (name.size() > INT_MAX)
        throw std::runtime_error("Failed to convert ZIP filename to UTF-16");
    Utf8Decoding decoded = DecodeUtf8(name);
    if (decoded.Failed == Utf8Decoding::Failure::Convert)
        throw std::runtime_error("Failed to convert ZIP filename to UTF-16");
    return std::move(decoded.Text); // "" when it cannot be measured
}

std::wstring UsableInstallerName(std::wstring_view name)
{
    // A root name is never part of the component: a drive ("C:"), or a
    // network or device prefix ("\\name", "\\?\", "\\.\", "\??\").
    if (name.size() >= 2 && ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z')) &&
        name[1] == L':')
        name.remove_prefix(2);
    size_t const separator = name.find_last_of(L"/\\");
    std::wstring_view const component = separator == std::wstring_view::npos ? name : name.substr(separator + 1);
    if (component.empty() || component == L"." || component == L"..")
        return {};
    if (std::any_of(component.begin(), component.end(), IsReserved) || IsDeviceName(component))
        return {};
    return std::wstring(component);
}

bool IsInstallerEntry(std::string_view name, std::int64_t size, std::int64_t compressedSize) noexcept
{
    return name.size() >= 4 && _strnicmp(name.data() + name.size() - 4, ".exe", 4) == 0 && size > 0 &&
           compressedSize > 0;
}

namespace {

// The archive, read through the package's borrowed handle; the stream must
// outlive the archive.
struct OpenedArchive {
    FileHandleStream Stream;
    std::unique_ptr<zip_t, ArchiveCloser> Archive;
    // Why the entries end before the central directory does (a libzip
    // code), or 0: the entries before a broken one can still be read.
    int EntriesError = 0;

    OpenedArchive() { zip_error_init(&Stream.Error); }
    OpenedArchive(OpenedArchive const&) = delete;
    OpenedArchive& operator=(OpenedArchive const&) = delete;
    ~OpenedArchive()
    {
        Archive.reset();
        zip_error_fini(&Stream.Error);
    }
};

void OpenArchive(PinnedFile& zipFile, OpenedArchive& opened)
{
    zipFile.Rewind();
    opened.Stream.Handle = zipFile.GetHandle();
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* const source = zip_source_function_create(StreamCallback, &opened.Stream, &error);
    zip_error_fini(&error);
    if (!source)
        throw std::runtime_error("Could not create ZIP reader");
    zip_error_init(&error);
    zip_t* const archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    zip_error_fini(&error);
    if (!archive) {
        zip_source_free(source);
        throw std::runtime_error("Could not open ZIP file");
    }
    opened.Archive.reset(archive);
    opened.EntriesError = zip_error_code_zip(zip_get_error(archive));
}

// The first entry that qualifies as the installer, by the raw name bytes of
// the central directory (up to the first NUL); no entry after it is looked at.
std::optional<std::pair<zip_uint64_t, zip_stat_t>> ChooseEntry(zip_t* archive, CancelFlag const& cancel)
{
    zip_int64_t const entries = zip_get_num_entries(archive, 0);
    if (entries < 0)
        throw std::runtime_error("Could not read ZIP entries");
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(entries); ++index) {
        ThrowIfCanceled(cancel);
        zip_stat_t stat;
        zip_stat_init(&stat);
        if (zip_stat_index(archive, index, ZIP_FL_ENC_RAW, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME) || !stat.name)
            continue;
        if (IsInstallerEntry(stat.name, static_cast<std::int64_t>(stat.size), static_cast<std::int64_t>(stat.comp_size)))
            return std::make_pair(index, stat);
    }
    return std::nullopt;
}

// No entry qualified: the entries ended, or a broken one ended them (the
// first one, or a later one).
[[noreturn]] void FailWithoutInstaller(OpenedArchive const& opened)
{
    if (opened.EntriesError == ZIP_ER_OK)
        throw std::runtime_error("Could not find installer EXE in the downloaded ZIP");
    if (zip_get_num_entries(opened.Archive.get(), 0) == 0)
        throw std::runtime_error("Could not read ZIP entries");
    throw std::runtime_error(Format("The downloaded ZIP could not be read (error %d)", -opened.EntriesError));
}

// The installer must fit on the folder's volume before a byte is written.
void CheckFreeSpace(std::wstring const& folder, zip_uint64_t size)
{
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExW(folder.c_str(), &available, nullptr, nullptr) && size > available.QuadPart)
        throw std::runtime_error("There is not enough free disk space to unpack the installer");
}

// Writes the entry into the output; stops as soon as more comes than the
// central directory declares.
void WritePass(zip_t* archive, zip_uint64_t index, zip_stat_t const& stat, PinnedFile& output, CancelFlag const& cancel)
{
    std::uint64_t written = 0;
    bool oversized = false;
    int const saved = SaveEntry(archive, index, stat, [&](std::uint8_t const* data, int length) {
        if (length < 0 || cancel.load(std::memory_order_acquire))
            return -ZIP_ER_INVAL;
        if (written + static_cast<std::uint64_t>(length) > stat.size) {
            oversized = true;
            return -ZIP_ER_INCONS;
        }
        try {
            output.Write(data, static_cast<std::uint64_t>(length));
        } catch (std::exception const&) {
            return -ZIP_ER_WRITE;
        }
        written += static_cast<std::uint64_t>(length);
        return length;
    });
    if (saved != 0)
        ThrowIfCanceled(cancel);
    if (oversized || saved == DataPastDeclaredSize)
        throw std::runtime_error("The installer in the ZIP is not the size the ZIP says it is");
    if (saved != 0)
        throw std::runtime_error("Failed to extract file from ZIP");
    if (written != stat.size)
        throw std::runtime_error("The installer in the ZIP is not the size the ZIP says it is");
}

// Unpacks the entry a second time and compares it with the locked file.
void VerifyPass(zip_t* archive, zip_uint64_t index, zip_stat_t const& stat, PinnedFile& output, CancelFlag const& cancel)
{
    std::vector<std::uint8_t> buffer;
    bool mismatch = false;
    int const verified = SaveEntry(archive, index, stat, [&](std::uint8_t const* data, int length) {
        if (length < 0 || cancel.load(std::memory_order_acquire))
            return -ZIP_ER_INVAL;
        if (buffer.size() < static_cast<size_t>(length))
            buffer.resize(static_cast<size_t>(length));
        try {
            std::uint64_t const read = output.Read(buffer.data(), static_cast<std::uint64_t>(length));
            if (read < static_cast<std::uint64_t>(length) ||
                (length > 0 && std::memcmp(buffer.data(), data, static_cast<size_t>(length)) != 0))
                mismatch = true;
        } catch (std::exception const&) {
            return -ZIP_ER_READ;
        }
        return length;
    });
    if (verified != 0) {
        ThrowIfCanceled(cancel);
        throw std::runtime_error("Could not read back the installer file");
    }
    if (mismatch)
        throw std::runtime_error("The installer file was modified before it could be locked for reading");
}

} // namespace

PinnedFile ExtractInstaller(PinnedFile& zipFile, std::wstring const& folder, std::function<void(double)> const& progress,
                            CancelFlag const& cancel, InstallerEntry* chosenEntry)
{
    OpenedArchive opened;
    OpenArchive(zipFile, opened);
    zip_t* const archive = opened.Archive.get();

    auto const chosen = ChooseEntry(archive, cancel);
    if (!chosen)
        FailWithoutInstaller(opened);
    auto const& [index, stat] = *chosen;

    std::wstring const entryName = ZipNameToUtf16(stat.name);
    if (chosenEntry)
        *chosenEntry = InstallerEntry{index, entryName};
    std::wstring const fileName = UsableInstallerName(entryName);
    if (fileName.empty())
        throw std::runtime_error("The downloaded ZIP names its installer in a way that is not usable");
    CheckFreeSpace(folder, stat.size);
    PinnedFile output(JoinPath(folder, fileName), PinnedFileAccess::WriteOnly);
    WritePass(archive, index, stat, output, cancel);

    // Lock it, then prove the locked file is what the archive holds.
    output.ReopenForReading();
    if (output.GetSize() != stat.size)
        throw std::runtime_error("The installer file was modified before it could be locked for reading");
    VerifyPass(archive, index, stat, output, cancel);

    output.Rewind();
    if (progress)
        progress(100.0);
    return output;
}

} // namespace ovl::setup

#include "install/Extraction.h"

#include <windows.h>

#include <lzma.h>
#include <zip.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <vector>

namespace ovl::setup {

namespace {

constexpr zip_uint64_t MaxChunk = 65535; // the most one callback receives
constexpr zip_uint16_t MethodZstd = 93;  // not decoded by this libzip: read raw and decoded here
constexpr zip_uint16_t MethodLzma = 14;  // likewise

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

zip_int64_t StreamCallback(void* userdata, void* data, zip_uint64_t length, zip_source_cmd_t command)
{
    auto& stream = *static_cast<FileHandleStream*>(userdata);
    bool const open = stream.Handle != nullptr && stream.Handle != INVALID_HANDLE_VALUE;
    switch (command) {
    case ZIP_SOURCE_OPEN:
        return open ? 0 : Fail(stream, ZIP_ER_OPEN, ERROR_INVALID_HANDLE);
    case ZIP_SOURCE_READ: {
        DWORD const ask = static_cast<DWORD>(std::min<zip_uint64_t>(length, MAXDWORD));
        DWORD read = 0;
        if (!ReadFile(stream.Handle, data, ask, &read, nullptr))
            return Fail(stream, ZIP_ER_READ, GetLastError());
        return read;
    }
    case ZIP_SOURCE_CLOSE:
    case ZIP_SOURCE_FREE:
        return 0;
    case ZIP_SOURCE_STAT: {
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
    case ZIP_SOURCE_ERROR:
        return zip_error_to_data(&stream.Error, data, length);
    case ZIP_SOURCE_SEEK: {
        auto* args = ZIP_SOURCE_GET_ARGS(zip_source_args_seek_t, data, length, &stream.Error);
        if (!args)
            return -1;
        DWORD method;
        switch (args->whence) {
        case SEEK_SET:
            method = FILE_BEGIN;
            break;
        case SEEK_CUR:
            method = FILE_CURRENT;
            break;
        case SEEK_END:
            method = FILE_END;
            break;
        default:
            zip_error_set(&stream.Error, ZIP_ER_INVAL, 0); // no Windows error to keep
            return -1;
        }
        LARGE_INTEGER distance;
        distance.QuadPart = args->offset;
        if (!SetFilePointerEx(stream.Handle, distance, nullptr, method))
            return Fail(stream, ZIP_ER_SEEK, GetLastError());
        return 0;
    }
    case ZIP_SOURCE_TELL: {
        LARGE_INTEGER zero{};
        LARGE_INTEGER position{};
        if (!SetFilePointerEx(stream.Handle, zero, &position, FILE_CURRENT))
            return Fail(stream, ZIP_ER_TELL, GetLastError());
        return position.QuadPart;
    }
    case ZIP_SOURCE_SUPPORTS:
        return ZIP_SOURCE_SUPPORTS_SEEKABLE;
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
    // Returns false on a data error; finished is set at the end of the data.
    virtual bool Decode(std::uint8_t const* in, size_t inSize, size_t& consumed, std::uint8_t* out, size_t outSize,
                        size_t& produced, bool& finished) = 0;
};

class ZstdDecoder final : public RawDecoder {
public:
    ZstdDecoder() : stream_(ZSTD_createDStream()) {}
    ~ZstdDecoder() override { ZSTD_freeDStream(stream_); }
    bool Valid() const { return stream_ != nullptr; }
    bool Decode(std::uint8_t const* in, size_t inSize, size_t& consumed, std::uint8_t* out, size_t outSize,
                size_t& produced, bool& finished) override
    {
        ZSTD_inBuffer input{in, inSize, 0};
        ZSTD_outBuffer output{out, outSize, 0};
        size_t const result = ZSTD_decompressStream(stream_, &output, &input);
        consumed = input.pos;
        produced = output.pos;
        if (ZSTD_isError(result))
            return false;
        finished = result == 0;
        return true;
    }

private:
    ZSTD_DStream* stream_;
};

class LzmaDecoder final : public RawDecoder {
public:
    ~LzmaDecoder() override { lzma_end(&stream_); }
    // The raw data begins with a 4-byte header (version, properties size)
    // and the LZMA1 properties; Decode skips them.
    bool Decode(std::uint8_t const* in, size_t inSize, size_t& consumed, std::uint8_t* out, size_t outSize,
                size_t& produced, bool& finished) override
    {
        consumed = produced = 0;
        if (!started_) {
            // Collect the header first.
            size_t const need = 4 + 5;
            size_t const take = std::min(inSize, need - header_.size());
            header_.insert(header_.end(), in, in + take);
            consumed = take;
            if (header_.size() < need)
                return true;
            std::uint16_t const propertiesSize = static_cast<std::uint16_t>(header_[2] | (header_[3] << 8));
            if (propertiesSize != 5)
                return false;
            lzma_filter filters[2] = {{LZMA_FILTER_LZMA1, nullptr}, {LZMA_VLI_UNKNOWN, nullptr}};
            if (lzma_properties_decode(&filters[0], nullptr, header_.data() + 4, 5) != LZMA_OK)
                return false;
            lzma_ret const init = lzma_raw_decoder(&stream_, filters);
            free(filters[0].options);
            if (init != LZMA_OK)
                return false;
            started_ = true;
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
        if (result == LZMA_STREAM_END) {
            finished = true;
            return true;
        }
        return result == LZMA_OK || result == LZMA_BUF_ERROR;
    }

private:
    lzma_stream stream_ = LZMA_STREAM_INIT;
    std::vector<std::uint8_t> header_;
    bool started_ = false;
};

int SaveRaw(zip_t* archive, zip_uint64_t index, zip_stat_t const& stat, ChunkCallback const& callback)
{
    if ((stat.valid & ZIP_STAT_ENCRYPTION_METHOD) && stat.encryption_method != ZIP_EM_NONE)
        return -ZIP_ER_ENCRNOTSUPP;
    std::unique_ptr<RawDecoder> decoder;
    if (stat.comp_method == MethodZstd) {
        auto zstd = std::make_unique<ZstdDecoder>();
        if (!zstd->Valid())
            return -ZIP_ER_MEMORY;
        decoder = std::move(zstd);
    } else {
        decoder = std::make_unique<LzmaDecoder>();
    }
    ZipFile file(zip_fopen_index(archive, index, ZIP_FL_COMPRESSED));
    if (!file)
        return ArchiveError(archive);

    std::vector<std::uint8_t> input(65536);
    std::vector<std::uint8_t> output(MaxChunk);
    uLong crc = crc32(0, nullptr, 0);
    zip_uint64_t total = 0;
    bool finished = false;
    bool inputEnded = false;
    size_t inputStart = 0;
    size_t inputEnd = 0;
    while (!finished) {
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
        // LZMA data without an end marker ends at the entry's size.
        size_t const room = stat.comp_method == MethodLzma
                                ? static_cast<size_t>(std::min<zip_uint64_t>(output.size(), stat.size - total + 1))
                                : output.size();
        if (!decoder->Decode(input.data() + inputStart, inputEnd - inputStart, consumed, output.data(), room, produced,
                             finished))
            return -ZIP_ER_COMPRESSED_DATA;
        inputStart += consumed;
        if (produced > 0) {
            total += produced;
            if (total > stat.size)
                return -ZIP_ER_INCONS;
            crc = crc32(crc, output.data(), static_cast<uInt>(produced));
            int const result = callback(output.data(), static_cast<int>(produced));
            if (result < 0)
                return result;
        }
        if (stat.comp_method == MethodLzma && total == stat.size && (inputEnded || inputStart == inputEnd))
            finished = true;
        if (!finished && inputEnded && consumed == 0 && produced == 0)
            return -ZIP_ER_INCONS; // the data ended early
    }
    if (total != stat.size)
        return -ZIP_ER_INCONS;
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

} // namespace

std::wstring ZipNameToUtf16(std::string_view name)
{
    if (name.size() > INT_MAX)
        throw std::runtime_error("Failed to convert ZIP filename to UTF-16");
    int const size = static_cast<int>(name.size());
    int const length = size > 0 ? MultiByteToWideChar(CP_UTF8, 0, name.data(), size, nullptr, 0) : 0;
    if (length <= 0)
        return {};
    std::wstring text(static_cast<size_t>(length), L'\0');
    if (MultiByteToWideChar(CP_UTF8, 0, name.data(), size, text.data(), length) <= 0)
        throw std::runtime_error("Failed to convert ZIP filename to UTF-16");
    return text;
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
    if (std::any_of(component.begin(), component.end(), IsReserved))
        return {};
    return std::wstring(component);
}

PinnedFile ExtractInstaller(PinnedFile& zipFile, std::wstring const& folder, std::function<void(double)> const& progress,
                            CancelFlag const& cancel)
{
    zipFile.Rewind();
    FileHandleStream stream;
    stream.Handle = zipFile.GetHandle();
    zip_error_init(&stream.Error);
    struct ErrorCleanup {
        zip_error_t* Error;
        ~ErrorCleanup() { zip_error_fini(Error); }
    } errorCleanup{&stream.Error};

    zip_error_t openError;
    zip_error_init(&openError);
    zip_source_t* source = zip_source_function_create(StreamCallback, &stream, &openError);
    zip_error_fini(&openError);
    if (!source)
        throw std::runtime_error("Could not create ZIP reader");

    zip_error_init(&openError);
    zip_t* const opened = zip_open_from_source(source, ZIP_RDONLY, &openError);
    zip_error_fini(&openError);
    if (!opened) {
        zip_source_free(source);
        throw std::runtime_error("Could not open ZIP file");
    }
    std::unique_ptr<zip_t, ArchiveCloser> const archive(opened); // deleted on every path

    zip_int64_t const entries = zip_get_num_entries(archive.get(), 0);
    if (entries < 0)
        throw std::runtime_error("Could not read ZIP entries");

    PinnedFile output;
    zip_stat_t chosen;
    zip_uint64_t chosenIndex = 0;
    bool found = false;
    for (zip_uint64_t index = 0; index < static_cast<zip_uint64_t>(entries) && !found; ++index) {
        ThrowIfCanceled(cancel);
        zip_stat_t stat;
        zip_stat_init(&stat);
        // The raw name bytes, without any conversion by the library.
        if (zip_stat_index(archive.get(), index, ZIP_FL_ENC_RAW, &stat) != 0 || !(stat.valid & ZIP_STAT_NAME) ||
            !stat.name)
            continue;
        std::string_view const name(stat.name, std::strlen(stat.name));
        if (name.size() < 4 || _strnicmp(name.data() + name.size() - 4, ".exe", 4) != 0)
            continue;
        if (static_cast<zip_int64_t>(stat.size) <= 0 || static_cast<zip_int64_t>(stat.comp_size) <= 0)
            continue; // folders and empty files
        chosen = stat;
        chosenIndex = index;
        found = true;
    }
    if (!found)
        throw std::runtime_error("Could not find installer EXE in the downloaded ZIP");

    std::wstring const fileName = UsableInstallerName(ZipNameToUtf16(chosen.name));
    if (fileName.empty())
        throw std::runtime_error("The downloaded ZIP names its installer in a way that is not usable");
    std::wstring const target = (std::filesystem::path(folder) / fileName).wstring();

    output = PinnedFile(target, PinnedFileAccess::WriteOnly);

    // Write pass.
    std::int64_t written = 0;
    int const saved = SaveEntry(archive.get(), chosenIndex, chosen, [&](std::uint8_t const* data, int length) {
        if (length < 0 || cancel.load(std::memory_order_acquire))
            return -ZIP_ER_INVAL;
        try {
            output.Write(data, static_cast<std::uint64_t>(length));
        } catch (std::exception const&) {
            return -ZIP_ER_WRITE;
        }
        written += length;
        return length;
    });
    if (saved != 0) {
        ThrowIfCanceled(cancel);
        throw std::runtime_error("Failed to extract file from ZIP");
    }
    if (written != static_cast<std::int64_t>(chosen.size))
        throw std::runtime_error("The installer in the ZIP is not the size the ZIP says it is");

    // Lock it, then prove the locked file is what the archive holds.
    output.ReopenForReading();
    if (output.GetSize() != static_cast<std::uint64_t>(written))
        throw std::runtime_error("The installer file was modified before it could be locked for reading");

    std::vector<std::uint8_t> buffer;
    bool mismatch = false;
    int const verified = SaveEntry(archive.get(), chosenIndex, chosen, [&](std::uint8_t const* data, int length) {
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

    output.Rewind();
    if (progress)
        progress(100.0);
    return output;
}

} // namespace ovl::setup

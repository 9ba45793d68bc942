#pragma once
// Writes ZIP archives byte by byte for the extraction tests, so that every
// method (Zstandard included) and every kind of damage can be made exactly.

#include <bzlib.h>
#include <lzma.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace ovl::test {

using Bytes = std::vector<std::uint8_t>;

enum Method : std::uint16_t { Stored = 0, Deflate = 8, Bzip2 = 12, Lzma = 14, Zstd = 93, Xz = 95, Ppmd = 98, Aes = 99 };

// ZIP's LZMA: version 2 bytes, properties size 2 bytes, properties, raw LZMA1,
// with or without the end marker (without it, only the headers' size says
// where the data ends).
inline Bytes CompressLzma(Bytes const& data, bool endMarker)
{
    lzma_options_lzma options;
    lzma_lzma_preset(&options, 6);
    options.ext_flags = endMarker ? LZMA_LZMA1EXT_ALLOW_EOPM : 0;
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1EXT, &options}, {LZMA_VLI_UNKNOWN, nullptr}};
    std::uint8_t properties[5];
    lzma_filter const plain{LZMA_FILTER_LZMA1, &options};
    if (lzma_properties_encode(&plain, properties) != LZMA_OK)
        throw std::logic_error("test: LZMA properties");
    Bytes out = {9, 20, 5, 0};
    out.insert(out.end(), properties, properties + 5);
    Bytes raw(data.size() + data.size() / 2 + 1024);
    size_t position = 0;
    if (lzma_raw_buffer_encode(filters, nullptr, data.data(), data.size(), raw.data(), &position, raw.size()) != LZMA_OK)
        throw std::logic_error("test: LZMA encoding");
    out.insert(out.end(), raw.begin(), raw.begin() + static_cast<std::ptrdiff_t>(position));
    return out;
}

inline Bytes Compress(Method method, Bytes const& data)
{
    Bytes out;
    switch (method) {
    case Stored:
    case Ppmd:
    case Aes:
        return data;
    case Deflate: {
        z_stream z{};
        deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
        out.resize(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
        z.next_in = const_cast<Bytef*>(data.data());
        z.avail_in = static_cast<uInt>(data.size());
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        deflate(&z, Z_FINISH);
        out.resize(z.total_out);
        deflateEnd(&z);
        return out;
    }
    case Bzip2: {
        unsigned int size = static_cast<unsigned int>(data.size() + data.size() / 100 + 700);
        out.resize(size);
        BZ2_bzBuffToBuffCompress(reinterpret_cast<char*>(out.data()), &size,
                                 const_cast<char*>(reinterpret_cast<char const*>(data.data())),
                                 static_cast<unsigned int>(data.size()), 9, 0, 0);
        out.resize(size);
        return out;
    }
    case Xz: {
        out.resize(lzma_stream_buffer_bound(data.size()));
        size_t position = 0;
        lzma_easy_buffer_encode(6, LZMA_CHECK_CRC64, nullptr, data.data(), data.size(), out.data(), &position,
                                out.size());
        out.resize(position);
        return out;
    }
    case Lzma:
        return CompressLzma(data, true);
    case Zstd: {
        out.resize(ZSTD_compressBound(data.size()));
        size_t const size = ZSTD_compress(out.data(), out.size(), data.data(), data.size(), 9);
        out.resize(size);
        return out;
    }
    }
    throw std::logic_error("test: unknown method");
}

struct ZipEntry {
    std::string Name; // raw bytes
    Bytes Data;       // uncompressed
    Method CompressionMethod = Deflate;
    // Damage, when set.
    std::int64_t DeclaredSize = -1; // uncompressed size in the headers
    bool CorruptCrc = false;
    std::uint16_t Flags = 0;
    Bytes Extra;          // extra fields, in both headers
    std::string Comment;  // the entry's comment in the central directory
    int ZstdFrames = 1;   // Zstandard data made of this many frames
    bool Zip64 = false;   // sizes in a Zip64 extra field (DeclaredSize may then exceed 4 GiB)
    bool LzmaEndMarker = true; // LZMA data ends with its end marker (and flag bit 1 says so)
};

// Zstandard data in several frames, one after the other.
inline Bytes CompressZstdFrames(Bytes const& data, int frames)
{
    Bytes out;
    size_t const piece = (data.size() + static_cast<size_t>(frames) - 1) / static_cast<size_t>(frames);
    for (size_t start = 0; start < data.size(); start += piece) {
        size_t const n = std::min(piece, data.size() - start);
        Bytes frame(ZSTD_compressBound(n));
        frame.resize(ZSTD_compress(frame.data(), frame.size(), data.data() + start, n, 9));
        out.insert(out.end(), frame.begin(), frame.end());
    }
    return out;
}

// An Info-ZIP Unicode Path extra field (0x7075) naming the entry, with the
// CRC-32 of the header's own name bytes so that readers that honour it do.
inline Bytes UnicodePathField(std::string const& headerName, std::string const& unicodeName)
{
    Bytes field;
    field.push_back(0x75);
    field.push_back(0x70);
    std::uint16_t const size = static_cast<std::uint16_t>(5 + unicodeName.size());
    field.push_back(static_cast<std::uint8_t>(size));
    field.push_back(static_cast<std::uint8_t>(size >> 8));
    field.push_back(1); // version
    std::uint32_t const crc =
        static_cast<std::uint32_t>(crc32(0, reinterpret_cast<Bytef const*>(headerName.data()), static_cast<uInt>(headerName.size())));
    for (int i = 0; i < 4; ++i)
        field.push_back(static_cast<std::uint8_t>(crc >> (8 * i)));
    field.insert(field.end(), unicodeName.begin(), unicodeName.end());
    return field;
}

inline void Put16(Bytes& b, std::uint32_t v)
{
    b.push_back(static_cast<std::uint8_t>(v));
    b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void Put32(Bytes& b, std::uint32_t v)
{
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

inline Bytes MakeZip(std::vector<ZipEntry> const& entries)
{
    Bytes zip;
    Bytes directory;
    for (auto const& entry : entries) {
        bool const lzmaMarker = entry.CompressionMethod == Lzma && entry.LzmaEndMarker;
        Bytes const packed = entry.ZstdFrames > 1                                            ? CompressZstdFrames(entry.Data, entry.ZstdFrames)
                             : entry.CompressionMethod == Lzma && !entry.LzmaEndMarker ? CompressLzma(entry.Data, false)
                                                                                         : Compress(entry.CompressionMethod, entry.Data);
        std::uint32_t crc = static_cast<std::uint32_t>(crc32(0, entry.Data.data(), static_cast<uInt>(entry.Data.size())));
        if (entry.CorruptCrc)
            crc ^= 0x5A5A5A5A;
        std::uint64_t const size64 =
            static_cast<std::uint64_t>(entry.DeclaredSize >= 0 ? entry.DeclaredSize : static_cast<std::int64_t>(entry.Data.size()));
        std::uint32_t const size = entry.Zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(size64);
        std::uint32_t const packedSize = entry.Zip64 ? 0xFFFFFFFFu : static_cast<std::uint32_t>(packed.size());
        Bytes extra = entry.Extra;
        if (entry.Zip64) {
            Put16(extra, 0x0001);
            Put16(extra, 16);
            Put32(extra, static_cast<std::uint32_t>(size64));
            Put32(extra, static_cast<std::uint32_t>(size64 >> 32));
            Put32(extra, static_cast<std::uint32_t>(packed.size()));
            Put32(extra, 0);
        }
        std::uint16_t const flags = static_cast<std::uint16_t>(entry.Flags | (lzmaMarker ? 2 : 0));
        std::uint32_t const offset = static_cast<std::uint32_t>(zip.size());
        std::uint16_t const version = entry.CompressionMethod == Lzma || entry.CompressionMethod == Xz ||
                                              entry.CompressionMethod == Zstd
                                          ? 63
                                          : 20;

        Put32(zip, 0x04034b50);
        Put16(zip, version);
        Put16(zip, flags);
        Put16(zip, entry.CompressionMethod);
        Put16(zip, 0);
        Put16(zip, 0x21);
        Put32(zip, crc);
        Put32(zip, packedSize);
        Put32(zip, size);
        Put16(zip, static_cast<std::uint32_t>(entry.Name.size()));
        Put16(zip, static_cast<std::uint32_t>(extra.size()));
        zip.insert(zip.end(), entry.Name.begin(), entry.Name.end());
        zip.insert(zip.end(), extra.begin(), extra.end());
        zip.insert(zip.end(), packed.begin(), packed.end());

        Put32(directory, 0x02014b50);
        Put16(directory, version);
        Put16(directory, version);
        Put16(directory, flags);
        Put16(directory, entry.CompressionMethod);
        Put16(directory, 0);
        Put16(directory, 0x21);
        Put32(directory, crc);
        Put32(directory, packedSize);
        Put32(directory, size);
        Put16(directory, static_cast<std::uint32_t>(entry.Name.size()));
        Put16(directory, static_cast<std::uint32_t>(extra.size()));
        Put16(directory, static_cast<std::uint32_t>(entry.Comment.size()));
        Put16(directory, 0);
        Put16(directory, 0);
        Put32(directory, 0);
        Put32(directory, offset);
        directory.insert(directory.end(), entry.Name.begin(), entry.Name.end());
        directory.insert(directory.end(), extra.begin(), extra.end());
        directory.insert(directory.end(), entry.Comment.begin(), entry.Comment.end());
    }
    std::uint32_t const directoryOffset = static_cast<std::uint32_t>(zip.size());
    zip.insert(zip.end(), directory.begin(), directory.end());
    Put32(zip, 0x06054b50);
    Put16(zip, 0);
    Put16(zip, 0);
    Put16(zip, static_cast<std::uint32_t>(entries.size()));
    Put16(zip, static_cast<std::uint32_t>(entries.size()));
    Put32(zip, static_cast<std::uint32_t>(directory.size()));
    Put32(zip, directoryOffset);
    Put16(zip, 0);
    return zip;
}

// Somewhat compressible content of a given size.
inline Bytes SampleContent(size_t size, std::uint32_t seed = 1)
{
    Bytes data(size);
    std::uint32_t x = seed;
    for (size_t i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = static_cast<std::uint8_t>((i % 64 < 40) ? ('a' + (i % 26)) : (x >> 24));
    }
    return data;
}

} // namespace ovl::test

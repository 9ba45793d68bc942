// Smoke test of the cross-built dependencies: every ZIP codec libzip must
// decode (and, built read only, none it encodes), a raw LZMA1 and a
// Zstandard round trip, and a JSON parse. It fails when a codec is missing
// from the bootstrap's build.

#include "install/ZipFixture.h"

#include <windows.h>

#include <lzma.h>
#include <zip.h>
#include <zstd.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string SamplePayload()
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i) + " of the payload, somewhat repetitive\n";
    return text;
}

// libzip 1.7 decodes these itself. It has no LZMA (method 14) and no
// Zstandard (method 93) codec; the extraction reads such entries raw and
// decodes them with liblzma and libzstd, which are tested below.
constexpr ovl::test::Method Codecs[] = {ovl::test::Stored, ovl::test::Deflate, ovl::test::Bzip2, ovl::test::Xz};

// Built read only: every codec decodes, none encodes (so none is linked).
TEST(Libzip, DecodesEveryCodecAndEncodesNone)
{
    for (auto const method : Codecs) {
        EXPECT_TRUE(zip_compression_method_supported(method, 0)) << method;
        EXPECT_EQ(zip_compression_method_supported(method, 1), method == ovl::test::Stored) << method;
    }
}

TEST(Libzip, ReadsBackEveryCodec)
{
    std::string const payload = SamplePayload();
    std::vector<ovl::test::ZipEntry> entries;
    for (auto const method : Codecs) {
        ovl::test::ZipEntry entry;
        entry.Name = "method-" + std::to_string(method) + ".bin";
        entry.Data.assign(payload.begin(), payload.end());
        entry.CompressionMethod = method;
        entries.push_back(entry);
    }
    auto const zip = ovl::test::MakeZip(entries);

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(zip.data(), zip.size(), 0, &error);
    ASSERT_NE(source, nullptr);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY | ZIP_CHECKCONS, &error);
    ASSERT_NE(archive, nullptr) << "zip_open error " << zip_error_code_zip(&error);
    ASSERT_EQ(zip_get_num_entries(archive, 0), static_cast<zip_int64_t>(std::size(Codecs)));
    for (auto const& entry : entries) {
        zip_file_t* file = zip_fopen(archive, entry.Name.c_str(), 0);
        ASSERT_NE(file, nullptr) << entry.Name << ": " << zip_strerror(archive);
        std::string read(payload.size() + 16, '\0');
        zip_int64_t const n = zip_fread(file, read.data(), read.size());
        zip_fclose(file);
        ASSERT_EQ(n, static_cast<zip_int64_t>(payload.size())) << entry.Name;
        read.resize(static_cast<size_t>(n));
        EXPECT_EQ(read, payload) << entry.Name;
    }
    zip_close(archive);
    zip_error_fini(&error);
}

// The bootstrap's patches for the package rules: a name keeps its bytes (so
// it ends at its first NUL as a C string), and a broken entry ends the
// entries there instead of refusing the archive, with the archive's error
// saying why.
TEST(Libzip, NamesKeepNulAndABrokenEntryEndsTheEntries)
{
    using namespace std::string_literals;
    ovl::test::ZipEntry named;
    named.Name = "a\0.exe"s;
    named.Data = {1, 2, 3};
    ovl::test::ZipEntry plain = named;
    plain.Name = "b.txt";
    ovl::test::ZipEntry broken = named;
    broken.Name = "c.bin";
    broken.Extra = {0x34, 0x12, 16, 0, 1, 2}; // says 16 bytes, holds 2
    auto const zip = ovl::test::MakeZip({named, plain, broken});

    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(zip.data(), zip.size(), 0, &error);
    ASSERT_NE(source, nullptr);
    zip_t* archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr) << "zip_open error " << zip_error_code_zip(&error);
    EXPECT_EQ(zip_get_num_entries(archive, 0), 2);
    EXPECT_EQ(zip_error_code_zip(zip_get_error(archive)), ZIP_ER_INCONS);
    char const* name = zip_get_name(archive, 0, ZIP_FL_ENC_RAW);
    ASSERT_NE(name, nullptr);
    EXPECT_STREQ(name, "a");
    zip_discard(archive);

    // A broken first entry leaves no entries, and the error.
    auto const brokenFirst = ovl::test::MakeZip({broken, plain});
    source = zip_source_buffer_create(brokenFirst.data(), brokenFirst.size(), 0, &error);
    ASSERT_NE(source, nullptr);
    archive = zip_open_from_source(source, ZIP_RDONLY, &error);
    ASSERT_NE(archive, nullptr) << "zip_open error " << zip_error_code_zip(&error);
    EXPECT_EQ(zip_get_num_entries(archive, 0), 0);
    EXPECT_EQ(zip_error_code_zip(zip_get_error(archive)), ZIP_ER_INCONS);
    zip_discard(archive);
    zip_error_fini(&error);
}

// LZMA as ZIP method 14 stores a raw LZMA1 stream after its properties.
TEST(Liblzma, RoundTripsARawLzma1Stream)
{
    std::string const payload = SamplePayload();
    lzma_options_lzma options;
    ASSERT_FALSE(lzma_lzma_preset(&options, 6));
    lzma_filter filters[] = {{LZMA_FILTER_LZMA1, &options}, {LZMA_VLI_UNKNOWN, nullptr}};

    std::vector<uint8_t> compressed(payload.size() + 1024);
    lzma_stream encoder = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_raw_encoder(&encoder, filters), LZMA_OK);
    encoder.next_in = reinterpret_cast<uint8_t const*>(payload.data());
    encoder.avail_in = payload.size();
    encoder.next_out = compressed.data();
    encoder.avail_out = compressed.size();
    ASSERT_EQ(lzma_code(&encoder, LZMA_FINISH), LZMA_STREAM_END);
    size_t const size = compressed.size() - encoder.avail_out;
    lzma_end(&encoder);
    EXPECT_LT(size, payload.size());

    lzma_stream decoder = LZMA_STREAM_INIT;
    ASSERT_EQ(lzma_raw_decoder(&decoder, filters), LZMA_OK);
    std::string decoded(payload.size(), '\0');
    decoder.next_in = compressed.data();
    decoder.avail_in = size;
    decoder.next_out = reinterpret_cast<uint8_t*>(decoded.data());
    decoder.avail_out = decoded.size();
    lzma_ret const result = lzma_code(&decoder, LZMA_FINISH);
    lzma_end(&decoder);
    EXPECT_TRUE(result == LZMA_STREAM_END || result == LZMA_OK) << result;
    EXPECT_EQ(decoder.avail_out, 0u);
    EXPECT_EQ(decoded, payload);
}

TEST(Zstd, RoundTripsAFrame)
{
    std::string const payload = SamplePayload();
    std::vector<char> compressed(ZSTD_compressBound(payload.size()));
    size_t const size = ZSTD_compress(compressed.data(), compressed.size(), payload.data(), payload.size(), 19);
    ASSERT_FALSE(ZSTD_isError(size)) << ZSTD_getErrorName(size);
    EXPECT_LT(size, payload.size());

    // Streamed, as the extraction decodes it.
    ZSTD_DStream* stream = ZSTD_createDStream();
    ASSERT_NE(stream, nullptr);
    std::string decoded;
    std::vector<char> out(ZSTD_DStreamOutSize());
    ZSTD_inBuffer in{compressed.data(), size, 0};
    size_t result = 1;
    while (in.pos < in.size) {
        ZSTD_outBuffer o{out.data(), out.size(), 0};
        result = ZSTD_decompressStream(stream, &o, &in);
        ASSERT_FALSE(ZSTD_isError(result)) << ZSTD_getErrorName(result);
        decoded.append(out.data(), o.pos);
    }
    ZSTD_freeDStream(stream);
    EXPECT_EQ(result, 0u) << "frame not complete";
    EXPECT_EQ(decoded, payload);
}

TEST(NlohmannJson, ParsesADocument)
{
    auto const document = nlohmann::json::parse(R"({"a": [1, "two", {"three": true}], "b": null})");
    ASSERT_TRUE(document.is_object());
    EXPECT_EQ(document["a"][1].get<std::string>(), "two");
    EXPECT_TRUE(document["a"][2]["three"].get<bool>());
    EXPECT_TRUE(document["b"].is_null());
    EXPECT_THROW(nlohmann::json::parse("{\"a\": }"), nlohmann::json::parse_error);
}

} // namespace

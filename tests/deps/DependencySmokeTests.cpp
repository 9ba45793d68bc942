// Smoke test of the cross-built dependencies: every ZIP codec libzip must
// decode, a Zstandard round trip and a JSON parse. It fails when a codec is
// missing from the bootstrap's build.

#include <windows.h>

#include <lzma.h>
#include <zip.h>
#include <zstd.h>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string TempZipPath()
{
    char folder[MAX_PATH];
    GetTempPathA(MAX_PATH, folder);
    return std::string(folder) + "ovl-deps-smoke-" + std::to_string(GetCurrentProcessId()) + ".zip";
}

std::string SamplePayload()
{
    std::string text;
    for (int i = 0; i < 2000; ++i)
        text += "line " + std::to_string(i) + " of the payload, somewhat repetitive\n";
    return text;
}

struct Codec {
    char const* Name;
    zip_int32_t Method;
};

// libzip 1.7 decodes these itself. It has no LZMA (method 14) and no
// Zstandard (method 93) codec; the extraction reads such entries raw and
// decodes them with liblzma and libzstd, which are tested below.
constexpr Codec Codecs[] = {
    {"stored.bin", ZIP_CM_STORE},
    {"deflate.bin", ZIP_CM_DEFLATE},
    {"bzip2.bin", ZIP_CM_BZIP2},
    {"xz.bin", ZIP_CM_XZ},
};

TEST(Libzip, SupportsEveryCodecBothWays)
{
    for (auto const& codec : Codecs) {
        EXPECT_TRUE(zip_compression_method_supported(codec.Method, 1)) << codec.Name;
        EXPECT_TRUE(zip_compression_method_supported(codec.Method, 0)) << codec.Name;
    }
}

TEST(Libzip, WritesAndReadsBackEveryCodec)
{
    std::string const path = TempZipPath();
    std::string const payload = SamplePayload();
    DeleteFileA(path.c_str());

    int error = 0;
    zip_t* archive = zip_open(path.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(archive, nullptr) << "zip_open error " << error;
    for (auto const& codec : Codecs) {
        zip_source_t* source = zip_source_buffer(archive, payload.data(), payload.size(), 0);
        ASSERT_NE(source, nullptr);
        zip_int64_t const index = zip_file_add(archive, codec.Name, source, ZIP_FL_ENC_UTF_8);
        ASSERT_GE(index, 0) << zip_strerror(archive);
        ASSERT_EQ(zip_set_file_compression(archive, static_cast<zip_uint64_t>(index), codec.Method, 0), 0)
            << codec.Name << ": " << zip_strerror(archive);
    }
    ASSERT_EQ(zip_close(archive), 0) << zip_strerror(archive);

    archive = zip_open(path.c_str(), ZIP_RDONLY | ZIP_CHECKCONS, &error);
    ASSERT_NE(archive, nullptr) << "zip_open error " << error;
    ASSERT_EQ(zip_get_num_entries(archive, 0), static_cast<zip_int64_t>(std::size(Codecs)));
    for (auto const& codec : Codecs) {
        zip_stat_t stat;
        zip_stat_init(&stat);
        ASSERT_EQ(zip_stat(archive, codec.Name, 0, &stat), 0) << codec.Name;
        EXPECT_EQ(stat.comp_method, static_cast<zip_uint16_t>(codec.Method)) << codec.Name;
        if (codec.Method != ZIP_CM_STORE) {
            EXPECT_LT(stat.comp_size, stat.size) << codec.Name << " did not compress";
        }

        zip_file_t* file = zip_fopen(archive, codec.Name, 0);
        ASSERT_NE(file, nullptr) << codec.Name << ": " << zip_strerror(archive);
        std::string read(payload.size() + 16, '\0');
        zip_int64_t const n = zip_fread(file, read.data(), read.size());
        zip_fclose(file);
        ASSERT_EQ(n, static_cast<zip_int64_t>(payload.size())) << codec.Name;
        read.resize(static_cast<size_t>(n));
        EXPECT_EQ(read, payload) << codec.Name;
    }
    zip_close(archive);
    EXPECT_NE(DeleteFileA(path.c_str()), FALSE);
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

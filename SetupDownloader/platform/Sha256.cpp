#include "platform/Sha256.h"

#include <windows.h>

#include <bcrypt.h>

#include <algorithm>
#include <stdexcept>

namespace ovl::setup {

namespace {

[[noreturn]] void Fail() { throw std::runtime_error("Could not compute a SHA-256 hash"); }

int HexValue(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

} // namespace

// The two handles are this object's own: released in the destructor, and by
// the constructor itself when it fails half-way.
Sha256Hasher::Sha256Hasher()
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        Fail();
    BCRYPT_HASH_HANDLE hash = nullptr;
    if (!BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0))) {
        BCryptCloseAlgorithmProvider(algorithm, 0);
        Fail();
    }
    algorithm_ = algorithm;
    hash_ = hash;
}

Sha256Hasher::~Sha256Hasher()
{
    BCryptDestroyHash(hash_);
    BCryptCloseAlgorithmProvider(algorithm_, 0);
}

void Sha256Hasher::Add(void const* bytes, std::size_t size)
{
    auto* next = static_cast<PUCHAR>(const_cast<void*>(bytes));
    while (size > 0) {
        ULONG const part = static_cast<ULONG>(std::min<std::size_t>(size, 1u << 30));
        if (!BCRYPT_SUCCESS(BCryptHashData(hash_, next, part, 0)))
            Fail();
        next += part;
        size -= part;
    }
}

Sha256Digest Sha256Hasher::Finish()
{
    Sha256Digest digest{};
    if (!BCRYPT_SUCCESS(BCryptFinishHash(hash_, digest.data(), static_cast<ULONG>(digest.size()), 0)))
        Fail();
    return digest;
}

Sha256Digest ComputeSha256(void const* bytes, std::size_t size)
{
    Sha256Hasher hasher;
    hasher.Add(bytes, size);
    return hasher.Finish();
}

std::wstring FormatSha256(Sha256Digest const& digest)
{
    static constexpr wchar_t Digits[] = L"0123456789ABCDEF";
    std::wstring text;
    for (std::uint8_t byte : digest) {
        text += Digits[byte >> 4];
        text += Digits[byte & 0x0F];
    }
    return text;
}

std::optional<Sha256Digest> ParseSha256(std::wstring_view text)
{
    Sha256Digest digest{};
    size_t count = 0; // hexadecimal digits read
    for (wchar_t const c : text) {
        bool const betweenPairs = count % 2 == 0 && count > 0 && count < 64;
        if ((c == L':' || c == L' ') && betweenPairs)
            continue;
        int const value = HexValue(c);
        if (value < 0 || count == 64)
            return std::nullopt;
        std::uint8_t& byte = digest[count / 2];
        byte = static_cast<std::uint8_t>(count % 2 == 0 ? value << 4 : byte | value);
        ++count;
    }
    if (count != 64)
        return std::nullopt;
    return digest;
}

} // namespace ovl::setup

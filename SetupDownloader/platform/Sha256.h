#pragma once
// SHA-256 through the system's CNG provider (the calls Windows 7 has): of the
// downloaded package, which the manifest may name, and of the installer's
// signing certificate, which the build may pin.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ovl::setup {

using Sha256Digest = std::array<std::uint8_t, 32>;

// One running hash. Every failure is "Could not compute a SHA-256 hash".
class Sha256Hasher {
public:
    Sha256Hasher();
    ~Sha256Hasher();
    Sha256Hasher(Sha256Hasher const&) = delete;
    Sha256Hasher& operator=(Sha256Hasher const&) = delete;

    void Add(void const* bytes, std::size_t size);
    Sha256Digest Finish();

private:
    void* algorithm_ = nullptr; // BCRYPT_ALG_HANDLE
    void* hash_ = nullptr;      // BCRYPT_HASH_HANDLE
};

// The digest of bytes.
Sha256Digest ComputeSha256(void const* bytes, std::size_t size);

// 64 upper-case hexadecimal digits.
std::wstring FormatSha256(Sha256Digest const& digest);

// A digest written as 64 hexadecimal digits of either case; pairs may be
// separated by ':' or blanks, as certificate tools print thumbprints. None
// for anything else.
std::optional<Sha256Digest> ParseSha256(std::wstring_view text);

} // namespace ovl::setup

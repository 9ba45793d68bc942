// Wine's WinVerifyTrust detects a missing signature and a changed file, but
// trusts any certificate chain (self-signed, unknown CA) and does not check
// revocation: a chain to an untrusted root cannot be tested here.
#include "install/Signature.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace ovl::setup {
namespace {

LONG Verify(std::wstring const& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    LONG const status = VerifyFileSignature(file, path);
    CloseHandle(file);
    return status;
}

TEST(Signature, UnsignedSignedAndChanged)
{
    EXPECT_EQ(static_cast<std::uint32_t>(Verify(OVL_UNSIGNED_INSTALLER)), 0x800B0100u);
    EXPECT_EQ(Verify(OVL_SIGNED_INSTALLER), 0); // Wine: any chain is trusted

    ovl::test::TempDir dir;
    std::wstring const changed = dir.File(L"changed.exe");
    std::string bytes = ovl::test::ReadBytes(OVL_SIGNED_INSTALLER);
    bytes[bytes.size() / 3] ^= 0x01; // inside the signed image
    ovl::test::WriteBytes(changed, bytes);
    EXPECT_EQ(static_cast<std::uint32_t>(Verify(changed)), 0x80096010u); // TRUST_E_BAD_DIGEST
}

TEST(Signature, UnusableHandleWithoutACall)
{
    EXPECT_EQ(static_cast<std::uint32_t>(VerifyFileSignature(INVALID_HANDLE_VALUE, L"x.exe")), 0x80070006u);
    EXPECT_EQ(static_cast<std::uint32_t>(VerifyFileSignature(nullptr, L"x.exe")), 0x80070006u);
}

} // namespace
} // namespace ovl::setup

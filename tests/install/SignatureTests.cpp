// Wine's WinVerifyTrust detects a missing signature and a changed file, but
// trusts any certificate chain (self-signed, unknown CA) and does not check
// revocation: a chain to an untrusted root cannot be tested here. Who signed
// a file is read from the same verification, so the publisher's pin is
// tested for real: the sample installer signed with the test certificate
// (which the loopback build pins) and with another publisher's certificate.
#include "install/Signature.h"

#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <stdexcept>

namespace ovl::setup {
namespace {

struct OpenFile {
    explicit OpenFile(std::wstring const& path)
        : Handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr))
    {
        EXPECT_NE(Handle, INVALID_HANDLE_VALUE);
    }
    ~OpenFile() { CloseHandle(Handle); }
    HANDLE Handle;
};

LONG Verify(std::wstring const& path)
{
    OpenFile const file(path);
    return VerifyFileSignature(file.Handle, path);
}

SignatureVerdict Check(std::wstring const& path)
{
    OpenFile const file(path);
    return CheckFileSignature(file.Handle, path);
}

std::wstring ChangedCopy(ovl::test::TempDir const& dir)
{
    std::wstring const changed = dir.File(L"changed.exe");
    std::string bytes = ovl::test::ReadBytes(OVL_SIGNED_INSTALLER);
    bytes[bytes.size() / 3] ^= 0x01; // inside the signed image
    ovl::test::WriteBytes(changed, bytes);
    return changed;
}

TEST(Signature, UnsignedSignedAndChanged)
{
    EXPECT_EQ(static_cast<std::uint32_t>(Verify(OVL_UNSIGNED_INSTALLER)), 0x800B0100u);
    EXPECT_EQ(Verify(OVL_SIGNED_INSTALLER), 0); // Wine: any chain is trusted

    ovl::test::TempDir dir;
    EXPECT_EQ(static_cast<std::uint32_t>(Verify(ChangedCopy(dir))), 0x80096010u); // TRUST_E_BAD_DIGEST
}

TEST(Signature, UnusableHandleWithoutACall)
{
    EXPECT_EQ(static_cast<std::uint32_t>(VerifyFileSignature(INVALID_HANDLE_VALUE, L"x.exe")), 0x80070006u);
    EXPECT_EQ(static_cast<std::uint32_t>(VerifyFileSignature(nullptr, L"x.exe")), 0x80070006u);
    EXPECT_EQ(static_cast<std::uint32_t>(CheckFileSignature(INVALID_HANDLE_VALUE, L"x.exe").Status), 0x80070006u);
}

// The signer read from the verification state: its name, and a thumbprint
// that equals the one openssl computed from the certificate at build time
// (the loopback build's pin).
TEST(SignatureSigner, TheSignersOfTheSampleInstallers)
{
    std::vector<Sha256Digest> const pins = ParsePublisherThumbprints(GetPublisherThumbprints());
    ASSERT_EQ(pins.size(), 1u) << "the loopback build pins the test certificate";

    SignatureVerdict const ours = Check(OVL_SIGNED_INSTALLER);
    EXPECT_EQ(ours.Status, 0);
    EXPECT_EQ(ours.SignerName, L"Orvelle Test Code Signing");
    EXPECT_EQ(FormatSha256(ours.SignerThumbprint), FormatSha256(pins[0]));
    EXPECT_TRUE(IsPinnedSigner(ours, pins));

    SignatureVerdict const other = Check(OVL_OTHER_PUBLISHER_INSTALLER);
    EXPECT_EQ(other.Status, 0); // trusted: Wine trusts any chain, Windows would if its root were trusted
    EXPECT_EQ(other.SignerName, L"Some Other Publisher");
    EXPECT_NE(other.SignerThumbprint, ours.SignerThumbprint);
    EXPECT_FALSE(IsPinnedSigner(other, pins));
    EXPECT_TRUE(IsPinnedSigner(other, {})) << "a build without a pin accepts any trusted signer";
    EXPECT_EQ(DescribeUnpinnedSigner(other),
              L"The installer for Orvelle is not signed by its publisher (it is signed by \"Some Other Publisher\").");

    ovl::test::TempDir dir;
    for (std::wstring const& path : {std::wstring(OVL_UNSIGNED_INSTALLER), ChangedCopy(dir)}) {
        SignatureVerdict const failed = Check(path);
        EXPECT_NE(failed.Status, 0) << ovl::test::Narrow(path);
        EXPECT_TRUE(failed.SignerName.empty()) << ovl::test::Narrow(path);
        EXPECT_FALSE(IsPinnedSigner(failed, {})) << "an untrusted file is never the publisher's";
    }
}

TEST(SignatureSigner, IsPinnedSignerTable)
{
    Sha256Digest a{};
    a[0] = 1;
    Sha256Digest b{};
    b[31] = 2;
    SignatureVerdict signedByA;
    signedByA.SignerThumbprint = a;
    SignatureVerdict failedA = signedByA;
    failedA.Status = static_cast<LONG>(0x800B0100);
    struct Row {
        SignatureVerdict const& Verdict;
        std::vector<Sha256Digest> Pins;
        bool Pinned;
    } const rows[] = {
        {signedByA, {}, true},       {signedByA, {a}, true},  {signedByA, {b, a}, true},
        {signedByA, {b}, false},     {failedA, {}, false},    {failedA, {a}, false},
    };
    for (size_t i = 0; i < std::size(rows); ++i)
        EXPECT_EQ(IsPinnedSigner(rows[i].Verdict, rows[i].Pins), rows[i].Pinned) << "row " << i;
}

TEST(SignatureSigner, ThumbprintLists)
{
    std::wstring const a(64, L'A');
    std::wstring const b = L"0123456789abcdef0123456789ABCDEF0123456789abcdef0123456789ABCDEF";
    struct Row {
        std::wstring List;
        size_t Count;
    } const rows[] = {
        {L"", 0}, {L" ; ", 0}, {a, 1}, {a + L";" + b, 2}, {a + L", " + b + L"\r\n", 2}, {L";" + a + L";;", 1},
    };
    for (auto const& row : rows)
        EXPECT_EQ(ParsePublisherThumbprints(row.List).size(), row.Count) << ovl::test::Narrow(row.List);
    EXPECT_EQ(FormatSha256(ParsePublisherThumbprints(b)[0]),
              L"0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF0123456789ABCDEF");
    for (std::wstring const& bad : {a.substr(1), a + L";x", a + L"A"})
        EXPECT_EQ(ovl::test::FailureOf([&] { ParsePublisherThumbprints(bad); }),
                  "The publisher's certificate thumbprint is not valid")
            << ovl::test::Narrow(bad);
}

} // namespace
} // namespace ovl::setup

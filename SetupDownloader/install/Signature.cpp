#include "install/Signature.h"

#include "platform/Text.h"

#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

namespace ovl::setup {

namespace {

constexpr LONG NoSignerCertificate = static_cast<LONG>(0x800B0106); // TRUST_E_NO_SIGNER_CERT

// One WinVerifyTrust verification of an open file. With keepState, the
// verification state stays open for reading the signer until the object ends.
class TrustCheck {
public:
    TrustCheck(HANDLE file, std::wstring const& path, bool keepState)
        : pathCopy_(path.begin(), path.end())
    {
        pathCopy_.push_back(L'\0');
        fileInfo_.cbStruct = sizeof(fileInfo_);
        fileInfo_.pcwszFilePath = pathCopy_.data();
        fileInfo_.hFile = file;
        fileInfo_.pgKnownSubject = nullptr;

        data_.cbStruct = sizeof(data_); // mingw's structure lacks the last field: always its own size
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &fileInfo_;
        data_.dwStateAction = keepState ? WTD_STATEACTION_VERIFY : WTD_STATEACTION_IGNORE;
        status_ = WinVerifyTrust(nullptr, &action_, &data_);
    }
    ~TrustCheck()
    {
        if (data_.dwStateAction != WTD_STATEACTION_VERIFY)
            return;
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        WinVerifyTrust(nullptr, &action_, &data_);
    }
    TrustCheck(TrustCheck const&) = delete;
    TrustCheck& operator=(TrustCheck const&) = delete;

    LONG Status() const noexcept { return status_; }

    // The signing certificate of the first signature, or null.
    PCCERT_CONTEXT Signer() const noexcept
    {
        CRYPT_PROVIDER_DATA* const provider = WTHelperProvDataFromStateData(data_.hWVTStateData);
        if (!provider)
            return nullptr;
        CRYPT_PROVIDER_SGNR* const signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (!signer)
            return nullptr;
        CRYPT_PROVIDER_CERT* const certificate = WTHelperGetProvCertFromChain(signer, 0);
        return certificate ? certificate->pCert : nullptr;
    }

private:
    std::vector<wchar_t> pathCopy_;
    WINTRUST_FILE_INFO fileInfo_{};
    WINTRUST_DATA data_{};
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG status_ = 0;
};

std::wstring SubjectName(PCCERT_CONTEXT certificate)
{
    DWORD const size = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (size <= 1)
        return {};
    std::vector<wchar_t> name(size);
    CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, name.data(), size);
    return name.data();
}

bool IsUsable(HANDLE file) noexcept { return file != nullptr && file != INVALID_HANDLE_VALUE; }

} // namespace

LONG VerifyFileSignature(HANDLE file, std::wstring const& path) noexcept
{
    if (!IsUsable(file))
        return static_cast<LONG>(E_HANDLE);
    try {
        return TrustCheck(file, path, false).Status();
    } catch (...) {
        return static_cast<LONG>(E_OUTOFMEMORY); // the path could not be copied
    }
}

SignatureVerdict CheckFileSignature(HANDLE file, std::wstring const& path) noexcept
{
    SignatureVerdict verdict;
    if (!IsUsable(file)) {
        verdict.Status = static_cast<LONG>(E_HANDLE);
        return verdict;
    }
    try {
        TrustCheck const check(file, path, true);
        verdict.Status = check.Status();
        if (verdict.Status != 0)
            return verdict;
        PCCERT_CONTEXT const signer = check.Signer();
        if (!signer) {
            verdict.Status = NoSignerCertificate;
            return verdict;
        }
        verdict.SignerName = SubjectName(signer);
        verdict.SignerThumbprint = ComputeSha256(signer->pbCertEncoded, signer->cbCertEncoded);
    } catch (...) {
        // No memory for the path or the name, or no hash: nothing was verified.
        verdict = SignatureVerdict{};
        verdict.Status = static_cast<LONG>(E_OUTOFMEMORY);
    }
    return verdict;
}

std::wstring DescribeSignatureFailure(LONG status)
{
    return FormatW(L"The digital signature for Orvelle could not be verified. The download may have been corrupted. "
                   L"(0x%08X)",
                   static_cast<unsigned>(status));
}

std::vector<Sha256Digest> ParsePublisherThumbprints(std::wstring_view list)
{
    std::vector<Sha256Digest> pins;
    while (!list.empty()) {
        size_t const end = list.find_first_of(L";,\r\n");
        std::wstring_view const item = TrimBlanks(list.substr(0, end));
        list = end == std::wstring_view::npos ? std::wstring_view{} : list.substr(end + 1);
        if (item.empty())
            continue;
        auto const digest = ParseSha256(item);
        if (!digest)
            throw std::runtime_error("The publisher's certificate thumbprint is not valid");
        pins.push_back(*digest);
    }
    return pins;
}

bool IsPinnedSigner(SignatureVerdict const& verdict, std::vector<Sha256Digest> const& pins) noexcept
{
    if (verdict.Status != 0)
        return false;
    return pins.empty() || std::find(pins.begin(), pins.end(), verdict.SignerThumbprint) != pins.end();
}

std::wstring DescribeUnpinnedSigner(SignatureVerdict const& verdict)
{
    return L"The installer for Orvelle is not signed by its publisher (it is signed by \"" + verdict.SignerName +
           L"\").";
}

} // namespace ovl::setup

#include "install/Signature.h"

#include "platform/Text.h"

#include <softpub.h>
#include <wintrust.h>

#include <vector>

namespace ovl::setup {

LONG VerifyFileSignature(HANDLE file, std::wstring const& path) noexcept
{
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
        return static_cast<LONG>(E_HANDLE);
    try {
        std::vector<wchar_t> pathCopy(path.begin(), path.end());
        pathCopy.push_back(L'\0');

        WINTRUST_FILE_INFO fileInfo{};
        fileInfo.cbStruct = sizeof(fileInfo);
        fileInfo.pcwszFilePath = pathCopy.data();
        fileInfo.hFile = file;
        fileInfo.pgKnownSubject = nullptr;

        WINTRUST_DATA data{};
        data.cbStruct = sizeof(data);
        data.dwUIChoice = WTD_UI_NONE;
        data.fdwRevocationChecks = WTD_REVOKE_WHOLECHAIN;
        data.dwUnionChoice = WTD_CHOICE_FILE;
        data.pFile = &fileInfo;
        data.dwStateAction = WTD_STATEACTION_IGNORE;

        GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
        return WinVerifyTrust(nullptr, &action, &data);
    } catch (...) {
        return static_cast<LONG>(E_OUTOFMEMORY); // the path could not be copied
    }
}

std::wstring DescribeSignatureFailure(LONG status)
{
    return FormatW(L"The digital signature for Orvelle could not be verified. The download may have been corrupted. "
                   L"(0x%08X)",
                   static_cast<unsigned>(status));
}

} // namespace ovl::setup

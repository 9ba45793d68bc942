// Adds a DER certificate to the local machine's trusted root store. The test
// harness runs it inside its private Wine prefix, so that HTTPS against the
// test server's CA works there, without touching the host's trust store.
//   trust-ca.exe CERTIFICATE.der
#include <windows.h>

#include <wincrypt.h>

#include <cstdio>
#include <vector>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: trust-ca CERTIFICATE.der\n");
        return 2;
    }
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "trust-ca: cannot open the certificate (%lu)\n", GetLastError());
        return 1;
    }
    std::vector<BYTE> der(GetFileSize(file, nullptr));
    DWORD read = 0;
    BOOL const ok = ReadFile(file, der.data(), static_cast<DWORD>(der.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != der.size()) {
        std::fprintf(stderr, "trust-ca: cannot read the certificate\n");
        return 1;
    }
    HCERTSTORE store = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"ROOT");
    if (!store) {
        std::fprintf(stderr, "trust-ca: cannot open the root store (%lu)\n", GetLastError());
        return 1;
    }
    BOOL const added = CertAddEncodedCertificateToStore(store, X509_ASN_ENCODING, der.data(), static_cast<DWORD>(der.size()),
                                                        CERT_STORE_ADD_REPLACE_EXISTING, nullptr);
    DWORD const error = GetLastError();
    CertCloseStore(store, 0);
    if (!added) {
        std::fprintf(stderr, "trust-ca: cannot add the certificate (%lu)\n", error);
        return 1;
    }
    return 0;
}

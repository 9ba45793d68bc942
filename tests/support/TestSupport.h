#pragma once
// Helpers shared by the tests: a private temporary folder and file access.

#include <windows.h>

#include <wincrypt.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace ovl::test {

// A fresh folder under the temporary-files folder, removed with its content.
class TempDir {
public:
    TempDir()
    {
        wchar_t base[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, base);
        static int counter = 0;
        path_ = std::filesystem::path(base) /
                (L"ovl-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter));
        std::filesystem::remove_all(path_);
        std::filesystem::create_directories(path_);
    }
    TempDir(TempDir const&) = delete;
    TempDir& operator=(TempDir const&) = delete;
    ~TempDir()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    std::filesystem::path const& Path() const { return path_; }
    std::wstring File(std::wstring_view name) const { return (path_ / name).wstring(); }

private:
    std::filesystem::path path_;
};

// The message of the runtime error f throws, or "(no failure)".
template <typename F>
std::string FailureOf(F f)
{
    try {
        f();
    } catch (std::runtime_error const& e) {
        return e.what();
    }
    return "(no failure)";
}

inline void WriteBytes(std::wstring const& path, std::string_view bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("test: cannot create file");
    DWORD written = 0;
    BOOL const ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size())
        throw std::runtime_error("test: cannot write file");
}

inline std::string ReadBytes(std::wstring const& path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("test: cannot open file");
    std::string content;
    char buffer[65536];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        content.append(buffer, read);
    CloseHandle(file);
    return content;
}

// The SHA-256 of a file as hexadecimal digits (upper case), computed apart
// from the program's own code.
inline std::string Sha256Hex(std::wstring const& path)
{
    std::string const bytes = ReadBytes(path);
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    BYTE digest[32] = {};
    DWORD size = sizeof(digest);
    bool const hashed = CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) &&
                        CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash) &&
                        CryptHashData(hash, reinterpret_cast<BYTE const*>(bytes.data()),
                                      static_cast<DWORD>(bytes.size()), 0) &&
                        CryptGetHashParam(hash, HP_HASHVAL, digest, &size, 0);
    if (hash)
        CryptDestroyHash(hash);
    if (provider)
        CryptReleaseContext(provider, 0);
    if (!hashed)
        throw std::runtime_error("test: cannot hash file");
    static char const digits[] = "0123456789ABCDEF";
    std::string hex;
    for (BYTE byte : digest) {
        hex += digits[byte >> 4];
        hex += digits[byte & 15];
    }
    return hex;
}

inline std::string Narrow(std::wstring const& text)
{
    int const length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string result(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), result.data(), length, nullptr, nullptr);
    return result;
}

inline bool FileExists(std::wstring const& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// The download folders of runs in the temporary folder.
inline std::vector<std::wstring> RunFolders()
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::vector<std::wstring> folders;
    for (auto const& entry : std::filesystem::directory_iterator(temp)) {
        if (entry.path().filename().wstring().starts_with(L"OvlSetupDownloader."))
            folders.push_back(entry.path().wstring());
    }
    return folders;
}

} // namespace ovl::test

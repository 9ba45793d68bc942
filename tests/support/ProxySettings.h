#pragma once
// The system's proxy settings, as Windows stores them: the current user's
// Internet settings (what the Internet Options dialog writes) and the
// machine's WinHTTP setting (what "netsh winhttp set proxy" writes). Tests that
// change them run in a prefix of their own; ProxySettingsGuard restores
// "direct" for the user and no machine setting.

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace ovl::test {

inline constexpr wchar_t ConnectionsKey[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Internet Settings\\Connections";

// Flags of the user's settings.
inline constexpr std::uint32_t ProxyDirect = 1;
inline constexpr std::uint32_t ProxyFixed = 2;
inline constexpr std::uint32_t ProxyScript = 4;
inline constexpr std::uint32_t ProxyDetect = 8;

inline void AppendDword(std::vector<BYTE>& blob, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        blob.push_back(static_cast<BYTE>(value >> (8 * i)));
}

inline void AppendText(std::vector<BYTE>& blob, std::string const& text)
{
    AppendDword(blob, static_cast<std::uint32_t>(text.size()));
    blob.insert(blob.end(), text.begin(), text.end());
}

inline void WriteValue(HKEY root, wchar_t const* name, std::vector<BYTE> const& blob)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(root, ConnectionsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr) != ERROR_SUCCESS)
        throw std::runtime_error("test: cannot open the Internet settings key");
    RegSetValueExW(key, name, 0, REG_BINARY, blob.data(), static_cast<DWORD>(blob.size()));
    RegCloseKey(key);
}

// The user's settings: a DefaultConnectionSettings record.
inline void SetUserProxy(std::uint32_t flags, std::string const& proxy = "", std::string const& bypass = "",
                         std::string const& script = "")
{
    std::vector<BYTE> blob;
    AppendDword(blob, 0x46); // the record's version
    AppendDword(blob, 0);    // change counter
    AppendDword(blob, flags);
    AppendText(blob, proxy);
    AppendText(blob, bypass);
    AppendText(blob, script);
    blob.resize(blob.size() + 32, 0);
    WriteValue(HKEY_CURRENT_USER, L"DefaultConnectionSettings", blob);
}

// The machine's WinHTTP setting; an empty proxy removes it.
inline void SetMachineProxy(std::string const& proxy, std::string const& bypass = "")
{
    if (proxy.empty()) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ConnectionsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
            RegDeleteValueW(key, L"WinHttpSettings");
            RegCloseKey(key);
        }
        return;
    }
    std::vector<BYTE> blob;
    AppendDword(blob, 0x18); // the record's version
    AppendDword(blob, 0);
    AppendDword(blob, ProxyFixed);
    AppendText(blob, proxy);
    AppendText(blob, bypass);
    WriteValue(HKEY_LOCAL_MACHINE, L"WinHttpSettings", blob);
}

struct ProxySettingsGuard {
    ProxySettingsGuard() { Reset(); }
    ~ProxySettingsGuard() { Reset(); }
    static void Reset()
    {
        SetUserProxy(ProxyDirect);
        SetMachineProxy("");
    }
};

} // namespace ovl::test

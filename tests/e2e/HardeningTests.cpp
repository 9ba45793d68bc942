// The loopback build of SetupDownloader.exe as it runs where it is usually
// started (the Downloads folder, beside files nobody checked) and beside the
// programs that open every new file (scanners, backup agents): run with
// /Passive against the test server, judged by its exit code and what the
// sample installer reports.

#include "e2e/AppRun.h"
#include "install/FileProbe.h"
#include "install/ZipFixture.h"
#include "support/HttpTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cwctype>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace ovl::test::e2e;

void Publish(std::string const& mirrorPath)
{
    PublishPackage(L"pkg-hardening.zip", OVL_SIGNED_INSTALLER);
    PublishManifest(mirrorPath);
}

constexpr wchar_t PassiveWithReport[] = L"/Passive \"--report=%REPORT%\"";

std::wstring Lower(std::string const& text)
{
    std::wstring wide(text.begin(), text.end());
    for (auto& c : wide)
        c = static_cast<wchar_t>(std::towlower(c));
    return wide;
}

// The DLLs a system DLL imports, at start or on first use, read from its
// import and delay-import directories (loaded here from System32).
std::vector<std::wstring> ImportsOf(std::wstring const& module)
{
    std::vector<std::wstring> names;
    auto const* base = reinterpret_cast<BYTE const*>(LoadLibraryExW(module.c_str(), nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32));
    if (!base)
        return names;
    auto const* dos = reinterpret_cast<IMAGE_DOS_HEADER const*>(base);
    auto const* nt = reinterpret_cast<IMAGE_NT_HEADERS64 const*>(base + dos->e_lfanew);
    auto const& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto const* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR const*>(base + imports.VirtualAddress);
         imports.VirtualAddress && entry->Name; ++entry)
        names.push_back(Lower(reinterpret_cast<char const*>(base + entry->Name)));
    auto const& delayed = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_DELAY_IMPORT];
    for (auto const* entry = reinterpret_cast<IMAGE_DELAYLOAD_DESCRIPTOR const*>(base + delayed.VirtualAddress);
         delayed.VirtualAddress && entry->DllNameRVA; ++entry)
        names.push_back(Lower(reinterpret_cast<char const*>(base + entry->DllNameRVA)));
    return names;
}

// Junk named like each system DLL the program loads at run time, beside the
// executable (where a browser puts downloads): the run ends as it would
// without them. Measured with the DLLs imported at start: the loader took
// winhttp.dll from the program's folder and the process never ran (exit
// code 0xC0000135 when started like this, 53 from Wine's own starter). On
// Windows the System32-only search of the DLLs' own dependencies (the load
// configuration's DependentLoadFlags) comes on top; no loader here shows it
// (the image check sees the flag).
TEST(Hardening, DllsBesideTheProgramAreNotLoaded)
{
    Publish("/pkg-hardening.zip");
    std::vector<std::wstring> planted;
    std::wstring const names = OVL_RUNTIME_LOADED_DLLS;
    for (size_t start = 0; start < names.size();) {
        size_t const end = std::min(names.find(L',', start), names.size());
        planted.push_back(names.substr(start, end - start) + L".dll");
        start = end + 1;
    }
    ASSERT_GE(planted.size(), 5u);
    // Wine's own system DLLs look for their dependencies beside the program
    // first (ignoring SetDefaultDllDirectories and the load configuration):
    // its user32 imports version.dll, its winhttp crypt32.dll, so a junk
    // file of such a name stops the run inside Wine's DLLs, whatever the
    // program does. Windows' user32 is a KnownDLL that imports none of
    // these, and the dependencies of the DLLs the program loads are searched
    // in System32 alone: only Windows shows those names planted too (the
    // image check shows the program imports none of them at start).
    std::vector<std::wstring> systemImports;
    for (auto const& module : std::vector<std::wstring>{L"user32.dll", L"gdi32.dll", L"shell32.dll", L"ole32.dll",
                                                         L"comctl32.dll"}) {
        auto const more = ImportsOf(module);
        systemImports.insert(systemImports.end(), more.begin(), more.end());
    }
    for (auto const& module : planted) {
        auto const more = ImportsOf(module);
        systemImports.insert(systemImports.end(), more.begin(), more.end());
    }
    std::erase_if(planted, [&](std::wstring const& name) {
        return std::find(systemImports.begin(), systemImports.end(), name) != systemImports.end();
    });
    for (auto const& name : planted)
        std::wcout << L"planted: " << name << L"\n";
    ASSERT_GE(planted.size(), 2u);
    std::vector<std::pair<std::wstring, std::string>> junk;
    for (auto const& name : planted)
        junk.emplace_back(name, "MZ not a DLL");
    AppRun run({PassiveWithReport}, Config(), std::nullopt, junk);
    EXPECT_EQ(run.ExitCode(120s), 0x60000000u);
    EXPECT_TRUE(ovl::test::FileExists(run.Report())) << "the installer did not run";
}

// A scanner opens the package in the middle of the download and holds it,
// reading and sharing reading and writing but not deletion, until after the
// run's check of its folder: the package cannot be deleted when the
// installer is out, is still listed at the check, and is accepted there as
// the run's own file. The run ends as a clean one. (Before, the check
// refused it: "The download folder was changed by another program",
// 0x80000000.) The package goes once the scanner lets it go; here, where the
// scanner outlives the run, the folder stays behind, as it would on Windows
// until the next run removes it.
TEST(Hardening, AScannerHoldingThePackageDoesNotFailTheRun)
{
    Publish("/pkg-hardening.zip?slow_body=250");
    AppRun run({PassiveWithReport});
    std::wstring package;
    auto const deadline = std::chrono::steady_clock::now() + 60s;
    while (package.empty() && std::chrono::steady_clock::now() < deadline) {
        for (auto const& folder : ovl::test::RunFolders()) {
            std::wstring const candidate = folder + L"\\orvelle.install.zip";
            if (ovl::test::FileExists(candidate) && fs::file_size(candidate) > 0)
                package = candidate;
        }
        std::this_thread::sleep_for(20ms);
    }
    ASSERT_FALSE(package.empty()) << "the download never started";
    std::optional<ovl::test::ProbeHold> scanner(std::in_place, package, 20000);
    EXPECT_EQ(run.ExitCode(120s), 0x60000000u);
    EXPECT_TRUE(ovl::test::FileExists(run.Report())) << "the installer did not run";
    scanner.reset(); // waits for the scanner to let go
    fs::remove_all(fs::path(package).parent_path());
}

} // namespace

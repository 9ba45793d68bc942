// The loopback build of SetupDownloader.exe as it runs where it is usually
// started (the Downloads folder, beside files nobody checked) and beside the
// programs that open every new file (scanners, backup agents): run with
// /Passive against the test server, judged by its exit code and what the
// sample installer reports.

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

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ovl::test::TempDir;

fs::path Root() { return fs::path(ovl::test::Env("OVL_TEST_ROOT")); }

void Publish(std::string const& mirrorPath)
{
    std::string const bytes = ovl::test::ReadBytes(OVL_SIGNED_INSTALLER);
    ovl::test::ZipEntry entry;
    entry.Name = "Setup.exe";
    entry.Data.assign(bytes.begin(), bytes.end());
    auto const zip = ovl::test::MakeZip({entry});
    ovl::test::WriteBytes((Root() / L"pkg-hardening.zip").wstring(), std::string(zip.begin(), zip.end()));
    std::string const manifest =
        R"({"product-name": "Orvelle", "website-url": "w", "download-page-url": "d", "releases": [{"display-name": )"
        R"("Orvelle Test 5.1", "version": "5.1", "milestone": "stable", "more-info-url": "", "runtime-version": )"
        R"("8.0.1", "files": [{"architecture": "x64", "mirror-urls": [")" +
        ovl::test::Narrow(ovl::test::HttpBase()) + mirrorPath + R"("]}]}]})";
    fs::create_directories(Root() / L"updates" / L"v9");
    ovl::test::WriteBytes((Root() / L"updates" / L"v9" / L"manifest.test.json").wstring(), manifest);
}

// SetupDownloader.exe copied into a folder of its own with its
// configuration, and whatever else the test puts beside it.
class PassiveRun {
public:
    PassiveRun()
    {
        fs::copy_file(OVL_LOOPBACK_EXE, app.Path() / L"SetupDownloader.exe");
        ovl::test::WriteBytes(app.File(L"SetupDownloader.Configuration.json"),
                              R"({"RuntimeVersion3": "8.0.1", "InstallRuntime": false, "InstallApp": true, )"
                              R"("AppMilestone": "Stable", "Test": true})");
    }
    ~PassiveRun()
    {
        if (process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT)
            TerminateProcess(process, 99);
        if (process)
            CloseHandle(process);
    }
    PassiveRun(PassiveRun const&) = delete;
    PassiveRun& operator=(PassiveRun const&) = delete;

    std::wstring Beside(wchar_t const* name) const { return app.File(name); }
    std::wstring Report() const { return work.File(L"report.txt"); }

    void Start()
    {
        std::wstring commandLine =
            L"\"" + app.File(L"SetupDownloader.exe") + L"\" /Passive \"--report=" + Report() + L"\"";
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION started{};
        ASSERT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   work.Path().c_str(), &startup, &started));
        CloseHandle(started.hThread);
        process = started.hProcess;
    }

    std::optional<DWORD> ExitCode(std::chrono::seconds timeout = 120s)
    {
        if (WaitForSingleObject(process, static_cast<DWORD>(timeout.count() * 1000)) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process, &code);
        return code;
    }

    bool InstallerRan() const { return ovl::test::FileExists(Report()); }

private:
    TempDir app;
    TempDir work;
    HANDLE process = nullptr;
};

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
    PassiveRun run;
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
    for (auto const& name : planted)
        ovl::test::WriteBytes(run.Beside(name.c_str()), "MZ not a DLL");
    run.Start();
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    EXPECT_TRUE(run.InstallerRan());
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
    PassiveRun run;
    run.Start();
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
    EXPECT_EQ(run.ExitCode(), 0x60000000u);
    EXPECT_TRUE(run.InstallerRan());
    scanner.reset(); // waits for the scanner to let go
    fs::remove_all(fs::path(package).parent_path());
}

} // namespace

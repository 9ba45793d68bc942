#pragma once
// One start of the real SetupDownloader.exe (the loopback build) under Wine
// and Xvfb, driven from outside as a user would, and the test server's
// manifest and packages it downloads.

#include "install/ZipFixture.h"
#include "support/HttpTestSupport.h"
#include "support/TestSupport.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ovl::test::e2e {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using ovl::test::TempDir;

inline constexpr char const* DisplayName = "Orvelle Test 5.1";
inline constexpr wchar_t DisplayNameW[] = L"Orvelle Test 5.1";

inline std::string Config(bool installApp = true, bool withTest = true)
{
    return std::string(R"({"RuntimeVersion3": "8.0.1", "InstallRuntime": false, "InstallApp": )") +
           (installApp ? "true" : "false") + R"(, "AppMilestone": "Stable")" +
           (withTest ? R"(, "Test": true})" : "}");
}

inline fs::path Root() { return fs::path(ovl::test::Env("OVL_TEST_ROOT")); }

// Publishes the test manifest with one release whose mirror is the given
// path; fileKeys are more keys of its file (such as a "sha256").
inline void PublishManifest(std::string const& mirrorPath, std::string const& fileKeys = "")
{
    std::string const base = ovl::test::Narrow(ovl::test::HttpBase());
    std::string const manifest = std::string(R"({"product-name": "Orvelle", "website-url": "w", "download-page-url": "d",
        "releases": [{"display-name": ")") + DisplayName + R"(", "version": "5.1", "milestone": "stable",
        "more-info-url": "", "runtime-version": "8.0.1", "files": [{"architecture": "x64", "mirror-urls": [")" +
                                 base + mirrorPath + R"("])" + fileKeys + R"(}]}]})";
    fs::create_directories(Root() / L"updates" / L"v9");
    ovl::test::WriteBytes((Root() / L"updates" / L"v9" / L"manifest.test.json").wstring(), manifest);
}

inline void PublishPackage(wchar_t const* name, wchar_t const* installer, std::string const& entryName = "Setup.exe",
                    ovl::test::Method method = ovl::test::Deflate, int zstdFrames = 1)
{
    std::string const bytes = ovl::test::ReadBytes(installer);
    ovl::test::ZipEntry entry;
    entry.Name = entryName;
    entry.CompressionMethod = method;
    entry.ZstdFrames = zstdFrames;
    entry.Data.assign(bytes.begin(), bytes.end());
    auto const zip = ovl::test::MakeZip({entry});
    ovl::test::WriteBytes((Root() / name).wstring(), std::string(zip.begin(), zip.end()));
}


// One start of SetupDownloader.exe.
class AppRun {
public:
    // show: the STARTUPINFO show command the starter asks for, as
    // Start-Process -WindowStyle and deployment agents do; none by default.
    // beside: more files (name, content) put beside the executable before it starts.
    AppRun(std::vector<std::wstring> const& args, std::optional<std::string> const& config = Config(),
           std::optional<WORD> show = std::nullopt,
           std::vector<std::pair<std::wstring, std::string>> const& beside = {})
    {
        fs::copy_file(OVL_LOOPBACK_EXE, app_.Path() / L"SetupDownloader.exe");
        if (config)
            ovl::test::WriteBytes(app_.File(L"SetupDownloader.Configuration.json"), *config);
        for (auto const& [name, content] : beside)
            ovl::test::WriteBytes(app_.File(name.c_str()), content);
        std::wstring commandLine = L"\"" + app_.File(L"SetupDownloader.exe") + L"\"";
        for (auto arg : args) {
            // %REPORT% stands for the sample installer's report file.
            if (auto const at = arg.find(L"%REPORT%"); at != std::wstring::npos)
                arg.replace(at, 8, Report());
            commandLine += L" " + arg;
        }
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        if (show) {
            startup.dwFlags = STARTF_USESHOWWINDOW;
            startup.wShowWindow = *show;
        }
        PROCESS_INFORMATION process{};
        // Started from another working directory: the configuration is found beside the executable.
        EXPECT_TRUE(CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                                   work_.Path().c_str(), &startup, &process))
            << "error " << GetLastError();
        process_ = process.hProcess;
        pid_ = process.dwProcessId;
        CloseHandle(process.hThread);
    }
    ~AppRun()
    {
        if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
            TerminateProcess(process_, 99);
        CloseHandle(process_);
    }

    std::wstring Report() const { return work_.File(L"report.txt"); }

    HWND Window(wchar_t const* className = L"OvlSetupDownloaderMainWindow", std::chrono::seconds timeout = 30s)
    {
        auto const deadline = std::chrono::steady_clock::now() + timeout;
        do {
            struct Search {
                DWORD Pid;
                wchar_t const* Class;
                HWND Found;
            } search{pid_, className, nullptr};
            EnumWindows(
                [](HWND hwnd, LPARAM lParam) {
                    auto& s = *reinterpret_cast<Search*>(lParam);
                    DWORD pid = 0;
                    GetWindowThreadProcessId(hwnd, &pid);
                    wchar_t name[256];
                    GetClassNameW(hwnd, name, 256);
                    if (pid == s.Pid && std::wstring(name) == s.Class) {
                        s.Found = hwnd;
                        return FALSE;
                    }
                    return TRUE;
                },
                reinterpret_cast<LPARAM>(&search));
            if (search.Found)
                return search.Found;
            if (WaitForSingleObject(process_, 50) == WAIT_OBJECT_0)
                return nullptr;
        } while (std::chrono::steady_clock::now() < deadline);
        return nullptr;
    }

    static std::wstring Text(HWND control)
    {
        wchar_t text[4096] = {};
        SendMessageTimeoutW(control, WM_GETTEXT, 4096, reinterpret_cast<LPARAM>(text), SMTO_ABORTIFHUNG, 2000, nullptr);
        return text;
    }

    // Waits until the status reads text; gives the last status seen.
    std::wstring WaitForStatus(std::wstring const& expected, std::chrono::seconds timeout = 60s)
    {
        HWND const window = Window();
        std::wstring status;
        auto const deadline = std::chrono::steady_clock::now() + timeout;
        while (window && std::chrono::steady_clock::now() < deadline) {
            status = Text(GetDlgItem(window, 100));
            if (status == expected)
                break;
            std::this_thread::sleep_for(30ms);
        }
        return status;
    }

    std::wstring Caption() { return Text(GetDlgItem(Window(), 104)); }

    bool Visible(std::chrono::seconds timeout = 30s)
    {
        HWND const window = Window(L"OvlSetupDownloaderMainWindow", timeout);
        return window && IsWindowVisible(window) != FALSE;
    }

    void Press()
    {
        HWND const window = Window();
        PostMessageW(window, WM_COMMAND, MAKEWPARAM(104, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(window, 104)));
    }

    void RequestClose() { PostMessageW(Window(), WM_CLOSE, 0, 0); }

    std::optional<DWORD> ExitCode(std::chrono::seconds timeout = 60s)
    {
        if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count() * 1000)) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        return code;
    }

private:
    TempDir app_;
    TempDir work_;
    HANDLE process_ = nullptr;
    DWORD pid_ = 0;
};

} // namespace ovl::test::e2e

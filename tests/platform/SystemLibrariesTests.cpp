#include "platform/SystemLibraries.h"

#include <gtest/gtest.h>

#include <string>

namespace ovl::setup {
namespace {

// Where the System32-only search exists (Windows 8, and Windows 7 with
// KB2533623) the bare name with LOAD_LIBRARY_SEARCH_SYSTEM32; on an
// unpatched Windows 7 the full System32 path, with its dependencies searched
// from there. Every Wine prefix has AddDllDirectory, so the second way is
// shown here as planned, and loaded below.
TEST(SystemLibraries, PlannedFromSystem32Only)
{
    struct Row {
        wchar_t const* Name;
        bool SearchSystem32;
        wchar_t const* FileName;
        DWORD Flags;
    } const rows[] = {
        {L"winhttp.dll", true, L"winhttp.dll", LOAD_LIBRARY_SEARCH_SYSTEM32},
        {L"winhttp.dll", false, L"C:\\Windows\\system32\\winhttp.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
        {L"crypt32.dll", false, L"C:\\Windows\\system32\\crypt32.dll", LOAD_WITH_ALTERED_SEARCH_PATH},
        // Names that would not come from System32 are refused either way.
        {L"..\\winhttp.dll", true, L"", 0},
        {L"C:\\Temp\\winhttp.dll", false, L"", 0},
        {L"sub/winhttp.dll", true, L"", 0},
        {L"c:winhttp.dll", false, L"", 0},
        {L"", true, L"", 0},
        {L"..", false, L"", 0},
    };
    for (auto const& row : rows) {
        SystemLibraryLoad const plan = PlanSystemLibraryLoad(row.Name, L"C:\\Windows\\system32", row.SearchSystem32);
        EXPECT_EQ(plan.FileName, row.FileName) << row.Name << " " << row.SearchSystem32;
        EXPECT_EQ(plan.Flags, row.Flags) << row.Name << " " << row.SearchSystem32;
    }
    // Without a system folder there is no full path to give.
    EXPECT_EQ(PlanSystemLibraryLoad(L"winhttp.dll", L"", false).FileName, L"");
}

TEST(SystemLibraries, BothPlansLoadTheSystemsDll)
{
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    for (bool const searchSystem32 : {true, false}) {
        SystemLibraryLoad const plan = PlanSystemLibraryLoad(L"wintrust.dll", folder, searchSystem32);
        HMODULE const module = LoadLibraryExW(plan.FileName.c_str(), nullptr, plan.Flags);
        ASSERT_NE(module, nullptr) << searchSystem32 << " " << GetLastError();
        wchar_t loaded[MAX_PATH] = {};
        GetModuleFileNameW(module, loaded, MAX_PATH);
        EXPECT_EQ(_wcsicmp(loaded, (std::wstring(folder) + L"\\wintrust.dll").c_str()), 0) << loaded;
        FreeLibrary(module);
    }
    EXPECT_TRUE(CanSearchSystem32Only());
    EXPECT_NE(LoadSystemLibrary(L"version.dll"), nullptr);
    EXPECT_EQ(LoadSystemLibrary(L"..\\version.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

} // namespace
} // namespace ovl::setup

#include "platform/SystemLibraries.h"

#include "platform/SystemFunctions.h"

#include <cstdio>
#include <cstring>
#include <vector>

namespace ovl::setup {

SystemLibraryLoad PlanSystemLibraryLoad(std::wstring_view dllName, std::wstring_view systemFolder,
                                        bool searchSystem32Available)
{
    if (dllName.empty() || dllName.find_first_of(L"\\/:") != std::wstring_view::npos || dllName == L"." ||
        dllName == L"..")
        return {};
    if (searchSystem32Available)
        return {std::wstring(dllName), LOAD_LIBRARY_SEARCH_SYSTEM32};
    if (systemFolder.empty())
        return {};
    std::wstring path(systemFolder);
    if (path.back() != L'\\')
        path += L'\\';
    return {path.append(dllName), LOAD_WITH_ALTERED_SEARCH_PATH};
}

bool CanSearchSystem32Only() noexcept
{
    using Function = DLL_DIRECTORY_COOKIE(WINAPI*)(PCWSTR);
    return FindSystemFunction<Function>(L"kernel32.dll", "AddDllDirectory") != nullptr;
}

namespace {

std::wstring SystemFolder()
{
    UINT const needed = GetSystemDirectoryW(nullptr, 0);
    if (needed == 0)
        return {};
    std::vector<wchar_t> buffer(needed);
    UINT const length = GetSystemDirectoryW(buffer.data(), needed);
    return length > 0 && length < needed ? std::wstring(buffer.data(), length) : std::wstring();
}

} // namespace

HMODULE LoadSystemLibrary(std::wstring_view dllName) noexcept
{
    // Out of memory here ends the process (noexcept), as it would anywhere
    // the program cannot go on.
    bool const searchSystem32 = CanSearchSystem32Only();
    SystemLibraryLoad const plan =
        PlanSystemLibraryLoad(dllName, searchSystem32 ? std::wstring() : SystemFolder(), searchSystem32);
    if (plan.FileName.empty()) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    return LoadLibraryExW(plan.FileName.c_str(), nullptr, plan.Flags);
}

std::atomic<bool> TerminateMayShowBox{true};

void EndForMissingSystemLibrary(char const* dllName, char const* functionName, DWORD error) noexcept
{
    // Fixed buffers: this may run where nothing can be allocated. The names
    // are a DLL's import names, plain ASCII.
    char text[512];
    if (functionName)
        std::snprintf(text, sizeof(text), "Unhandled exception:\r\n\r\nCould not find %s in %s (error %lu)", functionName,
                      dllName, error);
    else
        std::snprintf(text, sizeof(text), "Unhandled exception:\r\n\r\nCould not load %s (error %lu)", dllName, error);
    if (TerminateMayShowBox.load()) {
        wchar_t wide[512];
        if (MultiByteToWideChar(CP_UTF8, 0, text, -1, wide, 512) > 0)
            MessageBoxW(nullptr, wide, L"Error", MB_ICONERROR);
    } else {
        // Where no box may wait, a console tool's caller still learns why:
        // the bytes as they are, past the C runtime's text mode.
        HANDLE const standardError = GetStdHandle(STD_ERROR_HANDLE);
        DWORD written = 0;
        if (standardError && standardError != INVALID_HANDLE_VALUE) {
            WriteFile(standardError, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
            WriteFile(standardError, "\r\n", 2, &written, nullptr);
        }
    }
    ExitProcess(0x80000000);
}

} // namespace ovl::setup

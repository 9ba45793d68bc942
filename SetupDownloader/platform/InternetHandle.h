#pragma once
// The owner of a WinHTTP handle.

#include "platform/Handle.h"

#include <windows.h>

#include <winhttp.h>

namespace ovl::setup {

namespace handle_kinds {
inline void CloseInternetHandle(HINTERNET handle) noexcept { WinHttpCloseHandle(handle); }
} // namespace handle_kinds

using UniqueInternet = UniqueOwner<HINTERNET, handle_kinds::CloseInternetHandle, handle_kinds::IsNotNull<HINTERNET>>;

} // namespace ovl::setup

#include "platform/ExecutablePath.h"

#include <algorithm>
#include <vector>

namespace ovl::setup {

ExecutablePath ReadExecutablePath()
{
    std::vector<wchar_t> buffer(MAX_PATH);
    for (;;) {
        DWORD const length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {{}, GetLastError(), false};
        if (length < buffer.size())
            return {std::wstring(buffer.data(), length), 0, false};
        if (buffer.size() >= MaxExecutablePathBuffer)
            return {{}, 0, true};
        buffer.resize(std::min<size_t>(buffer.size() * 2, MaxExecutablePathBuffer)); // cut off: try a larger one
    }
}

} // namespace ovl::setup

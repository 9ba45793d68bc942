#include "entry/Configuration.h"

#include "platform/Handle.h"
#include "platform/Json.h"
#include "platform/Text.h"

#include <windows.h>

#include <stdexcept>
#include <string>

namespace ovl::setup {

using winrt::Windows::Data::Json::JsonObject;

namespace {

std::string ReadWholeFile(std::wstring const& path)
{
    // Others may read and write the file meanwhile.
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        throw std::runtime_error("Could not open configuration file");

    std::string content;
    char buffer[64 * 1024];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.Get(), buffer, sizeof(buffer), &read, nullptr))
            throw std::runtime_error("Could not open configuration file");
        if (read == 0)
            break;
        content.append(buffer, read);
    }
    return content;
}

} // namespace

Configuration ReadConfiguration(std::wstring const& path)
{
    std::string content = ReadWholeFile(path);
    if (content.size() > 2 && content.starts_with("\xEF\xBB\xBF"))
        content.erase(0, 3);

    auto const text = TryUtf8ToUtf16(content);
    if (!text)
        throw std::runtime_error("Failed to convert configuration file to UTF-16");
    return ParseConfiguration(*text);
}

Configuration ParseConfiguration(std::wstring_view text)
{
    JsonObject const json = JsonObject::Parse(text);

    Configuration configuration;
    configuration.RuntimeVersion3 = Version3::Parse(json.GetNamedString(L"RuntimeVersion3"));
    configuration.InstallRuntime = json.GetNamedBoolean(L"InstallRuntime");
    configuration.InstallApp = json.GetNamedBoolean(L"InstallApp");
    configuration.Test = json.GetNamedBoolean(L"Test");

    auto const milestone = MilestoneFromName(json.GetNamedString(L"AppMilestone"));
    if (!milestone)
        throw std::runtime_error("Unknown AppMilestone value in configuration");
    configuration.AppMilestone = *milestone;
    return configuration;
}

} // namespace ovl::setup

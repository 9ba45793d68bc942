#include "catalogue/Version.h"

#include "platform/Text.h"

#include <cwctype>
#include <optional>
#include <stdexcept>
#include <vector>

namespace ovl::setup {

namespace {

// Splits at dots; consecutive dots act as one separator and dots at either
// end produce no field. The text ends at its first NUL, as a C string would.
std::vector<std::wstring_view> SplitFields(std::wstring_view text)
{
    if (auto const nul = text.find(L'\0'); nul != std::wstring_view::npos)
        text = text.substr(0, nul);
    std::vector<std::wstring_view> fields;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t const start = text.find_first_not_of(L'.', pos);
        if (start == std::wstring_view::npos)
            break;
        size_t end = text.find(L'.', start);
        if (end == std::wstring_view::npos)
            end = text.size();
        fields.push_back(text.substr(start, end - start));
        pos = end;
    }
    return fields;
}

// Reads a field as an unsigned decimal number: leading white space skipped,
// one optional sign, digits up to the first non-digit (the rest is ignored),
// saturating at 4294967295. A "-" negates modulo 2^32, which puts every
// nonzero negative value above the limit; a magnitude so large that the
// negation would fall back into range is kept out of it too. Gives no value
// when no digit was read or when the number exceeds 65535.
std::optional<std::uint16_t> ReadField(std::wstring_view field)
{
    size_t i = 0;
    while (i < field.size() && std::iswspace(static_cast<std::wint_t>(field[i])))
        ++i;
    bool negative = false;
    if (i < field.size() && (field[i] == L'+' || field[i] == L'-')) {
        negative = field[i] == L'-';
        ++i;
    }
    std::uint64_t value = 0;
    bool anyDigit = false;
    for (; i < field.size() && field[i] >= L'0' && field[i] <= L'9'; ++i) {
        anyDigit = true;
        value = value * 10 + static_cast<std::uint64_t>(field[i] - L'0');
        if (value > UINT32_MAX)
            value = UINT32_MAX + std::uint64_t{1}; // saturated; keeps growing no further
    }
    if (!anyDigit)
        return std::nullopt;
    if (value > UINT32_MAX)
        value = UINT32_MAX;
    if (negative && value != 0)
        return std::nullopt; // (2^32 - value) is above 65535 for every value that could be a field
    if (value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

} // namespace

namespace {

struct MilestoneNamed {
    wchar_t const* Name;
    AppMilestone Value;
};
constexpr MilestoneNamed MilestoneNames[] = {
    {L"All", AppMilestone::All},   {L"Nightly", AppMilestone::Nightly}, {L"Alpha", AppMilestone::Alpha},
    {L"Beta", AppMilestone::Beta}, {L"Stable", AppMilestone::Stable},
};

} // namespace

wchar_t const* GetMilestoneName(AppMilestone milestone) noexcept
{
    for (auto const& candidate : MilestoneNames) {
        if (candidate.Value == milestone)
            return candidate.Name;
    }
    return L"unknown";
}

std::optional<AppMilestone> MilestoneFromName(std::wstring_view name) noexcept
{
    for (auto const& candidate : MilestoneNames) {
        if (EqualsIgnoreAsciiCase(name, candidate.Name))
            return candidate.Value;
    }
    return std::nullopt;
}

Version Version::Parse(std::wstring_view text)
{
    auto const fields = SplitFields(text);
    std::uint16_t parts[4] = {};
    size_t taken = 0;
    for (; taken < fields.size() && taken < 4; ++taken) {
        auto const value = ReadField(fields[taken]);
        if (!value)
            throw std::runtime_error("Invalid version field");
        parts[taken] = *value;
    }
    if (taken < 2)
        throw std::runtime_error("Version must have at least 2 parts");
    return Version{parts[0], parts[1], parts[2], parts[3]};
}

Version3 Version3::Parse(std::wstring_view text)
{
    auto const fields = SplitFields(text);
    std::uint16_t parts[3] = {};
    size_t taken = 0;
    for (; taken < fields.size() && taken < 3; ++taken) {
        auto const value = ReadField(fields[taken]);
        if (!value)
            throw std::runtime_error("Invalid version string");
        parts[taken] = *value;
    }
    if (taken < 3 || fields.size() > 3)
        throw std::runtime_error("Version3 must have exactly 3 parts");
    return Version3{parts[0], parts[1], parts[2]};
}

Version3 Version3::ParseLenient(std::wstring_view text)
{
    std::uint16_t parts[3] = {};
    size_t filled = 0;
    for (auto const field : SplitFields(text)) {
        if (filled == 3)
            break;
        if (auto const value = ReadField(field))
            parts[filled++] = *value;
    }
    return Version3{parts[0], parts[1], parts[2]};
}

} // namespace ovl::setup

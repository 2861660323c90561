#include "update/Manifest.h"

#include "common/StringConvert.h"
#include "common/StringSplit.h"

namespace
{
std::vector<std::wstring> Lines(const std::wstring& text)
{
    std::vector<std::wstring> lines;
    size_t start = 0;
    while (start < text.size())
    {
        size_t end = text.find_first_of(L"\r\n", start);
        if (end == std::wstring::npos)
            end = text.size();
        if (end > start)
            lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}
} // namespace

std::vector<MANIFEST_ENTRY> ParseManifest(const std::wstring& text)
{
    std::vector<MANIFEST_ENTRY> entries;
    for (const auto& line : Lines(text))
    {
        std::vector<std::wstring> fields = SplitString(line, L'|');
        if (fields.size() < 2)
            continue;
        MANIFEST_ENTRY entry;
        entry.FileName = TrimWhitespace(fields[0]);
        entry.Md5 = TrimWhitespace(fields[1]);
        if (fields.size() > 2)
            entry.Version = TrimWhitespace(fields[2]);
        entries.push_back(entry);
    }
    return entries;
}

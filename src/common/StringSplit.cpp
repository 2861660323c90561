#include "common/StringSplit.h"

std::vector<std::wstring> SplitString(const std::wstring& text, wchar_t separator)
{
    std::vector<std::wstring> pieces;
    size_t start = 0;
    for (;;)
    {
        size_t end = text.find(separator, start);
        pieces.push_back(text.substr(start, end == std::wstring::npos ? std::wstring::npos : end - start));
        if (end == std::wstring::npos)
            return pieces;
        start = end + 1;
    }
}

#include "identifiers/LdapFilter.h"

std::wstring EscapeFilterValue(const std::wstring& value)
{
    std::wstring escaped;
    escaped.reserve(value.size());
    for (wchar_t c : value)
    {
        switch (c)
        {
        case L'*':
            escaped += L"\\2a";
            break;
        case L'(':
            escaped += L"\\28";
            break;
        case L')':
            escaped += L"\\29";
            break;
        case L'\\':
            escaped += L"\\5c";
            break;
        case L'\0':
            escaped += L"\\00";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

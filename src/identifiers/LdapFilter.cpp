#include "identifiers/LdapFilter.h"

#include <cwchar>

std::wstring EscapeFilterValue(const std::wstring& value)
{
    std::wstring escaped;
    escaped.reserve(value.size());
    for (wchar_t c : value)
    {
        if (c != L'*' && c != L'(' && c != L')' && c != L'\\' && c != L'\0')
        {
            escaped += c;
            continue;
        }
        wchar_t hex[4] = {};
        std::swprintf(hex, 4, L"\\%02x", static_cast<unsigned>(c));
        escaped += hex;
    }
    return escaped;
}

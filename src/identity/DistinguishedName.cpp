#include "identity/DistinguishedName.h"

#include <windows.h>

#include <cwchar>

namespace
{
bool HasAttribute(const std::wstring& component, const wchar_t* attribute)
{
    return _wcsnicmp(component.c_str(), attribute, 3) == 0;
}

int HexDigit(wchar_t c)
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// Escaped bytes are UTF-8; an invalid sequence decodes to replacement marks
// rather than being lost.
std::wstring DecodeUtf8(const std::string& bytes)
{
    if (bytes.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), length);
    return text;
}
} // namespace

std::vector<std::wstring> SplitDN(const std::wstring& dn)
{
    std::vector<std::wstring> components(1);
    for (size_t i = 0; i < dn.size(); ++i)
    {
        if (dn[i] == L',')
        {
            components.emplace_back();
            continue;
        }
        components.back() += dn[i];
        // Whatever follows a backslash belongs to the value, a comma included.
        if (dn[i] == L'\\' && i + 1 < dn.size())
            components.back() += dn[++i];
    }
    return components;
}

std::wstring UnescapeDNValue(const std::wstring& value)
{
    std::wstring text;
    std::string bytes;
    for (size_t i = 0; i < value.size(); ++i)
    {
        if (value[i] == L'\\' && i + 2 < value.size() && HexDigit(value[i + 1]) >= 0 && HexDigit(value[i + 2]) >= 0)
        {
            bytes += static_cast<char>(HexDigit(value[i + 1]) * 16 + HexDigit(value[i + 2]));
            i += 2;
            continue;
        }
        text += DecodeUtf8(bytes);
        bytes.clear();
        if (value[i] == L'\\' && i + 1 < value.size())
            ++i;
        text += value[i];
    }
    return text + DecodeUtf8(bytes);
}

std::wstring GetOUPath(const std::wstring& dn)
{
    std::wstring path;
    for (const std::wstring& component : SplitDN(dn))
    {
        if (!HasAttribute(component, L"OU="))
            continue;
        if (!path.empty())
            path += L'.';
        path += UnescapeDNValue(component.substr(3));
    }
    return path;
}

std::wstring GetCommonName(const std::wstring& dn)
{
    std::vector<std::wstring> components = SplitDN(dn);
    if (!HasAttribute(components.front(), L"CN="))
        return std::wstring();
    return UnescapeDNValue(components.front().substr(3));
}

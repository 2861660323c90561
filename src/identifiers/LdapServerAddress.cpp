#include "identifiers/LdapServerAddress.h"

#include <cwctype>

namespace
{
bool StartsWithNoCase(const std::wstring& text, const wchar_t* prefix)
{
    size_t length = wcslen(prefix);
    return text.size() >= length && _wcsnicmp(text.c_str(), prefix, length) == 0;
}

bool IsPort(const std::wstring& text)
{
    if (text.empty() || text.size() > 5)
        return false;
    for (wchar_t c : text)
        if (!iswdigit(c))
            return false;
    unsigned long port = wcstoul(text.c_str(), nullptr, 10);
    return port >= 1 && port <= 65535;
}

// host[:port] of a URL, its one trailing "/" taken off.
bool ParseAuthority(std::wstring rest, LDAP_SERVER_ADDRESS& address, std::wstring& reason)
{
    if (!rest.empty() && rest.back() == L'/')
        rest.pop_back();
    if (rest.find_first_of(L"/?#@[] \t") != std::wstring::npos)
    {
        reason = L"a URL here holds a host and a port only";
        return false;
    }
    size_t colon = rest.find(L':');
    address.HostName = rest.substr(0, colon);
    if (address.HostName.empty())
    {
        reason = L"the URL names no host";
        return false;
    }
    if (colon != std::wstring::npos && !IsPort(rest.substr(colon + 1)))
    {
        reason = L"the port must be a number from 1 to 65535";
        return false;
    }
    address.HostText = rest;
    return true;
}
} // namespace

bool ParseLdapServer(const std::wstring& text, LDAP_SERVER_ADDRESS& address, std::wstring& reason)
{
    address = LDAP_SERVER_ADDRESS{};
    if (StartsWithNoCase(text, L"ldaps://"))
    {
        address.Secure = true;
        address.DefaultPort = 636;
        return ParseAuthority(text.substr(8), address, reason);
    }
    if (StartsWithNoCase(text, L"ldap://"))
        return ParseAuthority(text.substr(7), address, reason);
    if (text.find(L"://") != std::wstring::npos)
    {
        reason = L"only ldap:// and ldaps:// URLs are understood";
        return false;
    }
    address.HostText = text;
    address.HostName = text.substr(0, text.find(L':'));
    return true;
}

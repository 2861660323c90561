#pragma once

#include <windows.h>

#include <string>

// Where the "LDAP Server" option points: "host" or "host:port" (plain LDAP,
// the text handed to the library as it stands), "ldap://host[:port][/]", or
// "ldaps://host[:port][/]" for LDAP over TLS (port 636 unless given).
struct LDAP_SERVER_ADDRESS
{
    std::wstring HostText; // host[:port], as ldap_init takes it
    std::wstring HostName; // the host alone: the name the certificate must carry
    ULONG DefaultPort = 389;
    bool Secure = false;
};

// False, with the reason, for a URL of another scheme, without a host, with a
// path, or with a port that is not 1 to 65535.
bool ParseLdapServer(const std::wstring& text, LDAP_SERVER_ADDRESS& address, std::wstring& reason);

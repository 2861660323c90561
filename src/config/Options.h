#pragma once

#include <windows.h>

#include <string>

constexpr wchar_t OPTIONS_KEY[] = L"SOFTWARE\\Varnel Systems\\User Agent";

enum NetworkType : DWORD
{
    NETWORK_DETECT = 0,
    NETWORK_MICROSOFT = 1,
    NETWORK_NOVELL = 2,
    NETWORK_LDAP = 3,
};

// Copied as a whole into the LDAP identifier.
struct LDAP_SETTINGS
{
    std::wstring LdapBaseSearchPath;
    std::wstring LdapGroupClass;
    std::wstring LdapUserAttribute;
    std::wstring LdapMemberAttribute;
    std::wstring LdapBindUserDN;
    std::wstring LdapBindUserPassword;
};

struct OPTION_VALUES
{
    DWORD NetworkType = NETWORK_DETECT;
    std::wstring IdentificationServer;
    std::wstring NovellTree;
    DWORD IPChangeNotificationDelay = 5; // seconds
    std::wstring LdapServer;
    LDAP_SETTINGS LdapSettings;
    bool NoNestedGroups = false;
    bool DisableHeartbeat = false;
    bool DisableUserGroupPruning = false;
};

// The agent's configuration, read from the options key at start and again
// after every change of the key. Loaded on one thread, read on many: readers
// take a copy, so a reload never changes a value under a reader's feet.
class COptions
{
public:
    COptions();
    COptions(const COptions&) = delete;
    COptions& operator=(const COptions&) = delete;

    // False when the key cannot be opened or "Network Type" is not one of the
    // four names; the values read before the failure stay changed.
    bool Load();

    OPTION_VALUES Values() const;

private:
    void Publish(const OPTION_VALUES& values);

    mutable SRWLOCK m_Lock = SRWLOCK_INIT;
    OPTION_VALUES m_Values;
};

// The process's options, created on first use and never freed; null only when
// it could not be allocated.
COptions* TheOptions();

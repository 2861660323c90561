#include "config/Options.h"

#include "platform/RegKey.h"

#include <cwchar>
#include <new>

namespace
{
// A string value: missing gives the default, a REG_SZ is read, anything else
// (another type, a read error) leaves the value as it was.
void ReadStringOption(const CRegKey& key, const wchar_t* name, std::wstring& value, const wchar_t* missing)
{
    DWORD type = 0, size = 0;
    LONG result = key.QueryType(name, type, size);
    if (result == ERROR_FILE_NOT_FOUND)
        value = missing;
    else if (result == ERROR_SUCCESS && type == REG_SZ)
        key.ReadString(name, value);
}

// A REG_DWORD switch: missing gives the default, anything but a REG_DWORD is
// ignored.
void ReadBoolOption(const CRegKey& key, const wchar_t* name, bool& value, bool missing)
{
    DWORD type = 0, size = 0;
    LONG result = key.QueryType(name, type, size);
    if (result == ERROR_FILE_NOT_FOUND)
    {
        value = missing;
        return;
    }
    DWORD data = 0;
    if (result == ERROR_SUCCESS && type == REG_DWORD && key.ReadDword(name, data) == ERROR_SUCCESS)
        value = data != 0;
}

// "Network Type"; false for a text that names no known type.
bool ReadNetworkType(const CRegKey& key, DWORD& networkType)
{
    static const struct
    {
        const wchar_t* Name;
        DWORD Type;
    } Names[] = {{L"Detect", NETWORK_DETECT},
                 {L"Microsoft", NETWORK_MICROSOFT},
                 {L"Novell", NETWORK_NOVELL},
                 {L"LDAP", NETWORK_LDAP}};

    networkType = NETWORK_DETECT;
    DWORD type = 0, size = 0;
    std::wstring text;
    if (key.QueryType(L"Network Type", type, size) != ERROR_SUCCESS || type != REG_SZ ||
        key.ReadString(L"Network Type", text) != ERROR_SUCCESS)
        return true;
    for (const auto& name : Names)
        if (_wcsicmp(text.c_str(), name.Name) == 0)
        {
            networkType = name.Type;
            return true;
        }
    return false;
}

bool IsReportingEnabled(const CRegKey& key)
{
    DWORD type = 0, size = 0;
    DWORD enabled = 0;
    return key.QueryType(L"Identification Server Reporting", type, size) == ERROR_SUCCESS && type == REG_DWORD &&
           key.ReadDword(L"Identification Server Reporting", enabled) == ERROR_SUCCESS && enabled != 0;
}

void ReadLdapOptions(const CRegKey& key, OPTION_VALUES& values)
{
    LDAP_SETTINGS& ldap = values.LdapSettings;
    ReadStringOption(key, L"LDAP Server", values.LdapServer, L"");
    ReadStringOption(key, L"LDAP Base Search Path", ldap.LdapBaseSearchPath, L"");
    ReadStringOption(key, L"LDAP Group Class", ldap.LdapGroupClass, L"posixGroup");
    ReadStringOption(key, L"LDAP User Attribute", ldap.LdapUserAttribute, L"uid");
    ReadStringOption(key, L"LDAP Member Attribute", ldap.LdapMemberAttribute, L"memberUid");
    ReadStringOption(key, L"LDAP Bind User DN", ldap.LdapBindUserDN, L"");
    ReadStringOption(key, L"LDAP Bind User Password", ldap.LdapBindUserPassword, L"");
}

COptions* Options = nullptr;
INIT_ONCE OptionsCreated = INIT_ONCE_STATIC_INIT;

BOOL CALLBACK CreateOptions(PINIT_ONCE, PVOID, PVOID*)
{
    Options = new (std::nothrow) COptions();
    return Options != nullptr;
}
} // namespace

COptions::COptions() = default;

bool COptions::Load()
{
    CRegKey key;
    if (key.Create(OPTIONS_KEY, KEY_READ) != ERROR_SUCCESS)
        return false;

    OPTION_VALUES values = Values();
    if (!ReadNetworkType(key, values.NetworkType))
    {
        Publish(values);
        return false;
    }
    ReadStringOption(key, L"Novell Tree", values.NovellTree, L"");
    // Without reporting switched on, the server name is not read at all: it
    // stays empty at start and keeps its earlier value on a reload.
    if (IsReportingEnabled(key))
        ReadStringOption(key, L"Identification Server", values.IdentificationServer, L"");
    if (key.ReadDword(L"IP Change Notification Delay", values.IPChangeNotificationDelay) == ERROR_FILE_NOT_FOUND)
        values.IPChangeNotificationDelay = 5;
    ReadBoolOption(key, L"No Nested Groups", values.NoNestedGroups, false);
    ReadBoolOption(key, L"Disable Heartbeat", values.DisableHeartbeat, false);
    ReadBoolOption(key, L"Disable User Group Pruning", values.DisableUserGroupPruning, true);
    ReadLdapOptions(key, values);
    Publish(values);
    return true;
}

OPTION_VALUES COptions::Values() const
{
    AcquireSRWLockShared(&m_Lock);
    OPTION_VALUES values = m_Values;
    ReleaseSRWLockShared(&m_Lock);
    return values;
}

void COptions::Publish(const OPTION_VALUES& values)
{
    AcquireSRWLockExclusive(&m_Lock);
    m_Values = values;
    ReleaseSRWLockExclusive(&m_Lock);
}

COptions* TheOptions()
{
    InitOnceExecuteOnce(&OptionsCreated, CreateOptions, nullptr, nullptr);
    return Options;
}

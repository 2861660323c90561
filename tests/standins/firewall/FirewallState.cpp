#include "firewall/FirewallState.h"

#include "shared/Holders.h"
#include "shared/ScriptKey.h"

namespace
{
const std::wstring RootPath = L"SOFTWARE\\Kestrin Test\\Firewall";

std::wstring ProfilePath(NET_FW_PROFILE_TYPE profile)
{
    return RootPath + L"\\" + FirewallState::ProfileName(FirewallState::Resolve(profile));
}

std::wstring PortKeyName(LONG port, NET_FW_IP_PROTOCOL protocol)
{
    return std::to_wstring(port) + L"/" + std::to_wstring(static_cast<int>(protocol));
}

CKeyHolder CreateKey(const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key,
                        nullptr) != ERROR_SUCCESS)
        return CKeyHolder();
    return CKeyHolder(key);
}
} // namespace

namespace FirewallState
{
HRESULT ScriptedError(const std::wstring& call)
{
    CScriptKey errors((RootPath + L"\\Errors").c_str());
    return static_cast<HRESULT>(errors.ReadDword(call.c_str()).value_or(S_OK));
}

const wchar_t* ProfileName(NET_FW_PROFILE_TYPE type)
{
    switch (type)
    {
    case NET_FW_PROFILE_DOMAIN:
        return L"Domain";
    case NET_FW_PROFILE_STANDARD:
        return L"Standard";
    default:
        return L"Current";
    }
}

NET_FW_PROFILE_TYPE Resolve(NET_FW_PROFILE_TYPE type)
{
    if (type == NET_FW_PROFILE_DOMAIN || type == NET_FW_PROFILE_STANDARD)
        return type;
    DWORD current = CScriptKey(RootPath.c_str()).ReadDword(L"CurrentProfile").value_or(NET_FW_PROFILE_STANDARD);
    return current == NET_FW_PROFILE_DOMAIN ? NET_FW_PROFILE_DOMAIN : NET_FW_PROFILE_STANDARD;
}

bool Enabled(NET_FW_PROFILE_TYPE profile)
{
    return CScriptKey(ProfilePath(profile).c_str()).ReadDword(L"Enabled").value_or(1) != 0;
}

bool SetEnabled(NET_FW_PROFILE_TYPE profile, bool enabled)
{
    CKeyHolder key = CreateKey(ProfilePath(profile));
    DWORD value = enabled ? 1 : 0;
    return key && RegSetValueExW(key.Get(), L"Enabled", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                                 sizeof(value)) == ERROR_SUCCESS;
}

bool PortOpen(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol)
{
    return CScriptKey(CScriptKey((ProfilePath(profile) + L"\\Ports").c_str()), PortKeyName(port, protocol)).Exists();
}

LONG PortCount(NET_FW_PROFILE_TYPE profile)
{
    CScriptKey ports((ProfilePath(profile) + L"\\Ports").c_str());
    return static_cast<LONG>(ports.SubkeyCount());
}

bool PortName(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol, std::wstring& name)
{
    CScriptKey key(CScriptKey((ProfilePath(profile) + L"\\Ports").c_str()), PortKeyName(port, protocol));
    name = key.ReadString(L"Name");
    return key.Exists();
}

HRESULT ClosePort(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol)
{
    std::wstring path = ProfilePath(profile) + L"\\Ports\\" + PortKeyName(port, protocol);
    LONG result = RegDeleteKeyW(HKEY_LOCAL_MACHINE, path.c_str());
    return result == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(result);
}

HRESULT OpenPort(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol, const std::wstring& name)
{
    CKeyHolder key = CreateKey(ProfilePath(profile) + L"\\Ports\\" + PortKeyName(port, protocol));
    if (!key)
        return E_ACCESSDENIED;
    LONG result = RegSetValueExW(key.Get(), L"Name", 0, REG_SZ, reinterpret_cast<const BYTE*>(name.c_str()),
                                 static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t)));
    return HRESULT_FROM_WIN32(result);
}
} // namespace FirewallState

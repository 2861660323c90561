#include "standins/NetApiControl.h"

#include "common/StringConvert.h"
#include "platform/RegKey.h"
#include "standins/shared/ScriptNames.h"

#include <stdexcept>

namespace
{
void Check(LONG result, const std::wstring& what)
{
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("NetAPI script: cannot write " + WideToAnsi(what) + " (error " +
                                 std::to_string(result) + ")");
}

void SetValue(const wchar_t* keyPath, const std::wstring& name, DWORD type, const void* data, size_t size)
{
    CRegKey key;
    Check(key.Create(keyPath, KEY_WRITE), keyPath);
    Check(RegSetValueExW(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
          name);
}

void SetDword(const wchar_t* keyPath, const std::wstring& name, DWORD value)
{
    SetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}
} // namespace

void ScriptDomainController(const std::wstring& domain, const std::wstring& name)
{
    SetValue(ScriptNames::ControllersKey, domain, REG_SZ, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
}

void ScriptDomainControllerError(const std::wstring& domain, DWORD status)
{
    SetDword(ScriptNames::ControllersKey, domain, status);
}

void ScriptUserGroups(const std::wstring& user, const std::vector<std::wstring>& groups)
{
    std::wstring data;
    for (const std::wstring& group : groups)
        data += group + L'\0';
    data += L'\0';
    SetValue(ScriptNames::GroupsKey, user, REG_MULTI_SZ, data.c_str(), data.size() * sizeof(wchar_t));
}

void ScriptUserGroupsError(const std::wstring& user, DWORD status) { SetDword(ScriptNames::GroupsKey, user, status); }

void ClearNetApiScript()
{
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ScriptNames::NetApiKey);
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, ScriptNames::NetApiKey);
}

#include "netapi32/ScriptedDirectory.h"

#include "shared/Holders.h"
#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

#include <cstring>

namespace
{
constexpr wchar_t PrimaryDomain[] = L"*";
// The longest value name the registry allows, with its terminator.
constexpr DWORD MaxValueName = 16384;

std::wstring TextOf(const SCRIPT_VALUE& value)
{
    std::wstring text(value.Data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), value.Data.data(), text.size() * sizeof(wchar_t));
    text.resize(wcslen(text.c_str()));
    return text;
}

std::wstring WithoutLeadingBackslashes(const wchar_t* name)
{
    while (*name == L'\\')
        ++name;
    return name;
}

// "\\DC1" and "DC1" name the same server, as they do for the Net functions.
bool SameServer(const wchar_t* left, const wchar_t* right)
{
    return CompareStringOrdinal(WithoutLeadingBackslashes(left).c_str(), -1, WithoutLeadingBackslashes(right).c_str(),
                                -1, TRUE) == CSTR_EQUAL;
}

std::vector<std::wstring> ValueNames(const wchar_t* path)
{
    std::vector<std::wstring> names;
    CKeyHolder key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return names;
    std::wstring name(MaxValueName, L'\0');
    for (DWORD index = 0;; ++index)
    {
        DWORD length = MaxValueName;
        if (RegEnumValueW(key.Get(), index, name.data(), &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return names;
        names.emplace_back(name.c_str(), length);
    }
}
} // namespace

SCRIPTED_CONTROLLER ReadScriptedController(const wchar_t* domain)
{
    SCRIPTED_CONTROLLER controller;
    SCRIPT_VALUE value = CScriptKey(ScriptNames::ControllersKey).ReadValue(domain && *domain ? domain : PrimaryDomain);
    if (value.Type == REG_DWORD && value.Data.size() == sizeof(DWORD))
        std::memcpy(&controller.Status, value.Data.data(), sizeof(DWORD));
    else if (value.Type == REG_SZ)
    {
        controller.Status = NERR_Success;
        controller.Name = TextOf(value);
    }
    return controller;
}

bool IsScriptedController(const wchar_t* server)
{
    if (!server)
        return false;
    CScriptKey controllers(ScriptNames::ControllersKey);
    for (const std::wstring& domain : ValueNames(ScriptNames::ControllersKey))
    {
        SCRIPT_VALUE value = controllers.ReadValue(domain.c_str());
        if (value.Type == REG_SZ && SameServer(TextOf(value).c_str(), server))
            return true;
    }
    return false;
}

SCRIPTED_GROUPS ReadScriptedGroups(const wchar_t* user)
{
    SCRIPTED_GROUPS groups;
    CScriptKey key(ScriptNames::GroupsKey);
    SCRIPT_VALUE value = key.ReadValue(user);
    if (value.Type == REG_DWORD && value.Data.size() == sizeof(DWORD))
        std::memcpy(&groups.Status, value.Data.data(), sizeof(DWORD));
    else if (value.Type == REG_MULTI_SZ)
    {
        groups.Status = NERR_Success;
        groups.Groups = key.ReadMultiString(user);
    }
    return groups;
}

#include "novell/NovellScript.h"

#include "shared/Holders.h"
#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

#include <windows.h>

#include <cstring>

namespace
{
// One process counts NWCallsInit failures off at a time.
SRWLOCK CallsInitLock = SRWLOCK_INIT;

std::optional<std::wstring> ReadOptionalString(const CScriptKey& key, const wchar_t* name)
{
    SCRIPT_VALUE value = key.ReadValue(name);
    if (value.Type != REG_SZ)
        return std::nullopt;
    std::wstring text(value.Data.size() / sizeof(wchar_t), L'\0');
    std::memcpy(text.data(), value.Data.data(), text.size() * sizeof(wchar_t));
    text.resize(wcslen(text.c_str()));
    return text;
}
} // namespace

std::optional<NWRESULT> ScriptedError(const wchar_t* function)
{
    std::optional<DWORD> error = CScriptKey(ScriptNames::NovellErrorsKey).ReadDword(function);
    if (!error)
        return std::nullopt;
    return static_cast<NWRESULT>(*error);
}

bool TakeCallsInitFailure()
{
    CExclusiveLock lock(CallsInitLock);
    CKeyHolder key;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, ScriptNames::NovellKey, 0, KEY_READ | KEY_WRITE, key.Put()) != ERROR_SUCCESS)
        return false;
    DWORD failures = 0;
    DWORD size = sizeof(failures);
    if (RegGetValueW(key.Get(), nullptr, ScriptNames::CallsInitFailures, RRF_RT_REG_DWORD, nullptr, &failures, &size) !=
            ERROR_SUCCESS ||
        failures == 0)
        return false;
    --failures;
    RegSetValueExW(key.Get(), ScriptNames::CallsInitFailures, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&failures),
                   sizeof(failures));
    return true;
}

std::optional<std::wstring> ScriptedTree()
{
    return ReadOptionalString(CScriptKey(ScriptNames::NovellKey), ScriptNames::Tree);
}

std::wstring ScriptedWhoAmI()
{
    return ReadOptionalString(CScriptKey(ScriptNames::NovellKey), ScriptNames::WhoAmI).value_or(L"[Root]");
}

void RecordSeen(const wchar_t* name, const std::wstring& text)
{
    CKeyHolder key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ScriptNames::NovellSeenKey, 0, nullptr, 0, KEY_WRITE, nullptr, key.Put(),
                        nullptr) != ERROR_SUCCESS)
        return;
    RegSetValueExW(key.Get(), name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                   static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

SCRIPTED_ATTRIBUTE ReadScriptedAttribute(const std::wstring& object, const std::wstring& attribute)
{
    SCRIPTED_ATTRIBUTE result;
    // An empty name would open the Objects key itself.
    CScriptKey entry(CScriptKey(ScriptNames::NovellObjectsKey), object);
    if (object.empty() || !entry.Exists())
        return result;
    if (entry.ReadValue(attribute.c_str()).Type != REG_MULTI_SZ)
    {
        result.Status = ERR_NO_SUCH_ATTRIBUTE;
        return result;
    }
    result.Status = 0;
    result.Values = entry.ReadMultiString(attribute.c_str());
    return result;
}

#include "standins/NovellControl.h"

#include "common/StringConvert.h"
#include "platform/RegKey.h"
#include "standins/shared/ScriptNames.h"

#include <stdexcept>

namespace
{
constexpr wchar_t GroupMembership[] = L"Group Membership";

void Check(LONG result, const std::wstring& what)
{
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("Novell script: cannot write " + WideToAnsi(what) + " (error " +
                                 std::to_string(result) + ")");
}

void SetValue(const std::wstring& keyPath, const std::wstring& name, DWORD type, const void* data, size_t size)
{
    CRegKey key;
    Check(key.Create(keyPath.c_str(), KEY_WRITE), keyPath);
    Check(RegSetValueExW(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
          name);
}

void SetString(const wchar_t* keyPath, const wchar_t* name, const std::wstring& text)
{
    SetValue(keyPath, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void SetDword(const wchar_t* keyPath, const std::wstring& name, DWORD value)
{
    SetValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}
} // namespace

void ScriptNovellWhoAmI(const std::wstring& name) { SetString(ScriptNames::NovellKey, ScriptNames::WhoAmI, name); }

void ScriptNovellTree(const std::wstring& tree) { SetString(ScriptNames::NovellKey, ScriptNames::Tree, tree); }

void ScriptNovellCallsInitFailures(DWORD count)
{
    SetDword(ScriptNames::NovellKey, ScriptNames::CallsInitFailures, count);
}

DWORD ReadNovellCallsInitFailures()
{
    CRegKey key;
    DWORD count = 0;
    if (key.Open(ScriptNames::NovellKey, KEY_READ) == ERROR_SUCCESS)
        key.ReadDword(ScriptNames::CallsInitFailures, count);
    return count;
}

void ScriptNovellError(const std::wstring& function, LONG result)
{
    SetDword(ScriptNames::NovellErrorsKey, function, static_cast<DWORD>(result));
}

void ScriptNovellObject(const std::wstring& object, const std::optional<std::vector<std::wstring>>& groups)
{
    std::wstring path = std::wstring(ScriptNames::NovellObjectsKey) + L"\\" + object;
    CRegKey key;
    Check(key.Create(path.c_str(), KEY_WRITE), path);
    if (!groups)
        return;
    std::wstring data;
    for (const std::wstring& group : *groups)
        data += group + L'\0';
    data += L'\0';
    SetValue(path, GroupMembership, REG_MULTI_SZ, data.c_str(), data.size() * sizeof(wchar_t));
}

std::wstring ReadNovellSeen(const wchar_t* name)
{
    CRegKey key;
    std::wstring text;
    if (key.Open(ScriptNames::NovellSeenKey, KEY_READ) == ERROR_SUCCESS)
        key.ReadString(name, text);
    return text;
}

void ClearNovellScript()
{
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ScriptNames::NovellKey);
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, ScriptNames::NovellKey);
}

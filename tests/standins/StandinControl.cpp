#include "standins/StandinControl.h"

#include "common/StringConvert.h"
#include "platform/RegKey.h"
#include "standins/shared/ScriptNames.h"

#include <stdexcept>

namespace
{
void Check(LONG result, const std::wstring& what)
{
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("stand-in script: cannot write " + WideToAnsi(what) + " (error " +
                                 std::to_string(result) + ")");
}

// Opens (and creates) a key of the script for writing.
void CreateKey(CRegKey& key, const std::wstring& path) { Check(key.Create(path.c_str(), KEY_READ | KEY_WRITE), path); }

void DeleteKey(const std::wstring& path)
{
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, path);
}

void WriteDword(const CRegKey& key, const wchar_t* name, DWORD value) { Check(key.WriteDword(name, value), name); }

void WriteString(const CRegKey& key, const wchar_t* name, const std::wstring& text)
{
    Check(key.WriteString(name, text), name);
}

void WriteOptionalDword(const CRegKey& key, const wchar_t* name, std::optional<DWORD> value)
{
    if (value)
        WriteDword(key, name, *value);
}

void WriteMultiString(const CRegKey& key, const wchar_t* name, const std::vector<std::wstring>& strings)
{
    std::wstring data;
    for (const std::wstring& text : strings)
        data += text + L'\0';
    data += L'\0';
    Check(RegSetValueExW(key.Get(), name, 0, REG_MULTI_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                         static_cast<DWORD>(data.size() * sizeof(wchar_t))),
          name);
}

void WriteOrDeleteError(const wchar_t* keyPath, const wchar_t* name, std::optional<DWORD> error)
{
    CRegKey key;
    CreateKey(key, keyPath);
    if (error && *error != ERROR_SUCCESS)
        return WriteDword(key, name, *error);
    LONG result = RegDeleteValueW(key.Get(), name);
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, name);
}

std::wstring SessionKey(DWORD sessionId) { return ScriptNames::SessionsKey + (L"\\" + std::to_wstring(sessionId)); }
std::wstring AdapterKey(DWORD number) { return ScriptNames::AdaptersKey + (L"\\" + std::to_wstring(number)); }
} // namespace

void ScriptSession(const STANDIN_SESSION& session)
{
    std::wstring path = SessionKey(session.SessionId);
    DeleteKey(path);
    CRegKey key;
    CreateKey(key, path);
    WriteDword(key, ScriptNames::State, session.State);
    WriteDword(key, ScriptNames::Protocol, session.Protocol);
    WriteString(key, ScriptNames::WinStationName, session.WinStationName);
    WriteString(key, ScriptNames::UserName, session.UserName);
    WriteString(key, ScriptNames::DomainName, session.DomainName);
    WriteOptionalDword(key, ScriptNames::QueryError, session.QueryError);
    WriteOptionalDword(key, ScriptNames::QueryErrorClass, session.QueryErrorClass);
    WriteOptionalDword(key, ScriptNames::TokenError, session.TokenError);
}

void RemoveScriptedSession(DWORD sessionId) { DeleteKey(SessionKey(sessionId)); }

void ScriptNoSessions()
{
    DeleteKey(ScriptNames::SessionsKey);
    CRegKey key;
    CreateKey(key, ScriptNames::SessionsKey);
}

void ScriptEnumerateError(std::optional<DWORD> error)
{
    WriteOrDeleteError(ScriptNames::WtsKey, ScriptNames::EnumerateError, error);
}

void ScriptAdapter(const STANDIN_ADAPTER& adapter)
{
    std::wstring path = AdapterKey(adapter.Number);
    DeleteKey(path);
    CRegKey key;
    CreateKey(key, path);
    if (!adapter.AdapterName.empty())
        WriteString(key, ScriptNames::AdapterName, adapter.AdapterName);
    WriteString(key, ScriptNames::Description, adapter.Description);
    WriteString(key, ScriptNames::FriendlyName, adapter.FriendlyName);
    WriteDword(key, ScriptNames::IfType, adapter.IfType);
    WriteDword(key, ScriptNames::OperStatus, adapter.OperStatus);
    WriteMultiString(key, ScriptNames::Addresses, adapter.Addresses);
}

void RemoveScriptedAdapter(DWORD number) { DeleteKey(AdapterKey(number)); }

void ScriptNoAdapters()
{
    DeleteKey(ScriptNames::AdaptersKey);
    CRegKey key;
    CreateKey(key, ScriptNames::AdaptersKey);
}

void ScriptAdaptersError(std::optional<DWORD> error)
{
    WriteOrDeleteError(ScriptNames::IpHelperKey, ScriptNames::AdaptersError, error);
}

void FireAddressChange()
{
    CRegKey key;
    CreateKey(key, ScriptNames::IpHelperKey);
    // Each change needs a value the watchers have not seen: Wine signals no
    // write of the same data. After a deletion the clock makes a repeat of
    // the deleted value unlikely.
    DWORD previous = 0;
    DWORD value = key.ReadDword(ScriptNames::Change, previous) == ERROR_SUCCESS ? previous + 1 : GetTickCount();
    WriteDword(key, ScriptNames::Change, value);
}

void ClearStandinScripts()
{
    DeleteKey(ScriptNames::WtsKey);
    DeleteKey(ScriptNames::IpHelperKey);
}

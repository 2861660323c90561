#include "standins/DirectoryControl.h"

#include "common/StringConvert.h"
#include "platform/RegKey.h"
#include "standins/shared/ScriptNames.h"

#include <objbase.h>
#include <stdexcept>

namespace
{
void Check(LONG result, const std::wstring& what)
{
    if (result != ERROR_SUCCESS)
        throw std::runtime_error("directory script: cannot write " + WideToAnsi(what) + " (error " +
                                 std::to_string(result) + ")");
}

void CreateKey(CRegKey& key, const std::wstring& path) { Check(key.Create(path.c_str(), KEY_READ | KEY_WRITE), path); }

void DeleteKey(const std::wstring& path)
{
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, path.c_str());
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, path);
}

void DeleteValue(const wchar_t* keyPath, const std::wstring& name)
{
    CRegKey key;
    if (key.Open(keyPath, KEY_WRITE) != ERROR_SUCCESS)
        return;
    LONG result = RegDeleteValueW(key.Get(), name.c_str());
    if (result != ERROR_FILE_NOT_FOUND)
        Check(result, name);
}

void WriteValue(const wchar_t* keyPath, const std::wstring& name, DWORD type, const void* data, size_t size)
{
    CRegKey key;
    CreateKey(key, keyPath);
    Check(RegSetValueExW(key.Get(), name.c_str(), 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
          name);
}

void WriteString(const wchar_t* keyPath, const std::wstring& name, const std::wstring& text)
{
    WriteValue(keyPath, name, REG_SZ, text.c_str(), (text.size() + 1) * sizeof(wchar_t));
}

void WriteError(const wchar_t* keyPath, const std::wstring& name, HRESULT error)
{
    DWORD value = static_cast<DWORD>(error);
    WriteValue(keyPath, name, REG_DWORD, &value, sizeof(value));
}

void WriteOrDeleteError(const wchar_t* keyPath, const wchar_t* name, HRESULT error)
{
    if (error == S_OK)
        return DeleteValue(keyPath, name);
    WriteError(keyPath, name, error);
}

std::wstring ClassKey(const CLSID& clsid)
{
    wchar_t text[40] = {};
    if (!StringFromGUID2(clsid, text, ARRAYSIZE(text)))
        throw std::runtime_error("directory script: bad class id");
    return L"Software\\Classes\\CLSID\\" + std::wstring(text);
}
} // namespace

void RegisterStandinClass(const CLSID& clsid, const std::wstring& dllPath)
{
    std::wstring path = ClassKey(clsid) + L"\\InprocServer32";
    WriteString(path.c_str(), L"", dllPath);
    WriteString(path.c_str(), L"ThreadingModel", L"Both");
}

void UnregisterStandinClass(const CLSID& clsid) { DeleteKey(ClassKey(clsid)); }

void ScriptTranslatedName(const std::wstring& name, const std::wstring& distinguishedName)
{
    WriteString(ScriptNames::AdsiNamesKey, name, distinguishedName);
}

void ScriptTranslateError(const std::wstring& name, HRESULT error)
{
    WriteError(ScriptNames::AdsiNamesKey, name, error);
}

void ScriptInitError(HRESULT error) { WriteOrDeleteError(ScriptNames::AdsiKey, ScriptNames::InitError, error); }

void ScriptDirectoryObject(const std::wstring& path) { WriteString(ScriptNames::AdsiObjectsKey, path, L""); }

void ScriptDirectoryObject(const std::wstring& path, const std::wstring& memberOf)
{
    WriteString(ScriptNames::AdsiObjectsKey, path, memberOf);
}

void ScriptDirectoryObjectList(const std::wstring& path, const std::vector<std::wstring>& memberOf)
{
    std::wstring data;
    for (const std::wstring& item : memberOf)
        data += item + L'\0';
    data += L'\0';
    WriteValue(ScriptNames::AdsiObjectsKey, path, REG_MULTI_SZ, data.c_str(), data.size() * sizeof(wchar_t));
}

void ScriptDirectoryObjectError(const std::wstring& path, HRESULT error)
{
    WriteError(ScriptNames::AdsiObjectsKey, path, error);
}

void ScriptGetError(HRESULT error) { WriteOrDeleteError(ScriptNames::AdsiKey, ScriptNames::GetError, error); }

void ClearDirectoryScript() { DeleteKey(ScriptNames::AdsiKey); }

#include "platform/RegKey.h"

#include <cwchar>

LONG CRegKey::Open(const wchar_t* path, REGSAM access, HKEY root)
{
    Close();
    HKEY key = nullptr;
    LONG result = RegOpenKeyExW(root, path, 0, access, &key);
    if (result == ERROR_SUCCESS)
        m_Key = key;
    return result;
}

LONG CRegKey::Create(const wchar_t* path, REGSAM access, HKEY root)
{
    Close();
    HKEY key = nullptr;
    LONG result = RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, &key, nullptr);
    if (result == ERROR_SUCCESS)
        m_Key = key;
    return result;
}

void CRegKey::Close()
{
    if (!m_Key)
        return;
    DWORD lastError = GetLastError();
    RegCloseKey(m_Key);
    SetLastError(lastError);
    m_Key = nullptr;
}

LONG CRegKey::QueryType(const wchar_t* name, DWORD& type, DWORD& size) const
{
    return RegQueryValueExW(m_Key, name, nullptr, &type, nullptr, &size);
}

LONG CRegKey::ReadString(const wchar_t* name, std::wstring& text) const
{
    DWORD type = 0;
    DWORD size = 0;
    LONG result = RegQueryValueExW(m_Key, name, nullptr, &type, nullptr, &size);
    if (result != ERROR_SUCCESS)
        return result;
    // One character more than the data holds, so that a value stored without
    // its terminating NUL still ends in one.
    std::wstring buffer(size / sizeof(wchar_t) + 1, L'\0');
    DWORD bufferSize = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    result = RegQueryValueExW(m_Key, name, nullptr, &type, reinterpret_cast<BYTE*>(buffer.data()), &bufferSize);
    if (result != ERROR_SUCCESS)
        return result;
    buffer.resize(wcsnlen(buffer.c_str(), buffer.size()));
    text = std::move(buffer);
    return ERROR_SUCCESS;
}

LONG CRegKey::ReadDword(const wchar_t* name, DWORD& value) const
{
    DWORD data = value;
    DWORD size = sizeof(data);
    LONG result = RegQueryValueExW(m_Key, name, nullptr, nullptr, reinterpret_cast<BYTE*>(&data), &size);
    if (result == ERROR_SUCCESS)
        value = data;
    return result;
}

LONG CRegKey::WriteString(const wchar_t* name, const std::wstring& text) const
{
    return RegSetValueExW(m_Key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

LONG CRegKey::WriteDword(const wchar_t* name, DWORD value) const
{
    return RegSetValueExW(m_Key, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
}

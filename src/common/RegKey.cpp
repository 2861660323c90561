#include "common/RegKey.h"

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

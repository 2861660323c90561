#pragma once

#include <windows.h>

// Owner of one open registry key; reopening or destroying closes the old one.
class CRegKey
{
public:
    CRegKey() = default;
    ~CRegKey() { Close(); }
    CRegKey(const CRegKey&) = delete;
    CRegKey& operator=(const CRegKey&) = delete;

    // Both return the Win32 error of the open (ERROR_SUCCESS when open).
    LONG Open(const wchar_t* path, REGSAM access, HKEY root = HKEY_LOCAL_MACHINE);
    LONG Create(const wchar_t* path, REGSAM access, HKEY root = HKEY_LOCAL_MACHINE);
    void Close();

    HKEY Get() const { return m_Key; }
    bool IsOpen() const { return m_Key != nullptr; }

private:
    HKEY m_Key = nullptr;
};

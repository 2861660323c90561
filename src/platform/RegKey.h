#pragma once

#include <windows.h>

#include <string>

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

    // The value's type and size in bytes; the Win32 error of the query.
    LONG QueryType(const wchar_t* name, DWORD& type, DWORD& size) const;

    // Reads a string in two calls (size, then data). The text ends at the
    // first NUL, or at the end of the data when it has none.
    LONG ReadString(const wchar_t* name, std::wstring& text) const;

    // Reads exactly four bytes of whatever type; the value is only changed on
    // success.
    LONG ReadDword(const wchar_t* name, DWORD& value) const;

    LONG WriteString(const wchar_t* name, const std::wstring& text) const;
    LONG WriteDword(const wchar_t* name, DWORD value) const;

private:
    HKEY m_Key = nullptr;
};

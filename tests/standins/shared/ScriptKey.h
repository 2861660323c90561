#pragma once

#include "shared/Holders.h"

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// The raw data of one registry value, for telling whether it changed.
struct SCRIPT_VALUE
{
    bool Present = false;
    DWORD Type = REG_NONE;
    std::vector<BYTE> Data;

    bool operator==(const SCRIPT_VALUE& other) const
    {
        return Present == other.Present && Type == other.Type && Data == other.Data;
    }
    bool operator!=(const SCRIPT_VALUE& other) const { return !(*this == other); }
};

// A key of a test's script under HKEY_LOCAL_MACHINE, opened for reading. A key
// that does not exist reads as empty, and a value of another type than the one
// asked for reads as absent, so a half-written script never breaks a call.
class CScriptKey
{
public:
    explicit CScriptKey(const wchar_t* path);
    CScriptKey(const CScriptKey& parent, const std::wstring& subkey);

    bool Exists() const { return static_cast<bool>(m_Key); }

    std::optional<DWORD> ReadDword(const wchar_t* name) const;
    std::wstring ReadString(const wchar_t* name) const;
    std::vector<std::wstring> ReadMultiString(const wchar_t* name) const;
    SCRIPT_VALUE ReadValue(const wchar_t* name) const;

    // The subkeys whose names are decimal numbers, in ascending order.
    std::vector<DWORD> NumberedSubkeys() const;
    DWORD SubkeyCount() const;

private:
    std::optional<std::wstring> ReadText(const wchar_t* name, DWORD typeFlag) const;

    CKeyHolder m_Key;
};

// "12" -> 12; anything but canonical decimal digits ("012", "1a") -> nothing.
std::optional<DWORD> ParseDecimal(const std::wstring& text);

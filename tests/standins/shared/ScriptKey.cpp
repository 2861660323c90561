#include "shared/ScriptKey.h"

#include <algorithm>
#include <cwchar>

namespace
{
HKEY OpenForReading(HKEY parent, const wchar_t* path)
{
    HKEY key = nullptr;
    if (!parent || RegOpenKeyExW(parent, path, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return nullptr;
    return key;
}
} // namespace

CScriptKey::CScriptKey(const wchar_t* path) : m_Key(OpenForReading(HKEY_LOCAL_MACHINE, path)) {}

CScriptKey::CScriptKey(const CScriptKey& parent, const std::wstring& subkey)
    : m_Key(OpenForReading(parent.m_Key.Get(), subkey.c_str()))
{
}

std::optional<DWORD> CScriptKey::ReadDword(const wchar_t* name) const
{
    DWORD value = 0;
    DWORD size = sizeof(value);
    if (!m_Key || RegGetValueW(m_Key.Get(), nullptr, name, RRF_RT_REG_DWORD, nullptr, &value, &size) != ERROR_SUCCESS)
        return std::nullopt;
    return value;
}

std::wstring CScriptKey::ReadString(const wchar_t* name) const
{
    std::wstring text = ReadText(name, RRF_RT_REG_SZ).value_or(std::wstring());
    text.resize(wcslen(text.c_str()));
    return text;
}

std::vector<std::wstring> CScriptKey::ReadMultiString(const wchar_t* name) const
{
    std::vector<std::wstring> strings;
    std::optional<std::wstring> text = ReadText(name, RRF_RT_REG_MULTI_SZ);
    if (!text)
        return strings;
    // The strings follow each other, each ending in a NUL; an empty one ends the list.
    for (const wchar_t* item = text->c_str(); *item; item += wcslen(item) + 1)
        strings.emplace_back(item);
    return strings;
}

std::optional<std::wstring> CScriptKey::ReadText(const wchar_t* name, DWORD typeFlag) const
{
    if (!m_Key)
        return std::nullopt;
    for (;;)
    {
        DWORD size = 0;
        if (RegGetValueW(m_Key.Get(), nullptr, name, typeFlag, nullptr, nullptr, &size) != ERROR_SUCCESS)
            return std::nullopt;
        // Two spare characters, so that even a list written without its
        // terminators still ends in two NULs.
        std::wstring text(size / sizeof(wchar_t) + 2, L'\0');
        DWORD bufferSize = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        LONG result = RegGetValueW(m_Key.Get(), nullptr, name, typeFlag, nullptr, text.data(), &bufferSize);
        if (result == ERROR_MORE_DATA)
            continue; // the value grew between the two calls
        if (result != ERROR_SUCCESS)
            return std::nullopt;
        return text;
    }
}

SCRIPT_VALUE CScriptKey::ReadValue(const wchar_t* name) const
{
    SCRIPT_VALUE value;
    if (!m_Key)
        return value;
    for (;;)
    {
        DWORD size = 0;
        if (RegQueryValueExW(m_Key.Get(), name, nullptr, &value.Type, nullptr, &size) != ERROR_SUCCESS)
            return SCRIPT_VALUE{};
        value.Data.resize(size);
        LONG result = RegQueryValueExW(m_Key.Get(), name, nullptr, &value.Type, value.Data.data(), &size);
        if (result == ERROR_MORE_DATA)
            continue;
        if (result != ERROR_SUCCESS)
            return SCRIPT_VALUE{};
        value.Data.resize(size);
        value.Present = true;
        return value;
    }
}

DWORD CScriptKey::SubkeyCount() const
{
    DWORD count = 0;
    if (!m_Key || RegQueryInfoKeyW(m_Key.Get(), nullptr, nullptr, nullptr, &count, nullptr, nullptr, nullptr, nullptr,
                                   nullptr, nullptr, nullptr) != ERROR_SUCCESS)
        return 0;
    return count;
}

std::vector<DWORD> CScriptKey::NumberedSubkeys() const
{
    std::vector<DWORD> numbers;
    if (!m_Key)
        return numbers;
    wchar_t name[256];
    for (DWORD index = 0;; ++index)
    {
        DWORD length = ARRAYSIZE(name);
        if (RegEnumKeyExW(m_Key.Get(), index, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (std::optional<DWORD> number = ParseDecimal(name))
            numbers.push_back(*number);
    }
    std::sort(numbers.begin(), numbers.end());
    return numbers;
}

std::optional<DWORD> ParseDecimal(const std::wstring& text)
{
    // Only the canonical form, so that the number names the key it came from.
    if (text.empty() || text.size() > 10 || (text.size() > 1 && text[0] == L'0') ||
        !std::all_of(text.begin(), text.end(), [](wchar_t c) { return c >= L'0' && c <= L'9'; }))
        return std::nullopt;
    unsigned long long value = std::wcstoull(text.c_str(), nullptr, 10);
    if (value > MAXDWORD)
        return std::nullopt;
    return static_cast<DWORD>(value);
}

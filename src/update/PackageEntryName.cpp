#include "update/PackageEntryName.h"

#include "common/StringSplit.h"

#include <algorithm>
#include <cwchar>
#include <vector>

namespace
{
std::vector<std::wstring> Components(std::wstring name)
{
    std::replace(name.begin(), name.end(), L'\\', L'/');
    return SplitString(name, L'/');
}

bool HasForbiddenCharacter(const std::wstring& component)
{
    for (wchar_t c : component)
        if (c < 0x20 || std::wcschr(L"<>:\"|?*", c))
            return true;
    return false;
}

// Windows opens the device for these names whatever follows the first dot,
// and after trailing blanks of the part before it.
bool IsDeviceName(const std::wstring& component)
{
    std::wstring stem = component.substr(0, component.find(L'.'));
    stem.erase(stem.find_last_not_of(L' ') + 1);
    for (const wchar_t* device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (_wcsicmp(stem.c_str(), device) == 0)
            return true;
    if (stem.size() != 4 || (_wcsnicmp(stem.c_str(), L"COM", 3) != 0 && _wcsnicmp(stem.c_str(), L"LPT", 3) != 0))
        return false;
    // The superscript digits count too.
    return (stem[3] >= L'1' && stem[3] <= L'9') || stem[3] == L'\u00B9' || stem[3] == L'\u00B2' || stem[3] == L'\u00B3';
}

bool IsPlainComponent(const std::wstring& component)
{
    if (component.empty() || component == L"." || component == L"..")
        return false;
    if (component.back() == L'.' || component.back() == L' ')
        return false;
    return !HasForbiddenCharacter(component) && !IsDeviceName(component);
}
} // namespace

std::wstring SafeEntryBaseName(const std::wstring& entryName)
{
    std::vector<std::wstring> components = Components(entryName);
    for (const std::wstring& component : components)
        if (!IsPlainComponent(component))
            return std::wstring();
    return components.back();
}

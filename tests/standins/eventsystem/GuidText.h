#pragma once

#include <windows.h>

#include <objbase.h>
#include <string>

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", either case, to a GUID.
inline bool ParseBracedGuid(const std::wstring& text, GUID& guid)
{
    constexpr size_t Length = 38;
    if (text.size() != Length || text.front() != L'{')
        return false;
    std::wstring copy = text; // IIDFromString takes a non-const string
    return SUCCEEDED(IIDFromString(copy.data(), &guid));
}

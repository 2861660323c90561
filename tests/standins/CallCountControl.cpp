#include "standins/CallCountControl.h"

#include "platform/RegKey.h"
#include "standins/shared/ScriptNames.h"

#include <stdexcept>
#include <string>

DWORD ReadCallCount(const wchar_t* function)
{
    CRegKey key;
    DWORD count = 0;
    if (key.Open(ScriptNames::CallsKey, KEY_READ) == ERROR_SUCCESS)
        key.ReadDword(function, count);
    return count;
}

void ClearCallCounts()
{
    LONG result = RegDeleteTreeW(HKEY_LOCAL_MACHINE, ScriptNames::CallsKey);
    if (result != ERROR_SUCCESS && result != ERROR_FILE_NOT_FOUND)
        throw std::runtime_error("cannot clear the call counts (error " + std::to_string(result) + ")");
}

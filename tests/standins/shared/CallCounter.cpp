#include "shared/CallCounter.h"

#include "shared/Holders.h"
#include "shared/ScriptNames.h"

#include <windows.h>

namespace
{
// Counts of one process are added one at a time; tests run one program
// against the stand-ins at a time.
SRWLOCK CountLock = SRWLOCK_INIT;
} // namespace

void CountCall(const wchar_t* function)
{
    CExclusiveLock lock(CountLock);
    CKeyHolder key;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, ScriptNames::CallsKey, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr,
                        key.Put(), nullptr) != ERROR_SUCCESS)
        return;
    DWORD count = 0;
    DWORD size = sizeof(count);
    if (RegGetValueW(key.Get(), nullptr, function, RRF_RT_REG_DWORD, nullptr, &count, &size) != ERROR_SUCCESS)
        count = 0;
    ++count;
    RegSetValueExW(key.Get(), function, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&count), sizeof(count));
}

#include "identifiers/NovellClient.h"

#include "common/Handle.h"

#include <windows.h>

#include <string>

bool IsNovellClientInstalled()
{
    wchar_t systemDirectory[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(systemDirectory, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    for (const wchar_t* library : {L"\\calwin32.dll", L"\\locwin32.dll", L"\\netwin32.dll"})
    {
        std::wstring path = std::wstring(systemDirectory) + library;
        CHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        // Only a file that is not there counts as missing; one we may not
        // open is still installed.
        if (!file.IsValid() && GetLastError() == ERROR_FILE_NOT_FOUND)
            return false;
    }
    return true;
}

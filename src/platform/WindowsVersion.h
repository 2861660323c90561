#pragma once

#include <windows.h>

// True on Windows 2000 (version 5.0), which has no session notifications.
inline bool IsWindows2000(const OSVERSIONINFOEXW& version)
{
    return version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
}

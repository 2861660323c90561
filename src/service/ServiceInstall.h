#pragma once

#include <windows.h>

// Both return ERROR_SUCCESS, or the Win32 error of the step that failed (which
// they log); the command line turns that into the process exit code.
DWORD InstallService(const wchar_t* serviceName);
DWORD UninstallService(const wchar_t* serviceName);

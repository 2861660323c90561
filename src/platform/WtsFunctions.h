#pragma once

#include <windows.h>

// WTSQueryUserToken is looked up at run time: Windows 2000 does not have it.
using WTSQueryUserTokenFunction = BOOL(WINAPI*)(ULONG sessionId, PHANDLE token);

// Loads "WtsApi32.dll" once per process and looks the function up. True when
// it is ready or not needed (Windows 2000); false after a logged failure.
bool LoadWTSFunctions();

// Null when the function is not available.
WTSQueryUserTokenFunction WTSQueryUserTokenPointer();

#pragma once

#include <windows.h>

// Reads and resets the counts the stand-ins keep of their scripted calls
// (HKLM\SOFTWARE\Kestrin Test\Calls), in whatever process made the calls.

// How often the named function was called since the counts were cleared.
DWORD ReadCallCount(const wchar_t* function);
// Throws std::runtime_error when the registry refuses the deletion.
void ClearCallCounts();

#pragma once

#include <windows.h>

constexpr WORD CONSOLE_TEXT_COLOR_DEFAULT = 11; // light cyan on black

// "Console Text Color" from the options key, or the default.
WORD ReadConsoleTextColor();

// The event the console's control handler sets on Ctrl+C, close, logoff and
// shutdown; published before the console is created. Null unpublishes it; on
// return no handler uses the old event any more, so it may be closed.
void PublishConsoleStopEvent(HANDLE stopEvent);

bool CreateConsoleWindow(WORD attribute);
BOOL WINAPI ConsoleCtrlHandler(DWORD controlType);

// "Press Any Key..." and wait for one; returns at once without a console.
void WaitForKey();

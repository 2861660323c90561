#pragma once

#include <windows.h>

// Fires SENS events when a test asks. A test writes the REG_SZ value "Fire"
// of HKLM\SOFTWARE\Kestrin Test\EventSystem as "<tag> <event> [<session id>]";
// each new tag delivers the event to the stored subscriptions and answers
// with the REG_SZ value "Fired" = "<tag> 0x<HRESULT>". A thread of the
// process watches for it from the first call until the process ends.
// Returns ERROR_SUCCESS once the thread watches, or the error that stops it.
DWORD StartFireWatcher();

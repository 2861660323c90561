#pragma once

#include <windows.h>

// Gives the key a DACL of its own (nothing inherited from its parent) that
// lets in only the local system and the administrators, with full control
// that its subkeys inherit: what an ordinary user must not read, such as a
// bind password, stays out of their reach. The key handle needs WRITE_DAC.
// Returns the Win32 error (ERROR_SUCCESS when done).
DWORD RestrictKeyToAdministrators(HKEY key);

#pragma once

#include <windows.h>

// Creates the options key when it is missing and lets only the local system
// and the administrators open it: it may hold the LDAP bind password. Run at
// install ("-i" and the MSI package). Returns the Win32 error of the step that
// failed, or ERROR_SUCCESS.
DWORD SecureOptionsKey();

#pragma once

#include <windows.h>

#include <oaidl.h>
#include <string>

// One event a test can fire: the interface the subscriber is asked for and
// the method called on it (none for a bare "IDispatch", which only asks).
struct SENS_EVENT
{
    const wchar_t* Name;   // "ISensLogon2.Logoff"
    const IID* Interface;  // what the subscriber is queried for
    const wchar_t* Method; // "Logoff"; null when nothing is called
    // Calls the method on the interface QueryInterface returned.
    HRESULT (*Call)(IUnknown* target, BSTR userName, DWORD sessionId);
};

// Null for a name that is no event of the list.
const SENS_EVENT* FindSensEvent(const std::wstring& name);

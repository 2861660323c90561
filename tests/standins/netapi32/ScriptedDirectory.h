#pragma once

#include <windows.h>

#include <lm.h>
#include <string>
#include <vector>

// The domain the script describes (HKLM\SOFTWARE\Kestrin Test\NetAPI), read
// at every call. Names are matched without regard to case, as Windows does.

// The controller of a domain: its name as NetGetDCName returns it, or the
// status the call fails with instead.
struct SCRIPTED_CONTROLLER
{
    NET_API_STATUS Status = NERR_DCNotFound;
    std::wstring Name;
};

// The global groups of a user, or the status the call fails with instead.
struct SCRIPTED_GROUPS
{
    NET_API_STATUS Status = NERR_UserNotFound;
    std::vector<std::wstring> Groups;
};

// A null domain is the primary domain, the value named "*".
SCRIPTED_CONTROLLER ReadScriptedController(const wchar_t* domain);
// Whether the server is one of the scripted controller names.
bool IsScriptedController(const wchar_t* server);
SCRIPTED_GROUPS ReadScriptedGroups(const wchar_t* user);

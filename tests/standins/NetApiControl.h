#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Scripts the netapi32.dll stand-in from a test running under Wine. The
// stand-in reads the script at every call, in whatever process loaded it.
// Each function throws std::runtime_error when the registry refuses a write.

// NetGetDCName of the domain (case-insensitive; "*" is the primary domain,
// asked for with a null domain) returns this name, e.g. L"\\\\DC1". The name
// is also the server NetUserGetGroups accepts.
void ScriptDomainController(const std::wstring& domain, const std::wstring& name);
// NetGetDCName of the domain fails with this status.
void ScriptDomainControllerError(const std::wstring& domain, DWORD status);

// NetUserGetGroups of the user (case-insensitive) lists these global groups.
void ScriptUserGroups(const std::wstring& user, const std::vector<std::wstring>& groups);
// NetUserGetGroups of the user fails with this status.
void ScriptUserGroupsError(const std::wstring& user, DWORD status);

// Deletes the script: no domain has a controller, no user is known.
void ClearNetApiScript();

// Clears the script when constructed and again when the scope ends.
class CNetApiScript
{
public:
    CNetApiScript() { ClearNetApiScript(); }
    ~CNetApiScript() { ClearNetApiScript(); }
    CNetApiScript(const CNetApiScript&) = delete;
    CNetApiScript& operator=(const CNetApiScript&) = delete;
};

#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Finding the user of a session through its shell process, for when the
// terminal-services session API cannot be used. Failures are logged and
// reported by the result; nothing is thrown.

// The Winlogon "Shell" value, as stored (not expanded).
bool GetShellProcessName(std::wstring& name);

// Appends the ids of running processes whose executable name equals the
// given one (case-insensitive), in snapshot order.
bool GetRunningPIDList(const std::wstring& executableName, std::vector<DWORD>& pids);

// Named so because windows.h makes "LookupAccountSid" a macro.
bool LookupAccountSidNames(PSID sid, std::wstring& accountName, std::wstring& domainName);
bool GetTokenUser(HANDLE token, std::wstring& accountName, std::wstring& domainName);

// The first shell process of the session, or 0.
DWORD GetShellProcessPID(DWORD sessionId);

bool GetShellProcessOwner(DWORD sessionId, DWORD& pid, std::wstring& accountName, std::wstring& domainName);

// A token of the session's shell process for impersonation, or null; the
// caller owns it.
HANDLE GetShellProcessToken(DWORD sessionId);

#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Scripts the Novell client stand-in (calwin32, locwin32 and netwin32.dll)
// from a test running under Wine. The stand-in reads the script at every
// call, in whatever process loaded it. Each function throws
// std::runtime_error when the registry refuses a write.

// NWDSWhoAmI answers with this name (else "[Root]").
void ScriptNovellWhoAmI(const std::wstring& name);
// NWDSSetContext refuses every other tree name (case-insensitive).
void ScriptNovellTree(const std::wstring& tree);
// NWCallsInit fails this many times, then succeeds.
void ScriptNovellCallsInitFailures(DWORD count);
// The NWCallsInit failures not yet used up.
DWORD ReadNovellCallsInitFailures();
// The function returns this result instead of doing its work.
void ScriptNovellError(const std::wstring& function, LONG result);
// NWDSRead of the object finds it with these "Group Membership" values;
// without a list, it finds the object without the attribute.
void ScriptNovellObject(const std::wstring& object, const std::optional<std::vector<std::wstring>>& groups);
// What the client was last asked for: "Tree", "NameContext" or "Read"; empty
// when it was not asked.
std::wstring ReadNovellSeen(const wchar_t* name);

// Deletes the script: any tree, no user, no objects.
void ClearNovellScript();

// Clears the script when constructed and again when the scope ends.
class CNovellScript
{
public:
    CNovellScript() { ClearNovellScript(); }
    ~CNovellScript() { ClearNovellScript(); }
    CNovellScript(const CNovellScript&) = delete;
    CNovellScript& operator=(const CNovellScript&) = delete;
};

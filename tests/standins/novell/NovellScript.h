#pragma once

#include "identifiers/NovellApi.h"

#include <optional>
#include <string>
#include <vector>

// The Novell client the script describes (HKLM\SOFTWARE\Kestrin Test\Novell),
// read at every call. Names match without regard to case, as the directory's do.

// The result the function returns instead of doing its work, if scripted.
std::optional<NWRESULT> ScriptedError(const wchar_t* function);

// Whether this NWCallsInit fails; each failure counts one off the script.
bool TakeCallsInitFailure();

// The only tree the client connects to; none scripted: any tree.
std::optional<std::wstring> ScriptedTree();

// The logged-in user's name; "[Root]", the client's answer outside a tree,
// when none is scripted.
std::wstring ScriptedWhoAmI();

// Records what the client was asked for, for a test to check (Seen\<name>).
void RecordSeen(const wchar_t* name, const std::wstring& text);

// The values of one attribute of one object, or the error reading it gives.
struct SCRIPTED_ATTRIBUTE
{
    NWRESULT Status = ERR_NO_SUCH_ENTRY;
    std::vector<std::wstring> Values;
};

SCRIPTED_ATTRIBUTE ReadScriptedAttribute(const std::wstring& object, const std::wstring& attribute);

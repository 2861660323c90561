#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

// What the Novell client says of the user it has authenticated in a tree.
struct NOVELL_LOOKUP
{
    std::wstring DN;   // lower case, typed: "cn=ann.ou=sales.o=acme"
    std::wstring Name; // typeless: "ann.sales.acme"
    std::wstring OU;   // the context: "sales.acme"
    // {group DN, typeless group name}, from the user's "Group Membership".
    std::vector<std::pair<std::wstring, std::wstring>> Groups;
};

constexpr DWORD NOVELL_LOOKUP_IDENTITY = 1;
constexpr DWORD NOVELL_LOOKUP_GROUPS = 2;

// Asks the loaded client, in the given tree (or its default one when empty),
// for what mode names; obtained tells what it got. False when the client is
// not loaded or a call the lookup needs failed.
bool LookupNovellUser(const std::wstring& tree, DWORD mode, NOVELL_LOOKUP& result, DWORD& obtained);

#pragma once

#include "identity/IdentityRecords.h"

#include <windows.h>

#include <oaidl.h>
#include <string>

// Appends the group unless one with the same DN (in any letter case) is
// already listed.
void AddGroup(USER_IDENTITY& user, USER_GROUP group);

// Whether a group of the user's token stays out of the user's groups:
// resource groups, logon ids, the well-known groups every user has and the
// built-in aliases. Disabled and deny-only groups stay in.
bool IsSkippedTokenGroup(const std::wstring& sid, DWORD attributes);

// The DN as an ADsPath needs it: "/" separates path parts there.
std::wstring EscapeSlashes(const std::wstring& dn);

// Adds the groups of a "memberOf" value: one DN, or an array of them in which
// anything but a DN is passed over. Throws CException for an array that
// cannot be read or a value of another type.
void AddMemberOfGroups(USER_IDENTITY& user, const VARIANT& memberOf);

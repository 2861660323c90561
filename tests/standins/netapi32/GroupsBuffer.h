#pragma once

#include <windows.h>

#include <lm.h>
#include <string>
#include <vector>

// What NetUserGetGroups hands back: one buffer from NetApiBufferAllocate
// holding the GROUP_USERS_INFO_0 or _1 array and, behind it, the names.
struct GROUPS_BUFFER
{
    NET_API_STATUS Status = NERR_Success;
    LPBYTE Buffer = nullptr; // null when no entry fits
    DWORD EntriesRead = 0;
};

// As many whole entries as prefmaxlen bytes hold (all of them for
// MAX_PREFERRED_LENGTH), ERROR_MORE_DATA when that is not all. The level must
// be 0 or 1.
GROUPS_BUFFER WriteGroupsBuffer(const std::vector<std::wstring>& groups, DWORD level, DWORD prefmaxlen);

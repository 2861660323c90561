#include "identifiers/IdentActiveDirectory.h"

#include <cwchar>

int32_t CIdentActiveDirectory::IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                                            bool wtsReady)
{
    int32_t result = CIdentifier::IdentifyUser(sessionId, user, computer, wtsReady);
    if (result != IDENTIFY_OK)
        return result;
    // No domain, or an account of this computer: nothing to look up.
    if (user.Domain.empty() || _wcsicmp(user.Domain.c_str(), computer.Name.c_str()) == 0)
        return IDENTIFY_OK;
    // The directory lookups of a domain account (DN, OU and groups, under
    // impersonation): not built yet.
    return IDENTIFY_OK;
}

int32_t CIdentActiveDirectory::IdentifyUserOnly(DWORD /*sessionId*/, USER_IDENTITY& /*user*/, bool /*wtsReady*/)
{
    return IDENTIFY_NOT_POSSIBLE;
}

int32_t CIdentActiveDirectory::GetComputerName(COMPUTER_IDENTITY& computer)
{
    CIdentifier::GetComputerName(computer);
    // Looking up the computer account's DN and OU: not built yet.
    return 0;
}

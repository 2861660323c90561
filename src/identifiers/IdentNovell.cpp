#include "identifiers/IdentNovell.h"

#include "common/Format.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/NovellLookup.h"

namespace
{
void ApplyLookup(const NOVELL_LOOKUP& lookup, DWORD obtained, USER_IDENTITY& user)
{
    if (obtained & NOVELL_LOOKUP_IDENTITY)
    {
        user.Flags |= USER_NAME_VALID | USER_DN_VALID;
        user.DN = lookup.DN;
        user.OU = lookup.OU;
        user.Name = lookup.Name;
    }
    user.Groups.clear();
    if (!(obtained & NOVELL_LOOKUP_GROUPS))
        return;
    user.Flags |= USER_GROUPS_VALID;
    for (const auto& [dn, name] : lookup.Groups)
        user.Groups.push_back(USER_GROUP{name, dn});
}
} // namespace

int32_t CIdentNovell::IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& /*computer*/,
                                   bool /*wtsReady*/)
{
    return Identify(sessionId, user, NOVELL_LOOKUP_IDENTITY | NOVELL_LOOKUP_GROUPS);
}

int32_t CIdentNovell::IdentifyUserOnly(DWORD sessionId, USER_IDENTITY& user, bool /*wtsReady*/)
{
    return Identify(sessionId, user, NOVELL_LOOKUP_IDENTITY);
}

// The client's NDS identity belongs to the logged-on user, so the lookup runs
// as that user.
int32_t CIdentNovell::Identify(DWORD sessionId, USER_IDENTITY& user, DWORD mode)
{
    CImpersonation impersonation(*this, sessionId);
    NOVELL_LOOKUP lookup;
    DWORD obtained = 0;
    if (LookupNovellUser(m_Tree, mode, lookup, obtained))
        ApplyLookup(lookup, obtained, user);
    else
        LogMessage(L"[!] CIdentNovell::IdentifyUser: Failed to identify user");
    if (!impersonation.Revert())
    {
        DWORD error = GetLastError();
        throw CException(error,
                         FormatString(L"[!] CIdentNovell::IdentifyUser: Failed to revert from impersonation. %s. Error "
                                      L"code = %ld.",
                                      CErrorText(error).Text(), (long)error));
    }
    return IDENTIFY_OK;
}

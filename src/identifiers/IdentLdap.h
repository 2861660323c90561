#pragma once

#include "common/CriticalSection.h"
#include "config/Options.h"
#include "identifiers/Identifier.h"

#include <string>

// The identifier for the LDAP network type: the Windows user, completed from
// a POSIX-style directory with the DN and OU path of the user's entry and the
// DNs of the user's groups (by gidNumber, then by membership).
class CIdentLdap : public CIdentifier
{
public:
    int32_t IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                         bool wtsReady) override;
    int32_t IdentifyUserOnly(DWORD sessionId, USER_IDENTITY& user, bool wtsReady) override;

    // Set by the agent at start and after every reload of the options, while
    // identifications may be copying them.
    void SetServer(const std::wstring& server);
    void SetSettings(const LDAP_SETTINGS& settings);

private:
    CCriticalSection m_Lock;
    std::wstring m_Server;    // under m_Lock
    LDAP_SETTINGS m_Settings; // under m_Lock
};

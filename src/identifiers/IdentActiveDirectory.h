#pragma once

#include "identifiers/Identifier.h"

// The identifier for the Microsoft network type: the Windows user and
// computer, completed from Active Directory with their distinguished names,
// OU paths and the user's groups.
class CIdentActiveDirectory : public CIdentifier
{
public:
    int32_t IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                         bool wtsReady) override;
    int32_t IdentifyUserOnly(DWORD sessionId, USER_IDENTITY& user, bool wtsReady) override;
    int32_t GetComputerName(COMPUTER_IDENTITY& computer) override;

private:
    void LookUpDirectory(DWORD sessionId, USER_IDENTITY& user);
    void GetUserDN(USER_IDENTITY& user);
    void GetComputerDN(COMPUTER_IDENTITY& computer);
    void LookupGroups(USER_IDENTITY& user);
    void GetSecurityGroups(USER_IDENTITY& user);
    bool LookupNTLegacyGroups(USER_IDENTITY& user);
};

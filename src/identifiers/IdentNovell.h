#pragma once

#include "identifiers/Identifier.h"

#include <string>

// The identifier for the Novell network type: the NDS object as which the
// session's user is authenticated in the Novell client, with its context as
// OU and its "Group Membership" as groups.
class CIdentNovell : public CIdentifier
{
public:
    int32_t IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                         bool wtsReady) override;
    // The poll's lookup: the user's names without the groups.
    int32_t IdentifyUserOnly(DWORD sessionId, USER_IDENTITY& user, bool wtsReady) override;

    // Set once by the agent before any identification runs; empty means the
    // client's default tree.
    void SetTree(const std::wstring& tree) { m_Tree = tree; }

private:
    int32_t Identify(DWORD sessionId, USER_IDENTITY& user, DWORD mode);

    std::wstring m_Tree;
};

#pragma once

#include "identity/AddressList.h"
#include "identity/IdentityRecords.h"

#include <windows.h>

// What the query server reads from the agent that owns it, from any of its
// workers at any time.
class IQueryOwner
{
public:
    virtual ~IQueryOwner() = default;
    // A copy of the current identity; an empty one while there is none.
    virtual IDENTITY Snapshot() const = 0;
    // The computer's addresses; an empty list while there is no identity.
    virtual const CAddressList& Addresses() const = 0;
    virtual DWORD EffectiveNetworkType() const = 0;
};

#include "agent/AgentQueryOwner.h"

#include "agent/UserAgent.h"
#include "reporting/Identity.h"

namespace
{
const CAddressList& NoAddresses()
{
    static const CAddressList Empty;
    return Empty;
}
} // namespace

IDENTITY CAgentQueryOwner::Snapshot() const
{
    IDENTITY identity;
    if (CIdentity* owned = m_Agent.Identity())
        owned->GetIdentity(identity);
    return identity;
}

const CAddressList& CAgentQueryOwner::Addresses() const
{
    CIdentity* identity = m_Agent.Identity();
    return identity ? identity->IPAddresses() : NoAddresses();
}

DWORD CAgentQueryOwner::EffectiveNetworkType() const { return m_Agent.EffectiveNetworkType(); }

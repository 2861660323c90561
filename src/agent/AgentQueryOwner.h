#pragma once

#include "query/QueryOwner.h"

class CUserAgent;

// The agent as the query server sees it. The agent creates its identity
// before the server's workers start and destroys it after they have ended,
// so the workers may read it without a lock.
class CAgentQueryOwner final : public IQueryOwner
{
public:
    explicit CAgentQueryOwner(const CUserAgent& agent) : m_Agent(agent) {}
    IDENTITY Snapshot() const override;
    const CAddressList& Addresses() const override;
    DWORD EffectiveNetworkType() const override;

private:
    const CUserAgent& m_Agent;
};

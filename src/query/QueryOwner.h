#pragma once

#include <windows.h>

class CIdentity;
class CUserAgent;

// What the query server reads from the agent that owns it.
class IQueryOwner
{
public:
    virtual ~IQueryOwner() = default;
    // Null while the agent has no identity yet.
    virtual CIdentity* Identity() const = 0;
    virtual DWORD EffectiveNetworkType() const = 0;
};

// The agent as the query server sees it. The agent creates its identity
// before the server's workers start and destroys it after they have ended,
// so the workers may read it without a lock.
class CAgentQueryOwner final : public IQueryOwner
{
public:
    explicit CAgentQueryOwner(const CUserAgent& agent) : m_Agent(agent) {}
    CIdentity* Identity() const override;
    DWORD EffectiveNetworkType() const override;

private:
    const CUserAgent& m_Agent;
};

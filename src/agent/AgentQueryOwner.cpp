#include "query/QueryOwner.h"

#include "agent/UserAgent.h"

CIdentity* CAgentQueryOwner::Identity() const { return m_Agent.Identity(); }

DWORD CAgentQueryOwner::EffectiveNetworkType() const { return m_Agent.EffectiveNetworkType(); }

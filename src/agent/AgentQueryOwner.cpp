#include "agent/UserAgent.h"
#include "query/QueryOwner.h"

CIdentity* CAgentQueryOwner::Identity() const { return m_Agent.Identity(); }

DWORD CAgentQueryOwner::EffectiveNetworkType() const { return m_Agent.EffectiveNetworkType(); }

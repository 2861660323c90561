#pragma once

#include "platform/Thread.h"

class CIdentity;

// Re-reports the stored identity whenever the period passes without a
// successful report.
class CHeartbeatThread : public CThread
{
public:
    static constexpr DWORD DefaultPeriodMs = 1800000;

    explicit CHeartbeatThread(CIdentity* owner, DWORD periodMs = DefaultPeriodMs)
        : CThread(L"CHeartbeatThread"), m_Owner(owner), m_PeriodMs(periodMs)
    {
    }
    DWORD PeriodMs() const { return m_PeriodMs; }

protected:
    DWORD ThreadProc() override;

private:
    CIdentity* m_Owner;
    DWORD m_PeriodMs;
};

// Works off the retry queue.
class CUserIdentThread : public CThread
{
public:
    explicit CUserIdentThread(CIdentity* owner) : CThread(L"CUserIdentThread"), m_Owner(owner) {}

protected:
    DWORD ThreadProc() override;

private:
    CIdentity* m_Owner;
};

#include "diag/LogRateLimit.h"

bool CLogRateLimit::Admit(ULONGLONG now, DWORD& leftOut)
{
    CLock lock(m_Lock);
    leftOut = 0;
    if (!m_Started || now - m_IntervalStart >= m_IntervalMs)
    {
        m_Started = true;
        m_IntervalStart = now;
        m_Admitted = 0;
    }
    if (m_Admitted >= m_LinesPerInterval)
    {
        // Saturates rather than wraps: a count of four billion says enough.
        if (m_LeftOut != MAXDWORD)
            ++m_LeftOut;
        return false;
    }
    ++m_Admitted;
    leftOut = m_LeftOut;
    m_LeftOut = 0;
    return true;
}

DWORD CLogRateLimit::TakeLeftOut()
{
    CLock lock(m_Lock);
    DWORD leftOut = m_LeftOut;
    m_LeftOut = 0;
    return leftOut;
}

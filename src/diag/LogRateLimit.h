#pragma once

#include "common/CriticalSection.h"

#include <windows.h>

// Bounds how many lines of one kind go to the log: within each interval the
// first few are written, the rest only counted. The count of an interval is
// handed to the first line admitted after it, whose writer reports it, so a
// flood costs a few lines a second however fast it comes.
class CLogRateLimit
{
public:
    CLogRateLimit(DWORD linesPerInterval, ULONGLONG intervalMs)
        : m_LinesPerInterval(linesPerInterval), m_IntervalMs(intervalMs)
    {
    }

    // Whether a line may be written at the time now (milliseconds of a
    // monotonic clock). leftOut receives the number of lines left out since
    // the last report, to be reported before this line; 0 when there is none.
    bool Admit(ULONGLONG now, DWORD& leftOut);
    // The lines left out since the last report, which this call reports.
    DWORD TakeLeftOut();

private:
    const DWORD m_LinesPerInterval;
    const ULONGLONG m_IntervalMs;
    CCriticalSection m_Lock;
    ULONGLONG m_IntervalStart = 0;
    bool m_Started = false;
    DWORD m_Admitted = 0;
    DWORD m_LeftOut = 0;
};

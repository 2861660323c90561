#include "common/ThreadDeadline.h"

#include <algorithm>

namespace
{
// GetTickCount64 of the end; 0 for none.
thread_local ULONGLONG CurrentDeadline = 0;
} // namespace

CThreadDeadline::CThreadDeadline(DWORD budgetMs) : m_Previous(CurrentDeadline)
{
    ULONGLONG deadline = GetTickCount64() + budgetMs;
    if (CurrentDeadline == 0 || deadline < CurrentDeadline)
        CurrentDeadline = deadline;
}

CThreadDeadline::~CThreadDeadline() { CurrentDeadline = m_Previous; }

DWORD CThreadDeadline::RemainingMs(DWORD capMs)
{
    if (CurrentDeadline == 0)
        return capMs;
    ULONGLONG now = GetTickCount64();
    if (now >= CurrentDeadline)
        return 0;
    return static_cast<DWORD>(std::min<ULONGLONG>(CurrentDeadline - now, capMs));
}

#pragma once

#include <windows.h>

// The time by which the calling thread's current piece of work (one
// identification, say) is to be done, for the network calls deep below it
// that cannot be handed a deadline of their own: a scope sets it for its
// thread, and a nested scope never extends it.
class CThreadDeadline
{
public:
    explicit CThreadDeadline(DWORD budgetMs);
    ~CThreadDeadline();
    CThreadDeadline(const CThreadDeadline&) = delete;
    CThreadDeadline& operator=(const CThreadDeadline&) = delete;

    // What is left of the thread's time, at most capMs: 0 once it has run
    // out, capMs when no scope set any.
    static DWORD RemainingMs(DWORD capMs);
    static bool Passed() { return RemainingMs(1) == 0; }

private:
    ULONGLONG m_Previous;
};

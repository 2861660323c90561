#pragma once

#include <windows.h>

// A critical section owned by the object that embeds it.
class CCriticalSection
{
public:
    CCriticalSection() { InitializeCriticalSection(&m_Section); }
    ~CCriticalSection() { DeleteCriticalSection(&m_Section); }
    CCriticalSection(const CCriticalSection&) = delete;
    CCriticalSection& operator=(const CCriticalSection&) = delete;

    void Enter() { EnterCriticalSection(&m_Section); }
    void Leave() { LeaveCriticalSection(&m_Section); }

private:
    CRITICAL_SECTION m_Section;
};

// Holds a critical section for the life of a scope.
class CLock
{
public:
    explicit CLock(CCriticalSection& section) : m_Section(section) { m_Section.Enter(); }
    ~CLock() { m_Section.Leave(); }
    CLock(const CLock&) = delete;
    CLock& operator=(const CLock&) = delete;

private:
    CCriticalSection& m_Section;
};

#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

namespace StandinRelease
{
inline void RegCloseKey(HKEY key) { ::RegCloseKey(key); }
inline void CloseHandle(HANDLE handle) { ::CloseHandle(handle); }
} // namespace StandinRelease

using CKeyHolder = CUniqueResource<HKEY, StandinRelease::RegCloseKey>;
// For handles whose "none" is null: events, threads, tokens.
using CHandleHolder = CUniqueResource<HANDLE, StandinRelease::CloseHandle>;

// Holds a slim reader/writer lock exclusively for the life of a scope.
class CExclusiveLock
{
public:
    explicit CExclusiveLock(SRWLOCK& lock) : m_Lock(lock) { AcquireSRWLockExclusive(&m_Lock); }
    ~CExclusiveLock() { ReleaseSRWLockExclusive(&m_Lock); }
    CExclusiveLock(const CExclusiveLock&) = delete;
    CExclusiveLock& operator=(const CExclusiveLock&) = delete;

private:
    SRWLOCK& m_Lock;
};

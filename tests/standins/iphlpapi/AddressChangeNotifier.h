#pragma once

#include "shared/Holders.h"
#include "shared/ScriptKey.h"

#include <windows.h>

#include <vector>

// NotifyAddrChange for tests. An address "changes" when a test writes a new
// value named "Change" into the IPHelper key (Wine does not signal a write of
// the same data, so each change needs a new value). A watcher thread, started
// by the first request, completes every pending request at each such write.
class CAddressChangeNotifier
{
public:
    CAddressChangeNotifier() = default;
    CAddressChangeNotifier(const CAddressChangeNotifier&) = delete;
    CAddressChangeNotifier& operator=(const CAddressChangeNotifier&) = delete;

    // ERROR_IO_PENDING, with *handle set to the handle GetOverlappedResult
    // waits on when the OVERLAPPED has no event; otherwise an error.
    DWORD Request(OVERLAPPED* overlapped, HANDLE* handle);

    // Blocks until the next change: NO_ERROR, or an error.
    DWORD WaitForChange();

    // Completes the pending request that uses this OVERLAPPED as cancelled;
    // false when there is none.
    bool Cancel(OVERLAPPED* overlapped);

private:
    DWORD StartWatcher();
    static BOOL CALLBACK StartOnce(PINIT_ONCE once, PVOID self, PVOID* context);
    DWORD StartWatcherThread();
    static DWORD WINAPI WatcherProc(PVOID self);
    void Watch();
    bool ArmWatch();
    bool WatchIsAlive() const;
    void CompleteAll(LONG status);

    INIT_ONCE m_Once = INIT_ONCE_STATIC_INIT;
    DWORD m_StartError = ERROR_SUCCESS;
    CHandleHolder m_RequestHandle; // stands in for the driver handle of each request
    CHandleHolder m_KeyChanged;
    CHandleHolder m_WatcherReady;

    SRWLOCK m_Lock = SRWLOCK_INIT;
    std::vector<OVERLAPPED*> m_Pending; // guarded by m_Lock

    // The watcher thread's alone.
    CKeyHolder m_RootKey;
    SCRIPT_VALUE m_LastChange;
};

CAddressChangeNotifier& AddressChangeNotifier();

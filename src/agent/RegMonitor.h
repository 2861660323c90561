#pragma once

#include "common/Handle.h"
#include "platform/RegKey.h"
#include "platform/Thread.h"

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

class IRegMonitor
{
public:
    virtual void OnRegistryEvent() = 0;

protected:
    ~IRegMonitor() = default;
};

struct RegKeyWatch
{
    std::wstring KeyPath;
    HKEY RootKey = HKEY_LOCAL_MACHINE;
    std::unique_ptr<CRegKey> Key; // null until opened
    CHandle Event;
    bool WatchSubtree = false;
};

// Watches registry keys on a thread of its own and calls back once a burst of
// changes has been quiet for five seconds.
class CRegMonitor : public CThread
{
public:
    static constexpr DWORD SettleTimeMs = 5000;

    explicit CRegMonitor(IRegMonitor* callback);
    ~CRegMonitor() override;

    // All watches are added before the thread starts.
    void AddWatch(const wchar_t* keyPath, HKEY rootKey, bool watchSubtree);

    // Asks the thread to end and waits for it, so that it never calls back
    // into an owner that is going away. False when it did not end in time.
    bool StopAndWait(DWORD timeoutMs);

    // (Re)arms every watch; a key that cannot be opened is tried again on the
    // next pass.
    bool Prepare();

protected:
    DWORD ThreadProc() override;

private:
    bool OpenWatchKey(RegKeyWatch& watch);
    bool PrepareWatch(RegKeyWatch& watch);

    IRegMonitor* m_Callback;
    std::vector<RegKeyWatch> m_Watches;
    std::vector<HANDLE> m_WaitHandles;
    DWORD m_ArmedCount = 0;
    // Wakes the thread for a stop request.
    CHandle m_StopEvent;
};

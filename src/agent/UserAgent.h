#pragma once

#include "common/Handle.h"

#include <windows.h>

#include <atomic>

// The one object that owns everything the service does.
class CUserAgent
{
public:
    CUserAgent();
    ~CUserAgent();
    CUserAgent(const CUserAgent&) = delete;
    CUserAgent& operator=(const CUserAgent&) = delete;

    bool Initialize();
    bool Start();
    void Run();
    bool Stop();
    bool Uninitialize();

    HANDLE StopEvent() const { return m_StopEvent.Get(); }
    bool ServiceRunning() const { return m_ServiceRunning.load(); }
    const OSVERSIONINFOEXW& OSVersion() const { return m_OSVersion; }

private:
    bool ReadOSVersion();

    OSVERSIONINFOEXW m_OSVersion{};
    // Manual-reset, set once to stop everything; never reset.
    CHandle m_StopEvent;
    std::atomic<bool> m_ServiceRunning{false};
};

// The process's agent: null until constructed, read by the control handlers
// on other threads.
CUserAgent* TheAgent();
void SetTheAgent(CUserAgent* agent);

// Logs and sets the stop event of the process's agent, if there is one.
void SignalStop();

bool EnableDebugPrivilege();

// True on Windows 2000 (version 5.0), which has no session notifications.
bool IsWindows2000(const OSVERSIONINFOEXW& version);

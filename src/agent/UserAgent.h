#pragma once

#include "agent/RegMonitor.h"
#include "common/CriticalSection.h"
#include "common/Handle.h"

#include <windows.h>

#include <atomic>
#include <memory>
#include <wtsapi32.h>

class COptions;
class CIdentity;
class CIPChangeNotification;
class CIOBufferPool;
class CNQRPServer;

// The one object that owns everything the service does: created by the
// service host, initialised, started, run until its stop event is set, then
// stopped and torn down, always on one thread.
class CUserAgent final : public IRegMonitor
{
public:
    CUserAgent();
    ~CUserAgent();
    CUserAgent(const CUserAgent&) = delete;
    CUserAgent& operator=(const CUserAgent&) = delete;

    bool Initialize();
    bool Start();
    void Run();
    // Asks every thread to end and waits for each within a bound; a thread
    // that outlives its bound is logged and left running.
    bool Stop();
    bool Uninitialize();
    // False while a thread that reaches this object, its identity, query
    // server or stop event is still running: the agent must then be left in
    // place rather than freed under it.
    bool CanBeFreed() const;

    // Windows session events, from the service control handler's thread.
    void OnSessionChange(DWORD eventType, const WTSSESSION_NOTIFICATION* notification);
    // The options key changed; runs on the registry monitor's thread.
    void OnRegistryEvent() override;

    bool InitializeNovell();
    void SetIdentificationServer();

    HANDLE StopEvent() const { return m_StopEvent.Get(); }
    bool ServiceRunning() const { return m_ServiceRunning.load(); }
    const OSVERSIONINFOEXW& OSVersion() const { return m_OSVersion; }
    DWORD EffectiveNetworkType() const { return m_EffectiveNetworkType.load(); }
    CIdentity* Identity() const { return m_Identity.get(); }

private:
    bool ReadOSVersion();
    void LogResourceVersion();
    bool LoadOptions();
    void DecideNetworkType(DWORD configuredType);
    bool CreateBufferPool();
    bool CreateQueryServer();
    void StopQueryServer();
    void DestroyQueryServer();
    bool CreateIdentity();
    bool InitializeIdentity();
    // The Novell identifier's tree, set once at start.
    void PassNovellTree();
    // The LDAP identifier's copy of the server and settings options.
    void PassLdapSettings();
    DWORD WaitTimeout() const;
    void IdentifyAtStartup();
    void RunLoop();
    bool OnIPChange(CIPChangeNotification& ipChange);
    void OnWaitTimeout(bool updatePending);
    void UpdateUserAfterIPChange();
    void PollNovellUser();
    void DispatchSessionChange(DWORD eventType, DWORD sessionId);

    COptions* m_Options = nullptr;
    CCriticalSection m_Lock; // serialises option reloads
    // Manual-reset, set once to stop everything; never reset. Before every
    // member whose threads wait on it, so that it is closed after they end.
    CHandle m_StopEvent;
    std::unique_ptr<CIdentity> m_Identity;
    // After the identity, so destroyed before it: the query server's workers
    // read the identity. The pool outlives the server that uses it.
    std::unique_ptr<CIOBufferPool> m_BufferPool;
    std::unique_ptr<CNQRPServer> m_QueryServer;
    CRegMonitor m_RegMonitor;
    OSVERSIONINFOEXW m_OSVersion{};
    std::atomic<bool> m_NovellDetected{false};
    std::atomic<bool> m_NovellInitialized{false};
    std::atomic<bool> m_ServiceRunning{false};
    std::atomic<DWORD> m_EffectiveNetworkType{1};
};

// The process's agent: null until constructed, read by the control handlers
// on other threads.
CUserAgent* TheAgent();
void SetTheAgent(CUserAgent* agent);

// Logs and sets the stop event of the process's agent, if there is one.
void SignalStop();
// Whether an agent exists and has reached its main loop; safe from any thread.
bool AgentServiceRunning();

// Hands a session event to the process's agent, if there is one; the agent is
// not freed while it handles the event.
void ForwardSessionChange(DWORD eventType, const WTSSESSION_NOTIFICATION* notification);

bool EnableDebugPrivilege();

// The network type the agent works with, from the configured one and what is
// known of the Novell client: 1 Microsoft, 2 Novell, 3 LDAP. identityType
// receives the configured type as the identity is to see it (0 for a value
// that names no type).
DWORD EffectiveNetworkTypeFor(DWORD configuredType, bool novellDetected, bool novellInitialized, DWORD& identityType);

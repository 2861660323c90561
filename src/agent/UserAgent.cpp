#include "agent/UserAgent.h"

#include "agent/AgentQueryOwner.h"
#include "agent/IPChangeNotification.h"
#include "common/Version.h"
#include "config/Options.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/IdentLdap.h"
#include "identifiers/IdentNovell.h"
#include "identifiers/NovellClient.h"
#include "platform/FileVersionInfo.h"
#include "platform/WindowsVersion.h"
#include "platform/WtsFunctions.h"
#include "query/IOBufferPool.h"
#include "query/NQRPServer.h"
#include "reporting/Identity.h"

#include <cwchar>
#include <new>
#include <vector>

namespace
{
std::atomic<CUserAgent*> Agent{nullptr};
// Keeps the control handlers, which run on the dispatcher's thread, from using
// an agent that the service thread is freeing.
SRWLOCK AgentPointerLock = SRWLOCK_INIT;

// The Novell client is initialised once per process, however often an agent
// is initialised.
std::atomic<bool> NovellClientInitialized{false};

constexpr DWORD NovellPollMs = 10000;
// Each wait of the stop is bounded, and together they stay within the 60 s the
// service manager is told to wait: the monitor's callback only reloads
// options, a report notices the stop at once except during its 3 s exchange,
// and a query handler never waits.
constexpr DWORD RegMonitorStopTimeoutMs = 10000;
constexpr DWORD IdentityThreadsStopTimeoutMs = 20000;
constexpr DWORD QueryWorkersStopTimeoutMs = 10000;

const wchar_t* SessionEventName(DWORD eventType)
{
    static const wchar_t* const Names[] = {
        nullptr,
        L"WTS_CONSOLE_CONNECT",
        L"WTS_CONSOLE_DISCONNECT",
        L"WTS_REMOTE_CONNECT",
        L"WTS_REMOTE_DISCONNECT",
        L"WTS_SESSION_LOGON",
        L"WTS_SESSION_LOGOFF",
        L"WTS_SESSION_LOCK",
        L"WTS_SESSION_UNLOCK",
        L"WTS_SESSION_REMOTE_CONTROL",
    };
    return eventType < ARRAYSIZE(Names) ? Names[eventType] : nullptr;
}

} // namespace

CUserAgent* TheAgent() { return Agent.load(); }

void SetTheAgent(CUserAgent* agent)
{
    AcquireSRWLockExclusive(&AgentPointerLock);
    Agent.store(agent);
    ReleaseSRWLockExclusive(&AgentPointerLock);
}

bool AgentServiceRunning()
{
    AcquireSRWLockShared(&AgentPointerLock);
    CUserAgent* agent = Agent.load();
    bool running = agent && agent->ServiceRunning();
    ReleaseSRWLockShared(&AgentPointerLock);
    return running;
}

void SignalStop()
{
    LogMessage(L"Signaling the service to stop");
    AcquireSRWLockShared(&AgentPointerLock);
    if (CUserAgent* agent = Agent.load())
        SetEvent(agent->StopEvent());
    ReleaseSRWLockShared(&AgentPointerLock);
}

void ForwardSessionChange(DWORD eventType, const WTSSESSION_NOTIFICATION* notification)
{
    AcquireSRWLockShared(&AgentPointerLock);
    if (CUserAgent* agent = Agent.load())
        agent->OnSessionChange(eventType, notification);
    ReleaseSRWLockShared(&AgentPointerLock);
}

bool EnableDebugPrivilege()
{
    HANDLE rawToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &rawToken))
        return false;
    CHandle token(rawToken);
    TOKEN_PRIVILEGES privileges{};
    privileges.PrivilegeCount = 1;
    privileges.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    if (!LookupPrivilegeValueW(nullptr, L"SeDebugPrivilege", &privileges.Privileges[0].Luid))
        return false;
    return AdjustTokenPrivileges(token.Get(), FALSE, &privileges, 0, nullptr, nullptr) != FALSE;
}

DWORD EffectiveNetworkTypeFor(DWORD configuredType, bool novellDetected, bool novellInitialized, DWORD& identityType)
{
    identityType = configuredType;
    switch (configuredType)
    {
    case NETWORK_DETECT:
        return novellDetected && novellInitialized ? NETWORK_NOVELL : NETWORK_MICROSOFT;
    case NETWORK_MICROSOFT:
    case NETWORK_NOVELL:
    case NETWORK_LDAP:
        return configuredType;
    default:
        identityType = NETWORK_DETECT;
        return NETWORK_MICROSOFT;
    }
}

CUserAgent::CUserAgent() : m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_RegMonitor(this) {}

// Only reached once CanBeFreed: the joins below find their threads ended.
CUserAgent::~CUserAgent()
{
    m_RegMonitor.StopAndWait(INFINITE);
    m_QueryServer.reset();
    m_Identity.reset();
}

bool CUserAgent::Initialize()
{
    LogMessage(L"CUserAgent::Initialize");
    EnableDebugPrivilege();
    if (!ReadOSVersion())
    {
        LogMessage(L"[!] CUserAgent::Initialize: Failed to get OS version");
        return false;
    }
    LogPrintf(LOG_VERSION, L"Windows version: %lu.%lu", m_OSVersion.dwMajorVersion, m_OSVersion.dwMinorVersion);
    LogResourceVersion();

    LogMessage(L"Loading Options");
    if (!LoadOptions())
        return false;
    InitializeNovell();

    if (!CreateBufferPool())
        return false;
    if (!IsWindows2000(m_OSVersion))
    {
        LogMessage(L"Loading WTS Functions");
        LoadWTSFunctions();
    }
    if (!CreateQueryServer())
        return false;
    if (!CreateIdentity())
        return false;
    DecideNetworkType(m_Options->Values().NetworkType);
    if (!InitializeIdentity())
        return false;
    PassNovellTree();
    PassLdapSettings();

    LogMessage(L"Creating Registry Monitor");
    m_RegMonitor.AddWatch(OPTIONS_KEY, HKEY_LOCAL_MACHINE, false);
    SetIdentificationServer();
    LogMessage(L"CUserAgent::Initialize: complete");
    return true;
}

bool CUserAgent::ReadOSVersion()
{
    if (m_OSVersion.dwOSVersionInfoSize != 0)
        return true;
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (!GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
        return false;
    m_OSVersion = version;
    return true;
}

void CUserAgent::LogResourceVersion()
{
    std::wstring program = ProgramFilePath();
    DWORD handle = 0;
    DWORD size = GetFileVersionInfoSizeW(program.c_str(), &handle);
    CFileVersionInfo info;
    unsigned long parts[3] = {};
    if (info.Read(program.c_str(), size) && !info.FileVersion.empty() && ParseVersionTriple(info.FileVersion, parts))
        LogPrintf(LOG_INFO, L"User Agent resource version: %lu.%lu.%lu", parts[0], parts[1], parts[2]);
}

bool CUserAgent::LoadOptions()
{
    m_Options = TheOptions();
    if (!m_Options)
    {
        LogPrintf(LOG_ERROR, L"[!] CUserAgent::Initialize: Failed to create COptions; 0x%lx", GetLastError());
        return false;
    }
    if (!m_Options->Load())
    {
        LogMessage(L"[!] Error loading options;  Exiting");
        return false;
    }
    OPTION_VALUES values = m_Options->Values();
    if (values.NoNestedGroups)
        LogMessage(L"No Nested groups is enabled");
    if (values.DisableHeartbeat)
        LogMessage(L"HeartBeat is disabled");
    return true;
}

bool CUserAgent::InitializeNovell()
{
    m_NovellDetected.store(false);
    m_NovellInitialized.store(false);
    bool detected = IsNovellClientInstalled();
    m_NovellDetected.store(detected);
    DWORD configuredType = m_Options ? m_Options->Values().NetworkType : NETWORK_DETECT;

    if (!detected)
    {
        if (configuredType == NETWORK_DETECT)
            LogMessage(L"Novell not detected -- assuming Microsoft network");
        else if (configuredType == NETWORK_NOVELL)
            LogMessage(L"Network type set to Novell, but not detected");
        return true;
    }

    LogMessage(L"Novell detected");
    if (NovellClientInitialized.load())
    {
        m_NovellInitialized.store(true);
        return true;
    }
    if (!IsNovellClientInstalled())
        SetLastError(ERROR_MOD_NOT_FOUND);
    else if (LoadNovellFunctions() && InitializeNovellClient())
    {
        NovellClientInitialized.store(true);
        m_NovellInitialized.store(true);
        return true;
    }
    LogMessage(L"[!] CUserAgent::InitializeNovell(): Failed to initialize Novell");
    return false;
}

bool CUserAgent::CreateBufferPool()
{
    LogMessage(L"Creating IO Buffer Manager");
    m_BufferPool.reset(new (std::nothrow) CIOBufferPool(SystemPageSize(), CIOBufferPool::DefaultMaxFree));
    if (m_BufferPool)
        return true;
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, L"[!] CUserAgent::Initialize: Failed to create CIOBufferPool.\r\n    %s. Error code = %ld.",
              CErrorText(error).Text(), static_cast<long>(error));
    return false;
}

bool CUserAgent::CreateQueryServer()
{
    LogMessage(L"Creating NQRP Server");
    m_QueryServer.reset(new (std::nothrow)
                            CNQRPServer(std::make_unique<CAgentQueryOwner>(*this), m_BufferPool.get(), NQRP_PORT));
    if (!m_QueryServer)
    {
        LogPrintf(LOG_ERROR, L"[!] CUserAgent::Initialize: Failed to create CNQRPServer; 0x%lx", GetLastError());
        return false;
    }
    // The server logs why it cannot start.
    return m_QueryServer->Start();
}

bool CUserAgent::CreateIdentity()
{
    LogMessage(L"Creating Identifier");
    m_Identity.reset(new (std::nothrow) CIdentity(m_StopEvent.Get()));
    if (!m_Identity)
    {
        LogPrintf(LOG_ERROR, L"[!] CUserAgent::Initialize: Failed to create CIdentity; 0x%lx", GetLastError());
        return false;
    }
    return true;
}

bool CUserAgent::InitializeIdentity()
{
    try
    {
        m_Identity->Initialize(m_EffectiveNetworkType.load());
        return true;
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CUserAgent::Initialize: Failed to initialize identifier.", exception);
        return false;
    }
}

void CUserAgent::DecideNetworkType(DWORD configuredType)
{
    DWORD identityType = configuredType;
    DWORD effective =
        EffectiveNetworkTypeFor(configuredType, m_NovellDetected.load(), m_NovellInitialized.load(), identityType);
    if (identityType != configuredType)
        LogPrintf(LOG_ERROR, L"[!] CUserAgent::Initialize: Unhandled net type %lu", configuredType);
    m_EffectiveNetworkType.store(effective);
}

void CUserAgent::SetIdentificationServer()
{
    std::wstring server = m_Options ? m_Options->Values().IdentificationServer : std::wstring();
    // A new name is resolved again at the next report.
    if (m_Identity)
        m_Identity->SetServerName(server);
    if (!server.empty())
        LogPrintf(LOG_IDENTITY, L"Identification Server: %s", server.c_str());
    else
        LogMessage(L"[!] No Identification Server configured.");
}

void CUserAgent::PassNovellTree()
{
    if (m_EffectiveNetworkType.load() != NETWORK_NOVELL || !m_Identity || !m_Options)
        return;
    if (auto* novell = dynamic_cast<CIdentNovell*>(m_Identity->Identifier()))
        novell->SetTree(m_Options->Values().NovellTree);
}

void CUserAgent::PassLdapSettings()
{
    if (m_EffectiveNetworkType.load() != NETWORK_LDAP || !m_Identity || !m_Options)
        return;
    auto* ldap = dynamic_cast<CIdentLdap*>(m_Identity->Identifier());
    if (!ldap)
        return;
    OPTION_VALUES values = m_Options->Values();
    ldap->SetServer(values.LdapServer);
    ldap->SetSettings(values.LdapSettings);
}

bool CUserAgent::Start()
{
    // The query server's workers first, then the identity's heartbeat and
    // user-identification threads.
    if (m_QueryServer && !m_QueryServer->StartThreads())
        return false;
    if (m_Identity && !m_Identity->StartThreads())
        return false;
    return m_RegMonitor.Start();
}

DWORD CUserAgent::WaitTimeout() const
{
    return m_NovellInitialized.load() && m_EffectiveNetworkType.load() == NETWORK_NOVELL ? NovellPollMs : INFINITE;
}

void CUserAgent::Run()
{
    m_ServiceRunning.store(true);
    LogMessage(L"CUserAgent: service running");
    IdentifyAtStartup();
    try
    {
        if (m_QueryServer && !m_QueryServer->StartReceiving())
            LogMessage(L"[!] CUserAgent: Failed to start receiving NQRP requests");
        RunLoop();
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CUserAgent: Exception caught", exception);
    }
    LogMessage(L"CUserAgent: thread stopped");
}

void CUserAgent::IdentifyAtStartup()
{
    if (!m_Identity)
        return;
    try
    {
        m_Identity->IdentifyStartup();
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CUserAgent::Initialize: Failed to identify user at startup.", exception);
    }
}

void CUserAgent::RunLoop()
{
    CIPChangeNotification ipChange;
    ipChange.Arm(L"[!] CUserAgent: Failed to setup IP address change notification; Result=0x%lx, WSALastError=%lu");
    // The stop event comes first, so that a stop wins over a change.
    HANDLE waitSet[] = {m_StopEvent.Get(), ipChange.Event()};
    DWORD waitCount = ipChange.IsValid() ? 2 : 1;
    DWORD timeout = WaitTimeout();
    bool updatePending = false;
    DWORD result = WAIT_FAILED;
    for (;;)
    {
        result = WaitForMultipleObjects(waitCount, waitSet, FALSE, timeout);
        if (result == WAIT_FAILED || result == WAIT_OBJECT_0)
            break;
        if (result == WAIT_OBJECT_0 + 1)
        {
            if (OnIPChange(ipChange))
            {
                updatePending = true;
                timeout = m_Options->Values().IPChangeNotificationDelay * 1000;
            }
            continue;
        }
        if (result != WAIT_TIMEOUT)
            continue;
        OnWaitTimeout(updatePending);
        updatePending = false;
        timeout = WaitTimeout();
    }
    if (result == WAIT_FAILED)
        LogPrintf(LOG_ERROR, L"[!] CUserAgent: Wait failed; LastError=0x%lx", GetLastError());
    else
        LogMessage(L"Shutdown Signalled");
}

// True when the machine has an active address, so that the user update is
// due once the addresses have been quiet for the configured delay.
bool CUserAgent::OnIPChange(CIPChangeNotification& ipChange)
{
    LogMessage(L"IP Change Notification");
    ipChange.Complete();
    bool active = m_Identity && m_Identity->UpdateIPAddresses() > 0;
    ipChange.Arm(L"[!] CUserAgent: Failed to reset IP address change notification; Result=0x%lx, WSALastError=%lu");
    return active;
}

void CUserAgent::OnWaitTimeout(bool updatePending)
{
    // A failing flow is logged and the loop goes on: one bad update must not
    // end the service.
    try
    {
        if (updatePending)
            UpdateUserAfterIPChange();
        else if (m_NovellInitialized.load() && m_EffectiveNetworkType.load() == NETWORK_NOVELL)
            PollNovellUser();
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CUserAgent: Exception caught", exception);
    }
}

void CUserAgent::UpdateUserAfterIPChange()
{
    LogMessage(L"IP Change User Update");
    if (!m_Identity)
        return;
    m_Identity->ClearServerAddress();
    m_Identity->UpdateIPAddresses();
    m_Identity->TriggerUserChange(true);
}

void CUserAgent::PollNovellUser()
{
    if (!m_Identity)
        return;
    USER_IDENTITY current;
    m_Identity->IdentifyCurrentUserOnly(current);
    IDENTITY snapshot;
    m_Identity->GetIdentity(snapshot);
    if (_wcsicmp(current.DN.c_str(), snapshot.User.DN.c_str()) != 0)
    {
        LogMessage(L"Detected Novell User Change");
        m_Identity->TriggerUserChange(false);
    }
}

void CUserAgent::OnSessionChange(DWORD eventType, const WTSSESSION_NOTIFICATION* notification)
{
    try
    {
        if (IsWindows2000(m_Identity ? m_Identity->OSVersion() : m_OSVersion))
            throw CException(0, L"[!] CIdentifier::DispatchSessionChange: Windows 2000 machine");
        DispatchSessionChange(eventType, notification ? notification->dwSessionId : 0x8000FFFF);
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CUserAgent::OnSessionChange: Session change dispatcher failed.", exception);
    }
}

void CUserAgent::DispatchSessionChange(DWORD eventType, DWORD sessionId)
{
    const wchar_t* name = SessionEventName(eventType);
    if (!name)
        return;
    LogPrintf(LOG_IDENTITY, L"[IDENT] Session change: %s; SessionID=%lu", name, sessionId);
    if (!m_Identity)
        return;
    switch (eventType)
    {
    case WTS_CONSOLE_CONNECT:
    case WTS_REMOTE_CONNECT:
        m_Identity->HandleConsoleConnect(sessionId);
        break;
    case WTS_SESSION_LOGON:
        m_Identity->HandleLogon(sessionId);
        break;
    case WTS_SESSION_LOGOFF:
        m_Identity->HandleLogoff(sessionId);
        break;
    default:
        break;
    }
}

void CUserAgent::OnRegistryEvent()
{
    LogMessage(L"CUserAgent::OnRegistryEvent(): Reloading options");
    m_Lock.Enter();
    bool loaded = m_Options && m_Options->Load();
    m_Lock.Leave();
    if (!loaded)
    {
        LogMessage(L"[!] CUserAgent::OnRegistryEvent(): Failed to load options;  Aborted");
        return;
    }
    PassLdapSettings();
    SetIdentificationServer();
}

bool CUserAgent::Stop()
{
    if (!m_RegMonitor.StopAndWait(RegMonitorStopTimeoutMs))
        LogMessage(L"[!] CUserAgent::Stop: Registry monitor did not stop in time");
    // The identity's threads end on the stop event; a report in flight may
    // hold them for its time-outs.
    if (m_Identity)
        m_Identity->WaitForThreads(IdentityThreadsStopTimeoutMs);
    StopQueryServer();
    return true;
}

bool CUserAgent::Uninitialize()
{
    LogMessage(L"CUserAgent::Uninitialize");
    if (m_Identity)
        m_Identity->Uninitialize();
    DestroyQueryServer();
    LogMessage(L"CUserAgent::Uninitialize: Complete");
    return true;
}

bool CUserAgent::CanBeFreed() const
{
    return !m_RegMonitor.IsAlive() && (!m_Identity || m_Identity->ThreadsEnded()) &&
           (!m_QueryServer || m_QueryServer->WorkersEnded());
}

// One quit packet per worker, then a bounded wait: a worker still inside a
// handler must not see the server, its sockets or the pool go away.
void CUserAgent::StopQueryServer()
{
    if (!m_QueryServer || m_QueryServer->WorkersEnded())
        return;
    m_QueryServer->PostQuitPackets();
    if (!m_QueryServer->WaitForWorkers(QueryWorkersStopTimeoutMs))
        LogMessage(L"[!] CUserAgent::Stop: Query server workers did not stop in time");
}

// A server whose workers are still running stays, with the pool and the rest
// of the agent: freeing them under a worker stuck in a handler would turn a
// hang into a crash. The owner then leaves the agent in place (CanBeFreed).
void CUserAgent::DestroyQueryServer()
{
    if (!m_QueryServer)
        return;
    StopQueryServer();
    if (m_QueryServer->WorkersEnded())
        m_QueryServer.reset();
    else
        LogMessage(L"[!] CUserAgent::Uninitialize: Query server workers still running; server left in place");
}

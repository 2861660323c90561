#include "agent/UserAgent.h"

#include "common/Handle.h"
#include "diag/Log.h"

namespace
{
std::atomic<CUserAgent*> Agent{nullptr};
// Keeps SignalStop, which runs on the control handler's thread, from using an
// agent that the service thread is freeing.
SRWLOCK AgentPointerLock = SRWLOCK_INIT;
} // namespace

CUserAgent* TheAgent() { return Agent.load(); }

void SetTheAgent(CUserAgent* agent)
{
    AcquireSRWLockExclusive(&AgentPointerLock);
    Agent.store(agent);
    ReleaseSRWLockExclusive(&AgentPointerLock);
}

void SignalStop()
{
    LogMessage(L"Signaling the service to stop");
    AcquireSRWLockShared(&AgentPointerLock);
    if (CUserAgent* agent = Agent.load())
        SetEvent(agent->StopEvent());
    ReleaseSRWLockShared(&AgentPointerLock);
}

bool IsWindows2000(const OSVERSIONINFOEXW& version)
{
    return version.dwMajorVersion == 5 && version.dwMinorVersion == 0;
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

CUserAgent::CUserAgent() : m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)) {}

CUserAgent::~CUserAgent() = default;

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

bool CUserAgent::Start() { return true; }

void CUserAgent::Run()
{
    m_ServiceRunning.store(true);
    LogMessage(L"CUserAgent: service running");
    HANDLE waitSet[] = {m_StopEvent.Get()};
    DWORD result = WaitForMultipleObjects(1, waitSet, FALSE, INFINITE);
    if (result == WAIT_FAILED)
        LogPrintf(LOG_ERROR, L"[!] CUserAgent: Wait failed; LastError=0x%lx", GetLastError());
    else
        LogMessage(L"Shutdown Signalled");
    LogMessage(L"CUserAgent: thread stopped");
}

bool CUserAgent::Stop() { return true; }

bool CUserAgent::Uninitialize()
{
    LogMessage(L"CUserAgent::Uninitialize");
    LogMessage(L"CUserAgent::Uninitialize: Complete");
    return true;
}

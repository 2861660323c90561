#include "reporting/Identity.h"

#include "common/Format.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/ComputerIdentity.h"
#include "identifiers/IdentActiveDirectory.h"
#include "identifiers/IdentLdap.h"
#include "identifiers/IdentNovell.h"
#include "identifiers/SensLogonEvents.h"

#include <new>

CIdentity::CIdentity(HANDLE stopEvent, DWORD heartbeatPeriodMs)
    : m_HeartbeatThread(this, heartbeatPeriodMs), m_UserIdentThread(this), m_StopEvent(stopEvent)
{
}

// The threads end on the owner's stop event; they must be gone before the
// object they work on. An owner whose bounded wait for them failed leaves
// the object in place instead of destroying it.
CIdentity::~CIdentity() { WaitForThreads(INFINITE); }

void CIdentity::Initialize(DWORD userType)
{
    m_HeartbeatEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    m_RetryEvent.Reset(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    if (m_OSVersion.dwMajorVersion == 0)
        ReadOSVersion();
    m_CurrentUserKey = L"SOFTWARE\\Varnel Systems\\User Agent\\Current User";
    ResetVersionState();
    UpdateIPAddresses();
    CreateIdentifier(userType);
    // Later systems tell of logons through session-change notifications.
    if (IsWindows2000())
        SubscribeToLogonEvents();
}

void CIdentity::SubscribeToLogonEvents()
{
    m_SensEvents.reset(new (std::nothrow) CSensLogonEvents(*this));
    if (!m_SensEvents)
    {
        DWORD error = GetLastError();
        throw CException(
            error, FormatString(L"[!] CIdentity::Initialize: Failed to create CSensLogonEvents. %s. Error code = %ld.",
                                CErrorText(error).Text(), (long)error));
    }
    HRESULT result = SensRegisterLogon(m_SensEvents.get());
    if (FAILED(result))
        LogPrintf(LOG_ERROR, L"[!] CIdentity::Initialize: SensRegisterLogon failed; 0x%lx", (unsigned long)result);
}

void CIdentity::ReadOSVersion()
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
        m_OSVersion = version;
}

void CIdentity::ResetVersionState()
{
    CLock lock(m_IdentityLock);
    m_Current.Agent.Flags = 0;
    COMPUTER_IDENTITY& computer = m_Current.Computer;
    computer.Flags = 0;
    computer.OSMajor = computer.OSMinor = computer.OSBuild = 0;
    computer.SuiteMask = 0;
    computer.ProductType = 0;
    m_Current.User.Flags = 0;
}

void CIdentity::CreateIdentifier(DWORD userType)
{
    m_UserType = userType;
    switch (userType)
    {
    case USER_TYPE_ACTIVE_DIRECTORY:
        m_Identifier.reset(new (std::nothrow) CIdentActiveDirectory());
        break;
    case USER_TYPE_LDAP:
        m_Identifier.reset(new (std::nothrow) CIdentLdap());
        break;
    case USER_TYPE_NOVELL:
        m_Identifier.reset(new (std::nothrow) CIdentNovell());
        break;
    default:
        throw CException(0, FormatString(L"[!] CIdentity::Initialize: Unhandled user type %lu", userType));
    }
    if (!m_Identifier)
    {
        DWORD error = GetLastError();
        throw CException(
            error,
            FormatString(L"[!] CIdentity::Initialize: Failed to create IIdentifier instance. %s. Error code = %ld.",
                         CErrorText(error).Text(), (long)error));
    }
}

void CIdentity::Uninitialize()
{
    LogMessage(L"CIdentity::Uninitialize");
    // The agent owns the stop event; it is only forgotten here.
    m_StopEvent.store(nullptr);
    if (!m_SensEvents)
        return;
    HRESULT result = SensRemoveLogon();
    if (FAILED(result))
        LogPrintf(LOG_ERROR, L"[!] CIdentity::Uninitialize: SensRemoveLogon failed; 0x%lx", (unsigned long)result);
}

void CIdentity::GetIdentity(IDENTITY& out, const AGENT_VERSION* agent, const COMPUTER_IDENTITY* computer,
                            const USER_IDENTITY* user, const DWORD* userSessionId)
{
    CLock lock(m_IdentityLock);
    if (agent)
        m_Current.Agent = *agent;
    if (computer)
        m_Current.Computer = *computer;
    if (user)
        m_Current.User = *user;
    out = m_Current;
    if (userSessionId)
        m_UserSessionId = *userSessionId;
}

void CIdentity::GetComputerIdentity(COMPUTER_IDENTITY& computer)
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    if (GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)))
        computer.Flags |= COMPUTER_OS_VALID;
    else
        version = OSVERSIONINFOEXW{};
    computer.OSMajor = version.dwMajorVersion;
    computer.OSMinor = version.dwMinorVersion;
    computer.OSBuild = version.dwBuildNumber;
    computer.SuiteMask = version.wSuiteMask;
    computer.ProductType = version.wProductType;
    computer.OSCode = OSCodeFor(version.dwMajorVersion, version.dwMinorVersion, version.wProductType);
    if (m_Identifier)
        m_Identifier->GetComputerName(computer);
}

DWORD CIdentity::UpdateIPAddresses() { return ::UpdateIPAddresses(m_IPAddresses); }

void CIdentity::SetServerName(const std::wstring& name)
{
    CLock lock(m_IdentityLock);
    m_ServerAddress = sockaddr_in{};
    m_ServerName = name;
}

void CIdentity::ClearServerAddress()
{
    CLock lock(m_IdentityLock);
    m_ServerAddress = sockaddr_in{};
}

std::wstring CIdentity::ServerName() const
{
    CLock lock(m_IdentityLock);
    return m_ServerName;
}

DWORD CIdentity::UserSessionId()
{
    CLock lock(m_IdentityLock);
    return m_UserSessionId;
}

#include "common/Format.h"
#include "common/Handle.h"
#include "common/ThreadDeadline.h"
#include "common/UniqueResource.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/Identifier.h"
#include "identifiers/ShellProcess.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"

#include <wtsapi32.h>

namespace
{
constexpr USHORT ProtocolConsole = 0;
constexpr USHORT ProtocolRdp = 2;

namespace Release
{
inline void WTSFreeMemory(void* memory) { ::WTSFreeMemory(memory); }
} // namespace Release
using CWtsBuffer = CUniqueResource<void*, Release::WTSFreeMemory>;

CException SystemError(const wchar_t* format, DWORD error)
{
    return CException(error, FormatString(format, CErrorText(error).Text(), (long)error));
}

USHORT QueryProtocol(DWORD sessionId, const wchar_t* failure)
{
    CWtsBuffer buffer;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSClientProtocolType,
                                     reinterpret_cast<LPWSTR*>(buffer.Put()), &bytes))
        throw SystemError(failure, GetLastError());
    return buffer.Get() && bytes >= sizeof(USHORT) ? *static_cast<const USHORT*>(buffer.Get()) : 0xFFFF;
}

DWORD QueryConnectState(DWORD sessionId, const wchar_t* failure)
{
    CWtsBuffer buffer;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, WTSConnectState,
                                     reinterpret_cast<LPWSTR*>(buffer.Put()), &bytes))
        throw SystemError(failure, GetLastError());
    return buffer.Get() && bytes >= sizeof(DWORD) ? *static_cast<const DWORD*>(buffer.Get()) : DWORD(WTSDown);
}

bool IsUserProtocol(USHORT protocol) { return protocol == ProtocolConsole || protocol == ProtocolRdp; }
} // namespace

bool CIdentity::IsWindows2000() const { return m_OSVersion.dwMajorVersion == 5 && m_OSVersion.dwMinorVersion == 0; }

bool CIdentity::IsWindows2000OrXP() const { return m_OSVersion.dwMajorVersion == 5 && m_OSVersion.dwMinorVersion <= 1; }

bool CIdentity::IsWTSReady()
{
    if (m_WTSReady.load() == 1)
        return true;
    CHandle event(OpenEventW(SYNCHRONIZE, FALSE, L"Global\\TermSrvReadyEvent"));
    if (!event)
    {
        DWORD error = GetLastError();
        if (!IsWindows2000())
            LogPrintf(LOG_ERROR,
                      L"[!] CIdentity::IsWTSReady: Failed to open WTS ready event.\r\n    %s. Error code = %ld.",
                      CErrorText(error).Text(), (long)error);
        return false;
    }
    switch (WaitForSingleObject(event.Get(), 0))
    {
    case WAIT_OBJECT_0:
        m_WTSReady.exchange(1);
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR,
                  L"[!] CIdentity::IsWTSReady: Failed to wait on WTS ready event.\r\n    %s. Error code = %ld.",
                  CErrorText(error).Text(), (long)error);
        return false;
    }
    }
}

DWORD CIdentity::IsLogonUserSession(DWORD sessionId)
{
    if (!IsWTSReady())
        return IsWindows2000OrXP() ? SESSION_OK : SESSION_WTS_NOT_READY;
    USHORT protocol = QueryProtocol(sessionId, L"[!] CIdentity::IsLogonUserSession: "
                                               L"WTSQuerySessionInformation(WTSClientProtocolType) failed. %s. Error "
                                               L"code = %ld.");
    if (!IsUserProtocol(protocol))
        return SESSION_NO_USER;
    DWORD state = QueryConnectState(sessionId, L"[!] CIdentity::IsLogonUserSession: "
                                               L"WTSQuerySessionInformation(WTSConnectState) failed. %s. Error code "
                                               L"= %ld.");
    return state == WTSActive || state == WTSConnected || state == WTSConnectQuery ? SESSION_OK : SESSION_NO_USER;
}

DWORD CIdentity::GetLogonUserSession(DWORD& sessionId, DWORD& state)
{
    WTS_SESSION_INFOW* sessions = nullptr;
    DWORD count = 0;
    if (!WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &sessions, &count))
    {
        DWORD error = GetLastError();
        // Without terminal services the console is session 0.
        if (error == ERROR_APP_WRONG_OS || error == RPC_S_INVALID_BINDING)
        {
            sessionId = 0;
            state = WTSActive;
            return SESSION_OK;
        }
        throw CException(error, FormatString(L"[!] CIdentity::GetLogonUserSession: WTSEnumerateSessions failed; "
                                             L"LastError=0x%lx",
                                             (unsigned long)error));
    }
    CWtsBuffer list(sessions);
    for (DWORD i = 0; i < count; ++i)
    {
        if (sessions[i].State != WTSActive)
            continue;
        USHORT protocol = QueryProtocol(sessions[i].SessionId, L"[!] CIdentity::GetLogonUserSession: "
                                                               L"WTSQuerySessionInformation(WTSClientProtocolType) "
                                                               L"failed. %s. Error code = %ld.");
        if (IsUserProtocol(protocol))
        {
            sessionId = sessions[i].SessionId;
            state = WTSActive;
            return SESSION_OK;
        }
    }
    return SESSION_NO_USER;
}

DWORD CIdentity::IdentifyCurrentUser(DWORD& sessionId, USER_IDENTITY& user, bool userOnly)
{
    sessionId = NO_USER_SESSION;
    bool wtsReady = IsWTSReady();
    if (!wtsReady)
    {
        if (!IsWindows2000OrXP())
        {
            LogMessage(L"[IDENT] CIdentity::IdentifyCurrentUser: WTS not ready");
            return SESSION_WTS_NOT_READY;
        }
        sessionId = 0;
        if (GetShellProcessPID(0) == 0)
            return SESSION_NO_USER;
    }
    DWORD found = 0, state = 0;
    DWORD result = GetLogonUserSession(found, state);
    if (result != SESSION_OK)
        return result;
    if (state != WTSActive)
        return SESSION_NO_USER;
    sessionId = found;
    if (!m_Identifier)
        return SESSION_FAILED;
    if (userOnly)
        return static_cast<DWORD>(m_Identifier->IdentifyUserOnly(sessionId, user, IsWTSReady()));
    IDENTITY snapshot;
    GetIdentity(snapshot);
    return static_cast<DWORD>(m_Identifier->IdentifyUser(sessionId, user, snapshot.Computer, IsWTSReady()));
}

DWORD CIdentity::IdentifyCurrentUserOnly(USER_IDENTITY& user)
{
    CThreadDeadline budget(IdentificationBudgetMs);
    try
    {
        DWORD sessionId = NO_USER_SESSION;
        IdentifyCurrentUser(sessionId, user, true);
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CIdentity::IdentifyCurrentUserOnly: Failed to get user identity.", exception);
    }
    return 0;
}

DWORD CIdentity::IdentifyLogonSession(DWORD sessionId)
{
    CThreadDeadline budget(IdentificationBudgetMs);
    if (sessionId == NO_USER_SESSION)
        return SESSION_FAILED;
    USER_IDENTITY user;
    DWORD result = SESSION_FAILED;
    try
    {
        result = IsLogonUserSession(sessionId);
        if (result == SESSION_OK && m_Identifier)
        {
            IDENTITY snapshot;
            GetIdentity(snapshot);
            result = static_cast<DWORD>(m_Identifier->IdentifyUser(sessionId, user, snapshot.Computer, IsWTSReady()));
        }
    }
    catch (const CException&)
    {
        // Not logged: the callers judge by the result.
        result = SESSION_FAILED;
    }
    switch (result)
    {
    case SESSION_OK:
        OnIdentifyLogonUser(sessionId, user);
        return SESSION_OK;
    case SESSION_NO_USER:
        return SESSION_NO_USER;
    case SESSION_RETRY_LATER:
    case SESSION_WTS_NOT_READY:
        QueueUserRetry(sessionId, RETRY_ITEM::KIND_IDENTIFY, REPORT_USER);
        return SESSION_RETRY_QUEUED;
    default:
        return SESSION_FAILED;
    }
}

DWORD CIdentity::HandleLogon(DWORD sessionId)
{
    {
        CLock lock(m_IdentityLock);
        m_LogonSessions.emplace(sessionId, 1);
    }
    LogPrintf(LOG_IDENTITY, L"[IDENT] HandleLogon: SessionID=%lu", (unsigned long)sessionId);
    return IdentifyLogonSession(sessionId);
}

void CIdentity::HandleConsoleConnect(DWORD sessionId)
{
    if (m_OSVersion.dwMajorVersion == 5 && m_OSVersion.dwMinorVersion == 1)
        return;
    bool seen = false;
    {
        CLock lock(m_IdentityLock);
        seen = m_LogonSessions.count(sessionId) != 0;
    }
    if (!seen)
        return;
    LogPrintf(LOG_IDENTITY, L"[IDENT] HandleConsoleConnect: Found logon session %lu for user",
              (unsigned long)sessionId);
    IdentifyLogonSession(sessionId);
}

void CIdentity::HandleLogoff(DWORD sessionId)
{
    DWORD userSessionId = NO_USER_SESSION;
    {
        CLock lock(m_IdentityLock);
        userSessionId = m_UserSessionId;
        m_LogonSessions.erase(sessionId);
    }
    if (sessionId == NO_USER_SESSION)
        return;
    if (!IsWindows2000() && sessionId != userSessionId)
    {
        LogPrintf(LOG_IDENTITY, L"[IDENT] HandleLogoff: SessionID=%lu, UserSessionID=%lu - IGNORE",
                  (unsigned long)sessionId, (unsigned long)userSessionId);
        return;
    }
    LogPrintf(LOG_IDENTITY, L"[IDENT] HandleLogoff: SessionID=%lu", (unsigned long)sessionId);
    IDENTITY snapshot;
    GetIdentity(snapshot);
    // While a retry of this report is pending, the user who logged off stays
    // stored; the retry reports the identity as stored when it runs.
    if (!ReportStep(LogoffReportLines, REPORT_NO_USER, sessionId, snapshot, false))
        return;
    USER_IDENTITY cleared;
    cleared.Flags = snapshot.User.Flags;
    DWORD noSession = NO_USER_SESSION;
    IDENTITY stored;
    GetIdentity(stored, nullptr, nullptr, &cleared, &noSession);
    RegLogIdent(&snapshot.Computer, &cleared);
}

void CIdentity::OnSensLogon()
{
    if (IsWindows2000())
        HandleLogon(0);
    else
        LogMessage(L"[!] CIdentity::OnSensLogon: Non-Windows 2000 machine");
}

void CIdentity::OnSensLogoff(DWORD sessionId)
{
    if (IsWindows2000())
        HandleLogoff(sessionId);
    else
        LogMessage(L"[!] CIdentity::OnSensLogoff: Non-Windows 2000 machine");
}

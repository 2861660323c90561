#include "identifiers/Identifier.h"

#include "common/Format.h"
#include "common/NetApiBuffer.h"
#include "common/UniqueResource.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/ShellProcess.h"
#include "platform/WtsFunctions.h"

#include <lm.h>
#include <wtsapi32.h>

namespace
{
constexpr ULONGLONG ShellWaitMs = 300000;
constexpr DWORD ShellPollMs = 100;
constexpr DWORD NetBiosNameCharacters = 15;

namespace Release
{
inline void WTSFreeMemory(void* memory) { ::WTSFreeMemory(memory); }
} // namespace Release

using CWtsBuffer = CUniqueResource<void*, Release::WTSFreeMemory>;

// A CException whose text ends in the system's words for the error.
CException SystemError(const wchar_t* format, DWORD error)
{
    return CException(error, FormatString(format, CErrorText(error).Text(), (long)error));
}

// One piece of session information; throws with the given message on failure.
CWtsBuffer QuerySession(DWORD sessionId, WTS_INFO_CLASS infoClass, const wchar_t* failure)
{
    CWtsBuffer buffer;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, sessionId, infoClass,
                                     reinterpret_cast<LPWSTR*>(buffer.Put()), &bytes))
        throw SystemError(failure, GetLastError());
    return buffer;
}

std::wstring QuerySessionText(DWORD sessionId, WTS_INFO_CLASS infoClass, const wchar_t* failure)
{
    CWtsBuffer buffer = QuerySession(sessionId, infoClass, failure);
    const auto* text = static_cast<const wchar_t*>(buffer.Get());
    return text ? text : L"";
}
} // namespace

int32_t CIdentifier::IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& /*computer*/,
                                  bool wtsReady)
{
    if (wtsReady)
    {
        int32_t result = IdentifyFromSession(sessionId, user);
        if (result != IDENTIFY_OK)
            return result;
    }
    else
        IdentifyFromShellOwner(sessionId, user);
    user.Flags |= USER_NAME_VALID;
    return IDENTIFY_OK;
}

int32_t CIdentifier::IdentifyFromSession(DWORD sessionId, USER_IDENTITY& user)
{
    DWORD state = WTSDisconnected;
    {
        CWtsBuffer buffer = QuerySession(
            sessionId, WTSConnectState,
            L"[!] IdentifyUser: WTSQuerySessionInformation(WTSConnectState) failed. %s. Error code = %ld.");
        if (buffer.Get())
            state = *static_cast<const DWORD*>(buffer.Get());
    }
    if (state == WTSConnected || state == WTSConnectQuery)
        return IDENTIFY_RETRY_LATER;
    if (state != WTSActive)
        return IDENTIFY_NO_USER;
    user.Name = QuerySessionText(sessionId, WTSUserName,
                                 L"[!] IdentifyUser: Failed to get WTS user name. %s. Error code = %ld.");
    user.Domain = QuerySessionText(sessionId, WTSDomainName,
                                   L"[!] IdentifyUser: Failed to get WTS domain name. %s. Error code = %ld.");
    return IDENTIFY_OK;
}

void CIdentifier::IdentifyFromShellOwner(DWORD sessionId, USER_IDENTITY& user)
{
    DWORD pid = 0;
    if (GetShellProcessOwner(sessionId, pid, user.Name, user.Domain))
        return;
    WaitForShellProcess(sessionId);
    if (!GetShellProcessOwner(sessionId, pid, user.Name, user.Domain))
        throw SystemError(L"[!] IdentifyUser: Failed to get shell process owner. %s. Error code = %ld", GetLastError());
}

void CIdentifier::WaitForShellProcess(DWORD sessionId)
{
    // Both ticks as unsigned 64-bit numbers: a wrap of the counter ends the
    // wait at once rather than stretching it.
    ULONGLONG start = GetTickCount();
    for (;;)
    {
        ULONGLONG now = GetTickCount();
        if (now - start >= ShellWaitMs || GetShellProcessPID(sessionId) != 0)
            return;
        Sleep(ShellPollMs);
    }
}

int32_t CIdentifier::GetComputerName(COMPUTER_IDENTITY& computer)
{
    CNetApiBuffer buffer;
    if (NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(buffer.Put())) == NERR_Success && buffer.Get())
    {
        const auto* info = static_cast<const WKSTA_INFO_100*>(buffer.Get());
        computer.Name = info->wki100_computername ? info->wki100_computername : L"";
        computer.Domain = info->wki100_langroup ? info->wki100_langroup : L"";
        computer.Flags |= COMPUTER_NAME_VALID;
        return 0;
    }

    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = NetBiosNameCharacters;
    if (!GetComputerNameExW(ComputerNameNetBIOS, name, &size))
        throw SystemError(L"[!] CIdentifier::GetComputerName: Failed to get computer name. %s. Error code = %ld.",
                          GetLastError());
    computer.Name = name;
    computer.Flags |= COMPUTER_NAME_VALID;
    return 0;
}

// A fresh token from terminal services when it has one; otherwise the token
// kept from before when it is this session's, or one from the session's
// shell process.
void CIdentifier::Impersonate(DWORD sessionId)
{
    LockWithToken(sessionId, QueryUserToken(sessionId));
    try
    {
        ImpersonateLocked();
    }
    catch (...)
    {
        m_ImpersonationLock.Leave();
        throw;
    }
    m_ImpersonatingThread.store(GetCurrentThreadId());
    ++m_ImpersonationDepth;
}

// Takes the lock with a token for the session in the slot: the given one,
// the one kept from before, or one from the shell, which is fetched without
// the lock.
void CIdentifier::LockWithToken(DWORD sessionId, CHandle token)
{
    for (;;)
    {
        if (!token && m_TokenSession.load() != sessionId)
            token = ShellToken(sessionId);
        m_ImpersonationLock.Enter();
        if (token)
        {
            m_Token = std::move(token);
            m_TokenSession.store(sessionId);
        }
        if (m_Token && m_TokenSession.load() == sessionId)
            return;
        // The kept token was dropped by a failed impersonation, or replaced
        // by another session's, meanwhile.
        m_ImpersonationLock.Leave();
    }
}

void CIdentifier::ImpersonateLocked()
{
    if (ImpersonateLoggedOnUser(m_Token.Get()))
        return;
    DWORD error = GetLastError();
    m_Token.Close();
    m_TokenSession.store(NoTokenSession);
    throw SystemError(L"[!] CIdentifier::Impersonate: Failed to impersonate user. %s. Error code = %ld.", error);
}

CHandle CIdentifier::QueryUserToken(DWORD sessionId)
{
    WTSQueryUserTokenFunction queryUserToken = WTSQueryUserTokenPointer();
    if (!queryUserToken)
        return CHandle();
    HANDLE token = nullptr;
    if (queryUserToken(sessionId, &token))
        return CHandle(token);
    DWORD error = GetLastError();
    LogPrintf(LOG_ERROR, L"[!] CIdentifier::Impersonate: Failed to get WTS user token.\r\n    %s. Error code = %ld.",
              CErrorText(error).Text(), (long)error);
    return CHandle();
}

// Throws when the session's shell does not appear within the wait.
CHandle CIdentifier::ShellToken(DWORD sessionId)
{
    CHandle token(GetShellProcessToken(sessionId));
    if (token)
        return token;
    WaitForShellProcess(sessionId);
    token.Reset(GetShellProcessToken(sessionId));
    if (!token)
        throw SystemError(L"[!] CIdentifier::Impersonate: Failed to get shell PID token. %s. Error code = %ld.",
                          GetLastError());
    return token;
}

bool CIdentifier::RevertImpersonation()
{
    BOOL reverted = RevertToSelf();
    DWORD error = GetLastError();
    // Only the thread that impersonated holds the lock; for any other thread
    // the revert is all there is to do.
    if (m_ImpersonatingThread.load() == GetCurrentThreadId())
    {
        if (--m_ImpersonationDepth == 0)
            m_ImpersonatingThread.store(0);
        m_ImpersonationLock.Leave();
    }
    SetLastError(error);
    return reverted != FALSE;
}

#pragma once

#include "common/CriticalSection.h"
#include "common/Handle.h"
#include "identity/IdentityRecords.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

// Results of IdentifyUser and IdentifyUserOnly.
enum IdentifyResult : int32_t
{
    IDENTIFY_OK = 0,
    IDENTIFY_NO_USER = 1,
    IDENTIFY_RETRY_LATER = 0x100,
    IDENTIFY_NOT_POSSIBLE = static_cast<int32_t>(0x80000000),
};

// Turns a session into a user and finds the computer's names; the directory
// identifiers add DNs, OUs and groups. Failures other than the results above
// are thrown as CException.
class IIdentifier
{
public:
    virtual ~IIdentifier() = default;

    virtual int32_t IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                                 bool wtsReady) = 0;
    virtual int32_t IdentifyUserOnly(DWORD sessionId, USER_IDENTITY& user, bool wtsReady) = 0;
    virtual int32_t GetComputerName(COMPUTER_IDENTITY& computer) = 0;
    virtual int32_t ReservedOperation() = 0;
    // Runs the calling thread as the session's user until RevertImpersonation
    // on the same thread; throws when it cannot.
    virtual void Impersonate(DWORD sessionId) = 0;
    // False, with the thread's last error set, when the revert failed. Harmless
    // on a thread that is not impersonating.
    virtual bool RevertImpersonation() = 0;
};

// The Windows part every identifier shares: the session's user from terminal
// services or from the owner of its shell process, the computer's name, and
// impersonation.
class CIdentifier : public IIdentifier
{
public:
    CIdentifier() = default;

    int32_t IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer,
                         bool wtsReady) override;
    int32_t GetComputerName(COMPUTER_IDENTITY& computer) override;
    int32_t ReservedOperation() override { return 0; }
    void Impersonate(DWORD sessionId) override;
    bool RevertImpersonation() override;

    // Waits up to five minutes for the session's shell process to appear.
    static void WaitForShellProcess(DWORD sessionId);

protected:
    // The token of the last impersonation; only valid between Impersonate and
    // RevertImpersonation, on the impersonating thread.
    HANDLE Token() const { return m_Token.Get(); }

private:
    int32_t IdentifyFromSession(DWORD sessionId, USER_IDENTITY& user);
    void IdentifyFromShellOwner(DWORD sessionId, USER_IDENTITY& user);
    static CHandle QueryUserToken(DWORD sessionId);
    static CHandle ShellToken(DWORD sessionId);
    void LockWithToken(DWORD sessionId, CHandle token);
    void ImpersonateLocked();

    // One token slot serves every thread, so one impersonation at a time: the
    // lock is taken by Impersonate once a token is at hand and given back by
    // RevertImpersonation (or by a failed Impersonate), always on the same
    // thread. Finding the token, which may wait minutes for a session's shell,
    // happens before, so one session's wait never holds up another's lookup.
    CCriticalSection m_ImpersonationLock;
    CHandle m_Token; // under the lock
    // The session m_Token was obtained for, NoTokenSession when there is
    // none; read before the lock. A kept token is used again only for its
    // own session: another session's user must never be looked up as it.
    static constexpr DWORD NoTokenSession = 0x8000FFFF;
    std::atomic<DWORD> m_TokenSession{NoTokenSession};
    // The thread that holds the lock, and how often it impersonated.
    std::atomic<DWORD> m_ImpersonatingThread{0};
    DWORD m_ImpersonationDepth = 0;
};

// Undoes an impersonation when a directory lookup leaves its scope early.
class CImpersonation
{
public:
    CImpersonation(IIdentifier& identifier, DWORD sessionId) : m_Identifier(identifier)
    {
        m_Identifier.Impersonate(sessionId);
    }
    ~CImpersonation()
    {
        if (m_Active)
            m_Identifier.RevertImpersonation();
    }
    CImpersonation(const CImpersonation&) = delete;
    CImpersonation& operator=(const CImpersonation&) = delete;

    // Reverts now; false, with the last error set, when the revert failed.
    bool Revert()
    {
        m_Active = false;
        return m_Identifier.RevertImpersonation();
    }

private:
    IIdentifier& m_Identifier;
    bool m_Active = true;
};

#pragma once

#include "common/CriticalSection.h"
#include "common/Handle.h"
#include "identifiers/LogonEventSink.h"
#include "identity/AddressList.h"
#include "identity/IdentityRecords.h"
#include "reporting/IdentityThreads.h"

#include <windows.h>

#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <winsock2.h>

class IIdentifier;
class CSensLogonEvents;

// One pending retry: identify the session's user again, resolve the server
// again, or send the report again.
struct RETRY_ITEM
{
    enum : DWORD
    {
        KIND_IDENTIFY = 0,
        KIND_RESOLVE = 1,
        KIND_REPORT = 2,
    };

    DWORD Value = NO_USER_SESSION;
    DWORD Remaining = 0;
    DWORD RetryKind = KIND_IDENTIFY;
    uint8_t ReportType = 0;
};

// Results of the session-tracking operations.
enum SessionResult : DWORD
{
    SESSION_OK = 0,
    SESSION_NO_USER = 1,
    SESSION_RETRY_QUEUED = 16,
    SESSION_RETRY_LATER = 0x100,
    SESSION_FAILED = 0x80000000,
    SESSION_WTS_NOT_READY = 0x80000001,
};

// Holds the one current answer to which computer this is, which agent runs on
// it and who is logged on, and is the way every flow reaches that answer.
class CIdentity : public ILogonEventSink
{
public:
    // The lines a flow's report step logs.
    struct REPORT_LINES;

    static constexpr DWORD USER_TYPE_ACTIVE_DIRECTORY = 1;
    static constexpr DWORD USER_TYPE_NOVELL = 2;
    static constexpr DWORD USER_TYPE_LDAP = 3;

    explicit CIdentity(HANDLE stopEvent, DWORD heartbeatPeriodMs = CHeartbeatThread::DefaultPeriodMs);
    virtual ~CIdentity();
    CIdentity(const CIdentity&) = delete;
    CIdentity& operator=(const CIdentity&) = delete;

    // Throws CException when the identifier cannot be created.
    void Initialize(DWORD userType);
    void Uninitialize();

    // The one way to read or replace the current identity: the given parts
    // replace the current ones, then the whole identity is copied out.
    void GetIdentity(IDENTITY& out, const AGENT_VERSION* agent = nullptr, const COMPUTER_IDENTITY* computer = nullptr,
                     const USER_IDENTITY* user = nullptr, const DWORD* userSessionId = nullptr);

    // OS fields and the identifier's names; the caller adds the machine UUID.
    void GetComputerIdentity(COMPUTER_IDENTITY& computer);

    // Copies the identity to the "Current User" subkey; throws CException
    // when the key cannot be opened.
    void RegLogIdent(const COMPUTER_IDENTITY* computer, const USER_IDENTITY* user);
    // Prunes the groups to the server's group assignments when pruning is on.
    bool GetGroupAssignments(std::vector<USER_GROUP>& groups);

    DWORD UpdateIPAddresses();

    // Report protocol: resolves the server when needed (false: try again
    // later), and sends one report, throwing CException on failure.
    bool IdentServerLookup();
    void Report(uint8_t reportType, const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer,
                const USER_IDENTITY& user);

    // The time one identification may take, directory lookups and group
    // assignments together, so that a session change handled on the service
    // manager's thread returns in time, whatever the directory does.
    static constexpr DWORD IdentificationBudgetMs = 15000;

    // Identification flows.
    DWORD IdentifyStartup();
    DWORD TriggerUserChange(bool refreshComputer);
    void OnIdentifyLogonUser(DWORD sessionId, const USER_IDENTITY& user);

    // Session tracking.
    bool IsWTSReady();
    DWORD IsLogonUserSession(DWORD sessionId);
    DWORD GetLogonUserSession(DWORD& sessionId, DWORD& state);
    DWORD IdentifyCurrentUser(DWORD& sessionId, USER_IDENTITY& user, bool userOnly);
    DWORD IdentifyCurrentUserOnly(USER_IDENTITY& user);
    DWORD IdentifyLogonSession(DWORD sessionId);
    DWORD HandleLogon(DWORD sessionId);
    void HandleConsoleConnect(DWORD sessionId);
    void HandleLogoff(DWORD sessionId);
    void OnSensLogon() override;
    void OnSensLogoff(DWORD sessionId) override;

    // Retry and heartbeat.
    bool StartThreads();
    // Waits, at most timeoutMs for each, for both threads, which end on the
    // stop event; false, logged, when one is still running.
    bool WaitForThreads(DWORD timeoutMs);
    bool ThreadsEnded() const;
    void QueueUserRetry(DWORD value, DWORD kind, uint8_t reportType);
    void ProcessUserRetry(std::unique_ptr<RETRY_ITEM> item);
    DWORD UserIdentThreadProc(CThread& thread);
    DWORD HeartbeatThreadProc(CThread& thread, DWORD periodMs);
    void SendHeartbeat();
    void RestartHeartbeatPeriod();
    size_t PendingRetries();
    // A copy of the pending retry; false when none is pending.
    bool PeekRetry(RETRY_ITEM& item);

    // The Identification Server: a new name forgets the resolved address.
    void SetServerName(const std::wstring& name);
    void ClearServerAddress();
    std::wstring ServerName() const;

    DWORD UserType() const { return m_UserType; }
    DWORD UserSessionId();
    const OSVERSIONINFOEXW& OSVersion() const { return m_OSVersion; }
    IIdentifier* Identifier() const { return m_Identifier.get(); }
    CAddressList& IPAddresses() { return m_IPAddresses; }
    const std::wstring& CurrentUserKey() const { return m_CurrentUserKey; }

private:
    // The report step every flow shares; false when a retry was queued.
    bool ReportStep(const REPORT_LINES& lines, uint8_t reportType, DWORD retryValue, const IDENTITY& snapshot,
                    bool forceStartupFlags);
    bool HasServerAddress();
    sockaddr_in ServerAddress();
    void StoreServerAddress(const std::wstring& forName, const in_addr& address);
    void PutBack(std::unique_ptr<RETRY_ITEM> item, DWORD pauseMs);
    std::unique_ptr<RETRY_ITEM> TakeRetry();
    bool StopSignalled();
    bool IsWindows2000OrXP() const;
    bool IsWindows2000() const;
    DWORD IdentifyStartupUser(USER_IDENTITY& user);
    DWORD IdentifyChangedUser(USER_IDENTITY& user);
    static void ForceStartupFlags(IDENTITY& sent, DWORD sessionId);
    std::wstring DisplayName(const USER_IDENTITY& user) const;
    static const REPORT_LINES LogoffReportLines;
    static const REPORT_LINES HeartbeatReportLines;
    void ReadOSVersion();
    void ResetVersionState();
    void CreateIdentifier(DWORD userType);
    void SubscribeToLogonEvents();

    std::unique_ptr<IIdentifier> m_Identifier;
    // Windows 2000 only: the sink of the logon subscription.
    std::unique_ptr<CSensLogonEvents> m_SensEvents;
    IDENTITY m_Current;
    DWORD m_UserType = USER_TYPE_ACTIVE_DIRECTORY;
    DWORD m_UserSessionId = NO_USER_SESSION;
    std::map<DWORD, DWORD> m_LogonSessions;
    mutable CCriticalSection m_IdentityLock; // Current, UserSessionId, LogonSessions, server
    CHeartbeatThread m_HeartbeatThread;
    CHandle m_HeartbeatEvent;
    CUserIdentThread m_UserIdentThread;
    std::deque<std::unique_ptr<RETRY_ITEM>> m_RetryQueue;
    CCriticalSection m_RetryLock;
    sockaddr_in m_ServerAddress{};
    std::wstring m_ServerName;
    std::wstring m_CurrentUserKey;
    std::atomic<HANDLE> m_StopEvent;
    CHandle m_RetryEvent;
    OSVERSIONINFOEXW m_OSVersion{};
    std::atomic<DWORD> m_WTSReady{0};
    CAddressList m_IPAddresses;
};

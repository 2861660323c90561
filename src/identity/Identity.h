#pragma once

#include "common/CriticalSection.h"
#include "common/Handle.h"
#include "identity/AddressList.h"
#include "identity/IdentityRecords.h"

#include <windows.h>

#include <atomic>
#include <map>
#include <memory>
#include <string>
#include <winsock2.h>

class IIdentifier;

// Holds the one current answer to which computer this is, which agent runs on
// it and who is logged on, and is the way every flow reaches that answer.
class CIdentity
{
public:
    static constexpr DWORD USER_TYPE_ACTIVE_DIRECTORY = 1;
    static constexpr DWORD USER_TYPE_NOVELL = 2;
    static constexpr DWORD USER_TYPE_LDAP = 3;

    explicit CIdentity(HANDLE stopEvent);
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

    DWORD UpdateIPAddresses();

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
    void ReadOSVersion();
    void ResetVersionState();
    void CreateIdentifier(DWORD userType);

    std::unique_ptr<IIdentifier> m_Identifier;
    IDENTITY m_Current;
    DWORD m_UserType = USER_TYPE_ACTIVE_DIRECTORY;
    DWORD m_UserSessionId = NO_USER_SESSION;
    std::map<DWORD, DWORD> m_LogonSessions;
    mutable CCriticalSection m_IdentityLock; // Current, UserSessionId, LogonSessions, server
    CHandle m_HeartbeatEvent;
    sockaddr_in m_ServerAddress{};
    std::wstring m_ServerName;
    std::wstring m_CurrentUserKey;
    HANDLE m_StopEvent;
    CHandle m_RetryEvent;
    OSVERSIONINFOEXW m_OSVersion{};
    std::atomic<DWORD> m_WTSReady{0};
    CAddressList m_IPAddresses;
};

#pragma once

#include "config/Options.h"
#include "identifiers/LdapCertificateCheck.h"
#include "identifiers/LdapHolders.h"
#include "identifiers/LdapServerAddress.h"

#include <string>
#include <vector>

// One conversation with the LDAP server for one identification: init, bind,
// the searches for the user and the user's groups, unbind when it goes. A
// failed step leaves its one-line reason in ErrorText(). Every step waits at
// most StepTimeoutMs, and no longer than the thread's deadline allows (see
// ThreadDeadline.h); referrals are never chased.
class CLdapConnection
{
public:
    static constexpr DWORD StepTimeoutMs = 5000;

    CLdapConnection(std::wstring server, LDAP_SETTINGS settings);

    // Opens the session (over TLS for an ldaps:// server, whose certificate
    // is then checked) and selects protocol version 3.
    bool Initialize();
    // Binds with the configured DN and password; empty ones bind anonymously.
    bool Connect();
    // Takes the base from the root DSE when it names exactly one naming
    // context; else the base stays empty. Failures are silent.
    void DiscoverBaseSearchPath();
    // Finds the user's entry and the groups of its gidNumber; true when the
    // entry was found.
    bool FindUser(const std::wstring& name);
    // Adds the groups that list the user in the member attribute.
    bool FindGroupsByMember();

    const std::wstring& Server() const { return m_Server; }
    const std::wstring& BaseSearchPath() const { return m_Settings.LdapBaseSearchPath; }
    const std::wstring& ErrorText() const { return m_ErrorText; }
    const std::wstring& UserDN() const { return m_UserDN; }
    const std::vector<std::wstring>& GroupDNs() const { return m_GroupDNs; }

private:
    CLdapMessage Search(const std::wstring& filter, const std::vector<std::wstring>& attributes);
    // A search's result, or null with the code in code.
    CLdapMessage SearchWithin(const std::wstring& base, ULONG scope, const std::wstring& filter,
                              const std::vector<std::wstring>& attributes, ULONG& code);
    ULONG Bind();
    void AttachCertificateCheck();
    bool FindGroupsByGid(const std::wstring& gid);
    bool AddGroupsFound(const std::wstring& filter);
    void AddGroupDN(const std::wstring& dn);
    std::wstring EntryDN(LDAPMessage* entry) const;
    std::vector<std::wstring> EntryValues(LDAPMessage* entry, const wchar_t* attribute) const;
    std::wstring FailureMessage(ULONG code) const;

    // The wait of the step that timed out, for its message.
    DWORD m_LastWaitMs = 0;

    // Outlives the session, whose connection may call it.
    CLdapCertificateCheck m_CertificateCheck;
    CLdapSession m_Session;
    std::wstring m_Server;
    LDAP_SERVER_ADDRESS m_Address;
    LDAP_SETTINGS m_Settings;
    std::wstring m_ErrorText;
    std::wstring m_UserDN;
    std::wstring m_UserName;
    std::vector<std::wstring> m_GroupDNs;
};

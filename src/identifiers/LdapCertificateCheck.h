#pragma once

#include "common/CriticalSection.h"

#include <windows.h>

#include <string>
#include <winldap.h>

// Has the LDAP library hand one TLS session's server certificate to
// CheckServerCertificate, so that a refusal says why (the library alone would
// report only that the server is down). Attach before the connection; the
// session must be closed before the check goes.
class CLdapCertificateCheck
{
public:
    CLdapCertificateCheck() = default;
    ~CLdapCertificateCheck();
    CLdapCertificateCheck(const CLdapCertificateCheck&) = delete;
    CLdapCertificateCheck& operator=(const CLdapCertificateCheck&) = delete;

    // The library's answer to the callback option (LDAP_SUCCESS when it will
    // call it).
    ULONG Attach(LDAP* session, const std::wstring& hostName);
    // Why the server's certificate was refused: empty when it was not.
    std::wstring Refusal() const;

private:
    static BOOLEAN __cdecl Verify(PLDAP session, PCCERT_CONTEXT* certificate);
    void Check(PCCERT_CONTEXT certificate);

    LDAP* m_Session = nullptr;
    std::wstring m_HostName;
    mutable CCriticalSection m_Lock;
    std::wstring m_Refusal;
};

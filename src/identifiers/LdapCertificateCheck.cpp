#include "identifiers/LdapCertificateCheck.h"

#include "common/Format.h"
#include "diag/ErrorText.h"
#include "platform/CertHolders.h"
#include "platform/ServerCertificate.h"

#include <map>

namespace
{
// The callback gets only the session: the checks attached, by session.
CCriticalSection ChecksLock;
std::map<LDAP*, CLdapCertificateCheck*> Checks;
} // namespace

CLdapCertificateCheck::~CLdapCertificateCheck()
{
    CLock lock(ChecksLock);
    if (m_Session)
        Checks.erase(m_Session);
}

ULONG CLdapCertificateCheck::Attach(LDAP* session, const std::wstring& hostName)
{
    {
        CLock lock(ChecksLock);
        m_Session = session;
        m_HostName = hostName;
        Checks[session] = this;
    }
    return ldap_set_optionW(session, LDAP_OPT_SERVER_CERTIFICATE, reinterpret_cast<void*>(&Verify));
}

std::wstring CLdapCertificateCheck::Refusal() const
{
    CLock lock(m_Lock);
    return m_Refusal;
}

// The library passes a pointer to the certificate context, which the callback
// frees. The lock keeps the check alive until it has answered.
BOOLEAN __cdecl CLdapCertificateCheck::Verify(PLDAP session, PCCERT_CONTEXT* certificate)
{
    CCertificate held(certificate ? *certificate : nullptr);
    CLock lock(ChecksLock);
    auto found = Checks.find(session);
    if (found == Checks.end())
        return FALSE;
    found->second->Check(held.Get());
    return found->second->Refusal().empty();
}

void CLdapCertificateCheck::Check(PCCERT_CONTEXT certificate)
{
    DWORD error = CheckServerCertificate(certificate, m_HostName);
    CLock lock(m_Lock);
    m_Refusal = error == ERROR_SUCCESS
                    ? std::wstring()
                    : FormatString(L"%s (0x%08lx)", CErrorText(error).Text(), static_cast<unsigned long>(error));
}

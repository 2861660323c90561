#include "identifiers/IdentLdap.h"

#include "diag/Log.h"
#include "identifiers/LdapConnection.h"
#include "identity/DistinguishedName.h"

#include <memory>

int32_t CIdentLdap::IdentifyUser(DWORD sessionId, USER_IDENTITY& user, const COMPUTER_IDENTITY& computer, bool wtsReady)
{
    int32_t result = CIdentifier::IdentifyUser(sessionId, user, computer, wtsReady);
    if (result != IDENTIFY_OK)
        return result;
    std::unique_ptr<CLdapConnection> connection;
    {
        CLock lock(m_Lock);
        connection = std::make_unique<CLdapConnection>(m_Server, m_Settings);
    }
    if (!connection->Initialize() || !connection->Connect())
    {
        LogMessage(connection->ErrorText().c_str());
        return IDENTIFY_NOT_POSSIBLE;
    }
    if (connection->BaseSearchPath().empty())
        connection->DiscoverBaseSearchPath();
    const wchar_t* server = connection->Server().c_str();
    LogPrintf(LOG_IDENTITY, L"[LDAP] %s | Server Search Base Path = %s", server, connection->BaseSearchPath().c_str());

    if (!connection->FindUser(user.Name))
    {
        LogMessage(connection->ErrorText().c_str());
        return IDENTIFY_OK;
    }
    LogPrintf(LOG_IDENTITY, L"[LDAP] %s | (%s) UserDN => %s", server, user.Name.c_str(), connection->UserDN().c_str());
    user.DN = connection->UserDN();
    user.OU = GetOUPath(user.DN);
    user.Flags |= USER_DN_VALID;

    if (!connection->FindGroupsByMember())
    {
        LogMessage(connection->ErrorText().c_str());
        return IDENTIFY_OK;
    }
    for (const auto& dn : connection->GroupDNs())
    {
        LogPrintf(LOG_IDENTITY, L"[LDAP] %s | (%s) GroupDN => %s", server, user.Name.c_str(), dn.c_str());
        user.Groups.push_back(USER_GROUP{GetCommonName(dn), dn});
    }
    user.Flags |= USER_GROUPS_VALID;
    return IDENTIFY_OK;
}

int32_t CIdentLdap::IdentifyUserOnly(DWORD /*sessionId*/, USER_IDENTITY& /*user*/, bool /*wtsReady*/)
{
    return IDENTIFY_NOT_POSSIBLE;
}

void CIdentLdap::SetServer(const std::wstring& server)
{
    CLock lock(m_Lock);
    m_Server = server;
}

void CIdentLdap::SetSettings(const LDAP_SETTINGS& settings)
{
    CLock lock(m_Lock);
    m_Settings = settings;
}

#include "identifiers/LdapConnection.h"

#include "common/Format.h"
#include "identifiers/LdapFilter.h"

#include <utility>

namespace
{
// The LDAP API takes texts as PWCHAR without writing to them.
PWCHAR Text(const std::wstring& text) { return const_cast<PWCHAR>(text.c_str()); }
} // namespace

CLdapConnection::CLdapConnection(std::wstring server, LDAP_SETTINGS settings)
    : m_Server(std::move(server)), m_Settings(std::move(settings))
{
}

bool CLdapConnection::Initialize()
{
    m_Session.Reset(ldap_initW(Text(m_Server), Port));
    if (!m_Session)
    {
        ULONG code = LdapGetLastError();
        PWCHAR message = ldap_err2stringW(code);
        m_ErrorText = FormatString(L"[!] Error initializing LDAP session for server %s: (0x%lx) => %s",
                                   m_Server.c_str(), code, message ? message : L"");
        return false;
    }
    ULONG version = LDAP_VERSION3;
    ldap_set_optionW(m_Session.Get(), LDAP_OPT_PROTOCOL_VERSION, &version);
    return true;
}

bool CLdapConnection::Connect()
{
    ULONG code =
        ldap_simple_bind_sW(m_Session.Get(), Text(m_Settings.LdapBindUserDN), Text(m_Settings.LdapBindUserPassword));
    if (code == LDAP_SUCCESS)
        return true;
    m_ErrorText = FormatString(L"[!] Error connecting to LDAP server (0x%lx) %s => %s", code, m_Server.c_str(),
                               FailureMessage(code).c_str());
    return false;
}

void CLdapConnection::DiscoverBaseSearchPath()
{
    std::wstring attribute = L"namingContexts";
    PWCHAR attributes[] = {Text(attribute), nullptr};
    CLdapMessage result;
    std::wstring root, filter = L"(objectClass=*)";
    if (ldap_search_sW(m_Session.Get(), Text(root), LDAP_SCOPE_BASE, Text(filter), attributes, 0, result.Put()) !=
            LDAP_SUCCESS ||
        !result)
        return;
    LDAPMessage* entry = ldap_first_entry(m_Session.Get(), result.Get());
    if (!entry)
        return;
    std::vector<std::wstring> contexts = EntryValues(entry, attribute.c_str());
    if (contexts.size() == 1)
        m_Settings.LdapBaseSearchPath = contexts.front();
}

CLdapMessage CLdapConnection::Search(const std::wstring& filter, const std::vector<std::wstring>& attributes)
{
    std::vector<PWCHAR> list;
    for (const auto& attribute : attributes)
        list.push_back(Text(attribute));
    list.push_back(nullptr);
    CLdapMessage result;
    ULONG code = ldap_search_sW(m_Session.Get(), Text(m_Settings.LdapBaseSearchPath), LDAP_SCOPE_SUBTREE, Text(filter),
                                list.data(), 0, result.Put());
    if (code == LDAP_SUCCESS)
        return result;
    m_ErrorText = FormatString(L"[!] Error executing query on LDAP server (0x%lx) %s => %s", code, m_Server.c_str(),
                               FailureMessage(code).c_str());
    return CLdapMessage();
}

bool CLdapConnection::FindUser(const std::wstring& name)
{
    m_UserName = name;
    CLdapMessage result = Search(m_Settings.LdapUserAttribute + L"=" + EscapeFilterValue(name), {L"dn", L"gidNumber"});
    if (!result)
        return false;
    LDAPMessage* entry = ldap_first_entry(m_Session.Get(), result.Get());
    if (!entry)
    {
        m_ErrorText = FormatString(L"[!] LDAP server (%s) unable to find user (%s) in directory.", m_Server.c_str(),
                                   name.c_str());
        return false;
    }
    m_UserDN = EntryDN(entry);
    for (const auto& gid : EntryValues(entry, L"gidNumber"))
        FindGroupsByGid(gid);
    return !m_UserDN.empty();
}

bool CLdapConnection::FindGroupsByGid(const std::wstring& gid)
{
    return AddGroupsFound(L"(&(objectClass=" + EscapeFilterValue(m_Settings.LdapGroupClass) + L")(gidNumber=" +
                          EscapeFilterValue(gid) + L"))");
}

bool CLdapConnection::FindGroupsByMember()
{
    return AddGroupsFound(L"(&(objectClass=" + EscapeFilterValue(m_Settings.LdapGroupClass) + L")(" +
                          m_Settings.LdapMemberAttribute + L"=" + EscapeFilterValue(m_UserName) + L"))");
}

bool CLdapConnection::AddGroupsFound(const std::wstring& filter)
{
    CLdapMessage result = Search(filter, {L"dn"});
    if (!result)
        return false;
    for (LDAPMessage* entry = ldap_first_entry(m_Session.Get(), result.Get()); entry;
         entry = ldap_next_entry(m_Session.Get(), entry))
        AddGroupDN(EntryDN(entry));
    return true;
}

void CLdapConnection::AddGroupDN(const std::wstring& dn)
{
    for (const auto& known : m_GroupDNs)
        if (_wcsicmp(known.c_str(), dn.c_str()) == 0)
            return;
    m_GroupDNs.push_back(dn);
}

std::wstring CLdapConnection::EntryDN(LDAPMessage* entry) const
{
    CLdapText dn(ldap_get_dnW(m_Session.Get(), entry));
    return dn ? std::wstring(dn.Get()) : std::wstring();
}

std::vector<std::wstring> CLdapConnection::EntryValues(LDAPMessage* entry, const wchar_t* attribute) const
{
    std::vector<std::wstring> values;
    CLdapValues list(ldap_get_valuesW(m_Session.Get(), entry, const_cast<PWCHAR>(attribute)));
    if (!list)
        return values;
    ULONG count = ldap_count_valuesW(list.Get());
    for (ULONG i = 0; i < count; ++i)
        values.emplace_back(list.Get()[i] ? list.Get()[i] : L"");
    return values;
}

// The server's own words for the failure when it sent any, else the library's.
std::wstring CLdapConnection::FailureMessage(ULONG code) const
{
    PWCHAR raw = nullptr;
    if (ldap_get_optionW(m_Session.Get(), LDAP_OPT_SERVER_ERROR, &raw) == LDAP_SUCCESS && raw)
    {
        CLdapText serverError(raw);
        if (*raw)
            return raw;
    }
    PWCHAR message = ldap_err2stringW(code);
    return message ? message : L"";
}

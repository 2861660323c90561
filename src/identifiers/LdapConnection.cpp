#include "identifiers/LdapConnection.h"

#include "common/Format.h"
#include "common/ThreadDeadline.h"
#include "diag/Log.h"
#include "identifiers/LdapFilter.h"

#include <algorithm>
#include <utility>

namespace
{
// The LDAP API takes texts as PWCHAR without writing to them.
PWCHAR Text(const std::wstring& text) { return const_cast<PWCHAR>(text.c_str()); }

// Whole seconds, at least one: a time-out of zero means none to the library.
l_timeval Seconds(DWORD ms)
{
    l_timeval timeout{};
    timeout.tv_sec = static_cast<LONG>(std::max<DWORD>(1, (ms + 999) / 1000));
    return timeout;
}
} // namespace

CLdapConnection::CLdapConnection(std::wstring server, LDAP_SETTINGS settings)
    : m_Server(std::move(server)), m_Settings(std::move(settings))
{
}

bool CLdapConnection::Initialize()
{
    std::wstring reason;
    if (!ParseLdapServer(m_Server, m_Address, reason))
    {
        m_ErrorText =
            FormatString(L"[!] Error initializing LDAP session for server %s: %s", m_Server.c_str(), reason.c_str());
        return false;
    }
    m_Session.Reset(m_Address.Secure ? ldap_sslinitW(Text(m_Address.HostText), m_Address.DefaultPort, 1)
                                     : ldap_initW(Text(m_Address.HostText), m_Address.DefaultPort));
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
    // A referral would take the lookup to servers nobody configured, and
    // Active Directory answers every subtree search from its root with some.
    ldap_set_optionW(m_Session.Get(), LDAP_OPT_REFERRALS, LDAP_OPT_OFF);
    if (m_Address.Secure)
        AttachCertificateCheck();
    return true;
}

void CLdapConnection::AttachCertificateCheck()
{
    ULONG code = m_CertificateCheck.Attach(m_Session.Get(), m_Address.HostName);
    if (code != LDAP_SUCCESS)
        LogPrintf(LOG_ERROR,
                  L"[!] LDAP server %s: the system's LDAP client does not hand the server's certificate to the agent "
                  L"(0x%lx); the client's own check alone decides whether the server is trusted.",
                  m_Server.c_str(), code);
}

bool CLdapConnection::Connect()
{
    ULONG code = Bind();
    if (code == LDAP_SUCCESS)
        return true;
    std::wstring refusal = m_CertificateCheck.Refusal();
    std::wstring why = refusal.empty() ? FailureMessage(code) : L"the server's certificate is refused: " + refusal;
    m_ErrorText =
        FormatString(L"[!] Error connecting to LDAP server (0x%lx) %s => %s", code, m_Server.c_str(), why.c_str());
    return false;
}

// The connection within the step's time, then the bind, whose answer is
// awaited no longer either: a server that takes the connection and never
// answers would otherwise hold the identification for ever.
ULONG CLdapConnection::Bind()
{
    m_LastWaitMs = CThreadDeadline::RemainingMs(StepTimeoutMs);
    if (m_LastWaitMs == 0)
        return LDAP_TIMEOUT;
    l_timeval timeout = Seconds(m_LastWaitMs);
    ULONG code = ldap_connect(m_Session.Get(), &timeout);
    if (code != LDAP_SUCCESS)
        return code;
    ULONG message =
        ldap_simple_bindW(m_Session.Get(), Text(m_Settings.LdapBindUserDN), Text(m_Settings.LdapBindUserPassword));
    // A bind that could not even be sent (a server that refused the
    // connection or cannot be found) fails at once done the waiting way too,
    // and that way gives its result as an LDAP code.
    if (message == static_cast<ULONG>(-1))
        return ldap_simple_bind_sW(m_Session.Get(), Text(m_Settings.LdapBindUserDN),
                                   Text(m_Settings.LdapBindUserPassword));
    m_LastWaitMs = CThreadDeadline::RemainingMs(StepTimeoutMs);
    timeout = Seconds(m_LastWaitMs);
    CLdapMessage result;
    ULONG type = m_LastWaitMs ? ldap_result(m_Session.Get(), message, LDAP_MSG_ALL, &timeout, result.Put()) : 0;
    if (type == 0)
    {
        ldap_abandon(m_Session.Get(), message);
        return LDAP_TIMEOUT;
    }
    if (type == static_cast<ULONG>(-1) || !result)
        return LdapGetLastError();
    return ldap_result2error(m_Session.Get(), result.Get(), FALSE);
}

CLdapMessage CLdapConnection::SearchWithin(const std::wstring& base, ULONG scope, const std::wstring& filter,
                                           const std::vector<std::wstring>& attributes, ULONG& code)
{
    std::vector<PWCHAR> list;
    for (const auto& attribute : attributes)
        list.push_back(Text(attribute));
    list.push_back(nullptr);
    CLdapMessage result;
    m_LastWaitMs = CThreadDeadline::RemainingMs(StepTimeoutMs);
    if (m_LastWaitMs == 0)
    {
        code = LDAP_TIMEOUT;
        return result;
    }
    l_timeval timeout = Seconds(m_LastWaitMs);
    code = ldap_search_ext_sW(m_Session.Get(), Text(base), scope, Text(filter), list.data(), 0, nullptr, nullptr,
                              &timeout, 0, result.Put());
    if (code != LDAP_SUCCESS)
        result.Reset();
    return result;
}

void CLdapConnection::DiscoverBaseSearchPath()
{
    std::wstring attribute = L"namingContexts";
    ULONG code = 0;
    CLdapMessage result = SearchWithin(L"", LDAP_SCOPE_BASE, L"(objectClass=*)", {attribute}, code);
    if (!result)
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
    ULONG code = 0;
    CLdapMessage result = SearchWithin(m_Settings.LdapBaseSearchPath, LDAP_SCOPE_SUBTREE, filter, attributes, code);
    if (result)
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
    if (code == LDAP_TIMEOUT)
        return m_LastWaitMs ? FormatString(L"no answer within %lu ms", (unsigned long)m_LastWaitMs)
                            : std::wstring(L"the identification's time has run out");
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

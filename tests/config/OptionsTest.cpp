#include "config/Options.h"

#include "platform/RegKey.h"

#include <gtest/gtest.h>
#include <string>

namespace
{
// Each test starts from a missing options key and leaves none behind.
class OptionsTest : public ::testing::Test
{
protected:
    void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, OPTIONS_KEY); }
    void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, OPTIONS_KEY); }

    void SetString(const wchar_t* name, const std::wstring& text)
    {
        SetRaw(name, REG_SZ, text.c_str(), (text.size() + 1) * 2);
    }
    void SetDword(const wchar_t* name, DWORD value) { SetRaw(name, REG_DWORD, &value, sizeof(value)); }
    void SetRaw(const wchar_t* name, DWORD type, const void* data, size_t size)
    {
        CRegKey key;
        ASSERT_EQ(key.Create(OPTIONS_KEY, KEY_WRITE), ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(key.Get(), name, 0, type, static_cast<const BYTE*>(data), static_cast<DWORD>(size)),
                  ERROR_SUCCESS);
    }
    void Delete(const wchar_t* name)
    {
        CRegKey key;
        ASSERT_EQ(key.Open(OPTIONS_KEY, KEY_WRITE), ERROR_SUCCESS);
        RegDeleteValueW(key.Get(), name);
    }

    COptions m_Options;
};
} // namespace

TEST_F(OptionsTest, EmptyKeyGivesEveryDefaultAndIsCreated)
{
    ASSERT_TRUE(m_Options.Load());
    OPTION_VALUES values = m_Options.Values();
    EXPECT_EQ(values.NetworkType, static_cast<DWORD>(NETWORK_DETECT));
    EXPECT_EQ(values.IdentificationServer, L"");
    EXPECT_EQ(values.NovellTree, L"");
    EXPECT_EQ(values.IPChangeNotificationDelay, 5u);
    EXPECT_FALSE(values.NoNestedGroups);
    EXPECT_FALSE(values.DisableHeartbeat);
    EXPECT_TRUE(values.DisableUserGroupPruning);
    EXPECT_EQ(values.LdapServer, L"");
    EXPECT_EQ(values.LdapSettings.LdapBaseSearchPath, L"");
    EXPECT_EQ(values.LdapSettings.LdapGroupClass, L"posixGroup");
    EXPECT_EQ(values.LdapSettings.LdapUserAttribute, L"uid");
    EXPECT_EQ(values.LdapSettings.LdapMemberAttribute, L"memberUid");
    EXPECT_EQ(values.LdapSettings.LdapBindUserDN, L"");
    EXPECT_EQ(values.LdapSettings.LdapBindUserPassword, L"");

    CRegKey key;
    EXPECT_EQ(key.Open(OPTIONS_KEY, KEY_READ), ERROR_SUCCESS);
}

TEST_F(OptionsTest, NetworkTypeNamesInAnyCase)
{
    const std::pair<const wchar_t*, DWORD> accepted[] = {
        {L"Detect", NETWORK_DETECT}, {L"MICROSOFT", NETWORK_MICROSOFT}, {L"novell", NETWORK_NOVELL},
        {L"ldap", NETWORK_LDAP},     {L"LdAp", NETWORK_LDAP},
    };
    for (const auto& [text, type] : accepted)
    {
        SetString(L"Network Type", text);
        EXPECT_TRUE(m_Options.Load()) << std::wstring(text).size();
        EXPECT_EQ(m_Options.Values().NetworkType, type);
    }
    // Not a string: Detect.
    SetDword(L"Network Type", 3);
    EXPECT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().NetworkType, static_cast<DWORD>(NETWORK_DETECT));
}

TEST_F(OptionsTest, UnknownNetworkTypeFailsBeforeTheLaterValues)
{
    SetString(L"Network Type", L"LDAP");
    SetString(L"LDAP Server", L"old.example");
    ASSERT_TRUE(m_Options.Load());

    for (const wchar_t* text : {L"ActiveDirectory", L"", L"LDAP "})
    {
        SetString(L"Network Type", text);
        SetString(L"LDAP Server", L"new.example");
        EXPECT_FALSE(m_Options.Load());
        EXPECT_EQ(m_Options.Values().LdapServer, L"old.example");
    }
}

TEST_F(OptionsTest, SwitchesStoredAsStringsAreIgnored)
{
    SetDword(L"No Nested Groups", 1);
    SetDword(L"Disable Heartbeat", 7);
    SetDword(L"Disable User Group Pruning", 0);
    ASSERT_TRUE(m_Options.Load());
    OPTION_VALUES values = m_Options.Values();
    EXPECT_TRUE(values.NoNestedGroups);
    EXPECT_TRUE(values.DisableHeartbeat);
    EXPECT_FALSE(values.DisableUserGroupPruning);

    // Strings, even "0", leave the values as they were.
    SetString(L"No Nested Groups", L"0");
    SetString(L"Disable Heartbeat", L"0");
    SetString(L"Disable User Group Pruning", L"1");
    ASSERT_TRUE(m_Options.Load());
    values = m_Options.Values();
    EXPECT_TRUE(values.NoNestedGroups);
    EXPECT_TRUE(values.DisableHeartbeat);
    EXPECT_FALSE(values.DisableUserGroupPruning);

    // Missing again: the defaults.
    Delete(L"No Nested Groups");
    Delete(L"Disable Heartbeat");
    Delete(L"Disable User Group Pruning");
    ASSERT_TRUE(m_Options.Load());
    values = m_Options.Values();
    EXPECT_FALSE(values.NoNestedGroups);
    EXPECT_FALSE(values.DisableHeartbeat);
    EXPECT_TRUE(values.DisableUserGroupPruning);
}

TEST_F(OptionsTest, ServerIsOnlyReadWhileReportingIsOn)
{
    SetString(L"Identification Server", L"ident.example");
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IdentificationServer, L"");

    SetDword(L"Identification Server Reporting", 1);
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IdentificationServer, L"ident.example");

    // Switched off, or stored with the wrong type, on a reload: the server in
    // memory stays.
    SetString(L"Identification Server", L"other.example");
    SetDword(L"Identification Server Reporting", 0);
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IdentificationServer, L"ident.example");
    SetString(L"Identification Server Reporting", L"1");
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IdentificationServer, L"ident.example");

    // On again with the server value missing: empty.
    SetDword(L"Identification Server Reporting", 1);
    Delete(L"Identification Server");
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IdentificationServer, L"");
}

TEST_F(OptionsTest, StringsOfAnotherTypeKeepTheirValueAndMissingOnesTheirDefault)
{
    SetString(L"Novell Tree", L"CORP-TREE");
    SetString(L"LDAP Group Class", L"groupOfNames");
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().NovellTree, L"CORP-TREE");
    EXPECT_EQ(m_Options.Values().LdapSettings.LdapGroupClass, L"groupOfNames");

    SetDword(L"Novell Tree", 1);
    const wchar_t expand[] = L"%GROUPCLASS%";
    SetRaw(L"LDAP Group Class", REG_EXPAND_SZ, expand, sizeof(expand));
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().NovellTree, L"CORP-TREE");
    EXPECT_EQ(m_Options.Values().LdapSettings.LdapGroupClass, L"groupOfNames");

    Delete(L"Novell Tree");
    Delete(L"LDAP Group Class");
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().NovellTree, L"");
    EXPECT_EQ(m_Options.Values().LdapSettings.LdapGroupClass, L"posixGroup");
}

TEST_F(OptionsTest, StringsWithoutTerminatorOrWithEmbeddedNul)
{
    const wchar_t unterminated[] = {L'u', L'i', L'd', L'2'};
    SetRaw(L"LDAP User Attribute", REG_SZ, unterminated, sizeof(unterminated));
    const wchar_t embedded[] = L"cn\0rest";
    SetRaw(L"LDAP Member Attribute", REG_SZ, embedded, sizeof(embedded));
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().LdapSettings.LdapUserAttribute, L"uid2");
    EXPECT_EQ(m_Options.Values().LdapSettings.LdapMemberAttribute, L"cn");
}

TEST_F(OptionsTest, IpChangeDelayIsReadWithoutATypeCheck)
{
    SetDword(L"IP Change Notification Delay", 0);
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IPChangeNotificationDelay, 0u);

    const BYTE binary[] = {30, 0, 0, 0};
    SetRaw(L"IP Change Notification Delay", REG_BINARY, binary, sizeof(binary));
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IPChangeNotificationDelay, 30u);

    // Too long to be four bytes: unchanged.
    const BYTE longer[] = {1, 0, 0, 0, 0, 0, 0, 0};
    SetRaw(L"IP Change Notification Delay", REG_BINARY, longer, sizeof(longer));
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IPChangeNotificationDelay, 30u);

    Delete(L"IP Change Notification Delay");
    ASSERT_TRUE(m_Options.Load());
    EXPECT_EQ(m_Options.Values().IPChangeNotificationDelay, 5u);
}

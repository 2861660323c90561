#include "identifiers/LdapServerAddress.h"

#include <gtest/gtest.h>

TEST(LdapServerAddress, PlainTextStaysAsItWasAndUrlsChooseTheTransport)
{
    const struct
    {
        const wchar_t* text;
        bool valid;
        const wchar_t* hostText;
        const wchar_t* hostName;
        ULONG port;
        bool secure;
    } cases[] = {
        {L"ldap.corp.example", true, L"ldap.corp.example", L"ldap.corp.example", 389, false},
        {L"127.0.0.1:3389", true, L"127.0.0.1:3389", L"127.0.0.1", 389, false},
        {L"ldap://ldap.corp.example", true, L"ldap.corp.example", L"ldap.corp.example", 389, false},
        {L"LDAP://ldap.corp.example:1389/", true, L"ldap.corp.example:1389", L"ldap.corp.example", 389, false},
        {L"ldaps://dc1.corp.example", true, L"dc1.corp.example", L"dc1.corp.example", 636, true},
        {L"ldapS://dc1.corp.example:3269/", true, L"dc1.corp.example:3269", L"dc1.corp.example", 636, true},
        {L"ldaps://", false, L"", L"", 0, false},
        {L"ldaps://:636", false, L"", L"", 0, false},
        {L"ldaps://dc1:0", false, L"", L"", 0, false},
        {L"ldaps://dc1:65536", false, L"", L"", 0, false},
        {L"ldaps://dc1:63x", false, L"", L"", 0, false},
        {L"ldaps://dc1/dc=corp,dc=example", false, L"", L"", 0, false},
        {L"ldap://user@dc1", false, L"", L"", 0, false},
        {L"ldap://dc1?x", false, L"", L"", 0, false},
        {L"ldaps://[::1]:636", false, L"", L"", 0, false},
        {L"http://dc1", false, L"", L"", 0, false},
    };
    for (const auto& test : cases)
    {
        LDAP_SERVER_ADDRESS address;
        std::wstring reason;
        ASSERT_EQ(ParseLdapServer(test.text, address, reason), test.valid) << test.text;
        if (!test.valid)
        {
            EXPECT_FALSE(reason.empty()) << test.text;
            continue;
        }
        EXPECT_EQ(address.HostText, test.hostText) << test.text;
        EXPECT_EQ(address.HostName, test.hostName) << test.text;
        EXPECT_EQ(address.DefaultPort, test.port) << test.text;
        EXPECT_EQ(address.Secure, test.secure) << test.text;
    }
}

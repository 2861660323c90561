#include "identifiers/NdsName.h"

#include <gtest/gtest.h>

TEST(NdsName, SplitsIntoTypelessNameAndContext)
{
    const struct
    {
        std::wstring dn;
        std::wstring name;
        std::wstring context;
    } cases[] = {
        {L"cn=u.ou=s.o=a", L"u.s.a", L"s.a"},
        {L"CN=Ann.OU=Sales.OU=East.O=Acme", L"Ann.Sales.East.Acme", L"Sales.East.Acme"},
        // A name without a context, and the client's name for nobody.
        {L"cn=admin", L"admin.", L""},
        {L"[root]", L".", L""},
        {L"", L".", L""},
        // Other types (country, locality) and untyped parts are not part of it.
        {L"cn=u.ou=s.o=a.c=us", L"u.s.a", L"s.a"},
        {L"cn=u.l=paris.o=a", L"u.a", L"a"},
        {L"ou=s.o=a", L".s.a", L"s.a"},
    };
    for (const auto& test : cases)
    {
        std::wstring name = L"stale";
        std::wstring context = L"stale";
        SplitNdsName(test.dn, name, context);
        EXPECT_EQ(name, test.name) << test.dn;
        EXPECT_EQ(context, test.context) << test.dn;
    }
}

TEST(NdsName, TypelessNameKeepsEveryNamingValueInOrder)
{
    const struct
    {
        std::wstring dn;
        std::wstring name;
    } cases[] = {
        {L"cn=g.ou=s.o=a", L"g.s.a"},
        {L"cn=g.c=us", L"g"},
        {L"c=us", L""},
        {L"O=Acme", L"Acme"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(GetTypelessName(test.dn), test.name) << test.dn;
}

#include "diag/Exception.h"
#include "identifiers/DirectoryGroups.h"
#include "identity/DistinguishedName.h"
#include "platform/ComHolders.h"

#include <gtest/gtest.h>
#include <variant>

namespace
{
struct DN_CASE
{
    const wchar_t* DN;
    const wchar_t* OUPath;
    const wchar_t* CommonName;
};

const DN_CASE DNCases[] = {
    {L"CN=bob,OU=Sales,OU=East,DC=corp,DC=example", L"Sales.East", L"bob"},
    {L"cn=bob,ou=Sales,dc=corp", L"Sales", L"bob"},
    {L"CN=Smith\\, John,OU=Sales,DC=corp,DC=example", L"Sales", L"Smith, John"},
    {L"CN=a\\\\b,OU=R\\,D,DC=corp", L"R,D", L"a\\b"},
    {L"CN=M\\C3\\BCller\\2C Jo,OU=Sales\\2CEast,DC=corp", L"Sales,East", L"M\u00fcller, Jo"},
    {L"CN=x/y,OU=a/b,DC=corp", L"a/b", L"x/y"},
    {L"OU=Sales,DC=corp", L"Sales", L""},
    {L"DC=corp,DC=example", L"", L""},
    {L"", L"", L""},
    {L"CN=trailing\\", L"", L"trailing\\"},
};

TEST(DistinguishedNameTest, OUPathAndCommonNameHonourEscapes)
{
    for (const DN_CASE& c : DNCases)
    {
        EXPECT_EQ(GetOUPath(c.DN), c.OUPath) << c.DN;
        EXPECT_EQ(GetCommonName(c.DN), c.CommonName) << c.DN;
    }
}

TEST(DistinguishedNameTest, SplitKeepsEscapesAndEmptyComponents)
{
    EXPECT_EQ(SplitDN(L"CN=Smith\\, John,OU=Sales,"),
              (std::vector<std::wstring>{L"CN=Smith\\, John", L"OU=Sales", L""}));
    EXPECT_EQ(SplitDN(L""), std::vector<std::wstring>{L""});
}

TEST(DirectoryGroupsTest, TokenGroupFilter)
{
    struct
    {
        const wchar_t* Sid;
        DWORD Attributes;
        bool Skipped;
    } cases[] = {
        {L"S-1-5-21-1-2-3-1104", SE_GROUP_ENABLED, false},
        {L"S-1-5-21-1-2-3-1104", 0, false},                          // disabled stays
        {L"S-1-5-21-1-2-3-1104", SE_GROUP_USE_FOR_DENY_ONLY, false}, // deny-only stays
        {L"S-1-5-21-1-2-3-1104", SE_GROUP_RESOURCE | SE_GROUP_ENABLED, true},
        {L"S-1-5-5-0-12345", SE_GROUP_LOGON_ID | SE_GROUP_ENABLED, true},
        {L"S-1-5-5-0-12345", 0x80000000, false}, // one of the two logon-id bits only
        {L"S-1-1-0", SE_GROUP_ENABLED, true},
        {L"S-1-2-0", SE_GROUP_ENABLED, true},
        {L"S-1-5-4", SE_GROUP_ENABLED, true},
        {L"S-1-5-11", SE_GROUP_ENABLED, true},
        {L"S-1-5-110", SE_GROUP_ENABLED, false}, // not "S-1-5-11" exactly
        {L"S-1-5-32-544", SE_GROUP_ENABLED, true},
        {L"S-1-5-15", SE_GROUP_ENABLED, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsSkippedTokenGroup(c.Sid, c.Attributes), c.Skipped) << c.Sid << " " << std::hex << c.Attributes;
}

TEST(DirectoryGroupsTest, AddGroupSkipsSameDNInAnyCase)
{
    USER_IDENTITY user;
    AddGroup(user, {L"Sales", L"CN=Sales,DC=corp"});
    AddGroup(user, {L"sales", L"cn=SALES,dc=CORP"});
    AddGroup(user, {L"Staff", L"CN=Staff,DC=corp"});
    ASSERT_EQ(user.Groups.size(), 2u);
    EXPECT_EQ(user.Groups[0].Name, L"Sales");
    EXPECT_EQ(user.Groups[1].Name, L"Staff");
}

TEST(DirectoryGroupsTest, SlashesAreEscapedForThePath)
{
    EXPECT_EQ(EscapeSlashes(L"CN=a/b,OU=c/d"), L"CN=a\\/b,OU=c\\/d");
    EXPECT_EQ(EscapeSlashes(L""), L"");
}

// A VT_ARRAY | VT_VARIANT of the given elements; numbers stand for non-string
// elements.
SAFEARRAY* MemberOfArray(const std::vector<std::variant<const wchar_t*, long>>& items)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(items.size()));
    for (LONG i = 0; i < static_cast<LONG>(items.size()); ++i)
    {
        CVariant element;
        if (std::holds_alternative<long>(items[i]))
        {
            element.Get()->vt = VT_I4;
            element.Get()->lVal = std::get<long>(items[i]);
        }
        else
        {
            element.Get()->vt = VT_BSTR;
            element.Get()->bstrVal = SysAllocString(std::get<const wchar_t*>(items[i]));
        }
        SafeArrayPutElement(array, &i, element.Get());
    }
    return array;
}

TEST(DirectoryGroupsTest, MemberOfValues)
{
    USER_IDENTITY user;
    CVariant one;
    one.Get()->vt = VT_BSTR;
    one.Get()->bstrVal = SysAllocString(L"CN=Smith\\, Team,OU=Groups,DC=corp");
    AddMemberOfGroups(user, one.Value());

    CVariant many;
    many.Get()->vt = VT_ARRAY | VT_VARIANT;
    many.Get()->parray = MemberOfArray({L"CN=Sales,DC=corp", 7L, L"cn=smith\\, team,ou=groups,dc=corp", L"CN=Staff"});
    AddMemberOfGroups(user, many.Value());

    ASSERT_EQ(user.Groups.size(), 3u);
    EXPECT_EQ(user.Groups[0].Name, L"Smith, Team");
    EXPECT_EQ(user.Groups[1].DN, L"CN=Sales,DC=corp");
    EXPECT_EQ(user.Groups[2].Name, L"Staff");
}

TEST(DirectoryGroupsTest, UnreadableMemberOfThrows)
{
    USER_IDENTITY user;
    CVariant number;
    number.Get()->vt = VT_I4;
    try
    {
        AddMemberOfGroups(user, number.Value());
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, 0u);
        EXPECT_EQ(exception.Message, L"[!] CIdentActiveDirectory::LookupGroups: Unhandled groups variant type 0x3");
    }

    CVariant noArray;
    noArray.Get()->vt = VT_ARRAY | VT_VARIANT;
    try
    {
        AddMemberOfGroups(user, noArray.Value());
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_NE(exception.Code, 0u);
        EXPECT_NE(exception.Message.find(L"Failed to get lower array bounds for groups array; HRESULT=0x"),
                  std::wstring::npos);
    }
    EXPECT_TRUE(user.Groups.empty());
}
} // namespace

// The agent's use of the Novell client, against the stand-in client loaded
// from the build folder as the agent loads the real one from the system folder.
#include "identifiers/NovellClient.h"

#include "identifiers/NovellLookup.h"
#include "standins/CallCountControl.h"
#include "standins/NovellControl.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <optional>
#include <string>
#include <vector>

namespace
{
std::wstring StandinFolder(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file = path;
    return file.substr(0, file.rfind(L'\\')) + L"\\standins\\" + name;
}

class NovellClientTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ClearCallCounts();
        ASSERT_TRUE(LoadNovellFunctionsFrom(StandinFolder(L"novell") + L"\\\\"));
    }

    CNovellScript m_Script;
};

using Groups = std::vector<std::pair<std::wstring, std::wstring>>;
} // namespace

TEST(NovellClientLoad, OneMissingFunctionFailsTheWholeLoad)
{
    // A client folder whose netwin32.dll lacks NWDSWhoAmI.
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring folder = std::wstring(temp) + L"kestrin-novell-missing";
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* dll : {L"calwin32.dll", L"locwin32.dll"})
        ASSERT_TRUE(CopyFileW((StandinFolder(L"novell") + L"\\" + dll).c_str(), (folder + L"\\" + dll).c_str(), FALSE));
    ASSERT_TRUE(CopyFileW((StandinFolder(L"novell-missing") + L"\\netwin32.dll").c_str(),
                          (folder + L"\\netwin32.dll").c_str(), FALSE));

    EXPECT_FALSE(LoadNovellFunctionsFrom(folder));
    EXPECT_EQ(NovellClient(), nullptr);
    NOVELL_LOOKUP lookup;
    DWORD obtained = 7;
    EXPECT_FALSE(LookupNovellUser(L"", NOVELL_LOOKUP_IDENTITY, lookup, obtained));
    EXPECT_EQ(obtained, 0u);
    EXPECT_FALSE(LoadNovellFunctionsFrom(folder + L"\\nowhere"));
}

TEST_F(NovellClientTest, AClientThatIsStillStartingIsWaitedForOnWindows2000Only)
{
    const struct
    {
        bool windows2000;
        DWORD failures;
        bool ready;
        DWORD calls;
    } cases[] = {
        {false, 0, true, 1},
        {false, 1, false, 1},
        {true, 3, true, 4},
        {true, 500, false, NovellInitCalls},
    };
    for (const auto& test : cases)
    {
        ScriptNovellCallsInitFailures(test.failures);
        ClearCallCounts();
        EXPECT_EQ(InitializeNovellClient(test.windows2000, 0), test.ready) << test.failures;
        EXPECT_EQ(ReadCallCount(L"NWCallsInit"), test.calls) << test.failures;
        EXPECT_EQ(ReadCallCount(L"NWInitUnicodeTables"), test.ready ? 1u : 0u) << test.failures;
    }
    ScriptNovellCallsInitFailures(0);
    ScriptNovellError(L"NWInitUnicodeTables", -1);
    EXPECT_FALSE(InitializeNovellClient(false, 0));
}

TEST_F(NovellClientTest, LookupNamesTheUserAndReadsGroupsOnlyWhenAsked)
{
    const struct
    {
        const wchar_t* whoAmI;
        std::optional<std::vector<std::wstring>> groups; // of cn=u.ou=s.o=a
        DWORD mode;
        DWORD obtained;
        const wchar_t* dn;
        const wchar_t* name;
        const wchar_t* ou;
        Groups expected;
        DWORD reads;
    } cases[] = {
        {L"CN=U.OU=S.O=A",
         std::vector<std::wstring>{L"CN=G.OU=S.O=A", L"!unreadable", L"c=us", L"cn=h.o=a"},
         NOVELL_LOOKUP_IDENTITY | NOVELL_LOOKUP_GROUPS,
         3,
         L"cn=u.ou=s.o=a",
         L"u.s.a",
         L"s.a",
         {{L"cn=g.ou=s.o=a", L"g.s.a"}, {L"cn=h.o=a", L"h.a"}},
         1},
        // The poll's lookup reads no groups.
        {L"CN=U.OU=S.O=A",
         std::vector<std::wstring>{L"cn=g.o=a"},
         NOVELL_LOOKUP_IDENTITY,
         1,
         L"cn=u.ou=s.o=a",
         L"u.s.a",
         L"s.a",
         {},
         0},
        // An object without "Group Membership": no groups, still read.
        {L"CN=U.OU=S.O=A", std::nullopt, NOVELL_LOOKUP_GROUPS, 3, L"cn=u.ou=s.o=a", L"u.s.a", L"s.a", {}, 1},
        // Not logged in to a tree: no names and no groups.
        {nullptr, std::nullopt, NOVELL_LOOKUP_IDENTITY | NOVELL_LOOKUP_GROUPS, 1, L"", L"", L"", {}, 0},
    };
    for (const auto& test : cases)
    {
        ClearNovellScript();
        if (test.whoAmI)
            ScriptNovellWhoAmI(test.whoAmI);
        ScriptNovellObject(L"cn=u.ou=s.o=a", test.groups);
        ClearCallCounts();
        NOVELL_LOOKUP lookup;
        DWORD obtained = 0;
        ASSERT_TRUE(LookupNovellUser(L"", test.mode, lookup, obtained)) << test.dn;
        EXPECT_EQ(obtained, test.obtained) << test.dn;
        EXPECT_EQ(lookup.DN, test.dn);
        EXPECT_EQ(lookup.Name, test.name);
        EXPECT_EQ(lookup.OU, test.ou);
        EXPECT_EQ(lookup.Groups, test.expected) << test.dn;
        EXPECT_EQ(ReadCallCount(L"NWDSRead"), test.reads) << test.dn;
        EXPECT_EQ(ReadCallCount(L"NWDSFreeContext"), 1u) << test.dn;
        EXPECT_EQ(ReadCallCount(L"NWDSFreeBuf"), test.reads ? 2u : 0u) << test.dn;
    }
}

TEST_F(NovellClientTest, LookupFailsOnTheCallsItNeeds)
{
    ScriptNovellWhoAmI(L"CN=U.OU=S.O=A");
    ScriptNovellTree(L"ACME");
    NOVELL_LOOKUP lookup;
    DWORD obtained = 0;
    EXPECT_TRUE(LookupNovellUser(L"acme", NOVELL_LOOKUP_IDENTITY, lookup, obtained));
    EXPECT_EQ(ReadNovellSeen(L"Tree"), L"acme");
    EXPECT_FALSE(LookupNovellUser(L"OTHER", NOVELL_LOOKUP_IDENTITY, lookup, obtained));

    for (const wchar_t* function : {L"NWDSCreateContextHandle", L"NWDSSetContext", L"NWDSWhoAmI"})
    {
        ClearNovellScript();
        ScriptNovellWhoAmI(L"CN=U.OU=S.O=A");
        ScriptNovellError(function, -1);
        EXPECT_FALSE(LookupNovellUser(L"", NOVELL_LOOKUP_IDENTITY, lookup, obtained)) << function;
    }
    // A failing group read leaves the groups unread, not the lookup failed.
    ClearNovellScript();
    ScriptNovellWhoAmI(L"CN=U.OU=S.O=A");
    ScriptNovellObject(L"cn=u.ou=s.o=a", std::vector<std::wstring>{L"cn=g.o=a"});
    ScriptNovellError(L"NWDSRead", -634);
    lookup = NOVELL_LOOKUP{};
    EXPECT_TRUE(LookupNovellUser(L"", NOVELL_LOOKUP_GROUPS, lookup, obtained));
    EXPECT_EQ(obtained, NOVELL_LOOKUP_IDENTITY);
    EXPECT_TRUE(lookup.Groups.empty());
}

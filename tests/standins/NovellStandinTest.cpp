// The Novell client stand-in (calwin32, locwin32 and netwin32.dll), loaded by
// full path as the program loads it from the system folder, answers as
// scripted.
#include "common/UniqueResource.h"
#include "identifiers/NovellApi.h"
#include "standins/CallCountControl.h"
#include "standins/NovellControl.h"

#include <windows.h>

#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace
{
constexpr char GroupMembership[] = "Group Membership";
constexpr char User[] = "cn=u.ou=s.o=a";

CModule LoadStandin(const wchar_t* folder, const wchar_t* dll)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file = path;
    file = file.substr(0, file.rfind(L'\\')) + L"\\standins\\" + folder + L"\\" + dll;
    return CModule(LoadLibraryW(file.c_str()));
}

template <typename Function> Function Find(const CModule& module, const char* name)
{
    return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(module.Get(), name)));
}

class NovellStandinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (CModule* module : {&m_Calwin, &m_Locwin, &m_Netwin})
            ASSERT_TRUE(*module);
        ClearCallCounts();
        ASSERT_EQ(0, Net<PFN_NWDSCreateContextHandle>("NWDSCreateContextHandle")(&m_Context));
        ASSERT_EQ(0, Net<PFN_NWDSAllocBuf>("NWDSAllocBuf")(NW_REQUEST_BUFFER, &m_Request));
        ASSERT_EQ(0, Net<PFN_NWDSAllocBuf>("NWDSAllocBuf")(NW_REPLY_BUFFER, &m_Reply));
    }

    template <typename Function> Function Net(const char* name) const { return Find<Function>(m_Netwin, name); }

    // The agent's reading of an object's groups, up to the values; every read
    // starts the request anew.
    NWRESULT ReadGroups(const char* object)
    {
        EXPECT_EQ(0, Net<PFN_NWDSInitBuf>("NWDSInitBuf")(m_Context, DSV_READ, m_Request));
        EXPECT_EQ(0, Net<PFN_NWDSPutAttrName>("NWDSPutAttrName")(m_Context, m_Request, GroupMembership));
        int32_t iteration = -1;
        return Net<PFN_NWDSRead>("NWDSRead")(m_Context, object, DS_ATTRIBUTE_VALUES, 0, m_Request, &iteration, m_Reply);
    }

    // Every value the reply holds, or "<failed>" for one that cannot be read.
    std::vector<std::string> ReadValues()
    {
        char name[NW_MAX_DN_BYTES] = {};
        uint32_t count = 0, syntax = 0;
        EXPECT_EQ(0, Net<PFN_NWDSGetAttrName>("NWDSGetAttrName")(m_Context, m_Reply, name, &count, &syntax));
        EXPECT_STREQ(GroupMembership, name);
        EXPECT_EQ(1u, syntax);
        std::vector<std::string> values;
        for (uint32_t i = 0; i < count; ++i)
        {
            char value[NW_MAX_DN_BYTES] = {};
            bool read = Net<PFN_NWDSGetAttrVal>("NWDSGetAttrVal")(m_Context, m_Reply, syntax, value) == 0;
            values.push_back(read ? value : "<failed>");
        }
        char past[NW_MAX_DN_BYTES] = {};
        EXPECT_EQ(-1, Net<PFN_NWDSGetAttrVal>("NWDSGetAttrVal")(m_Context, m_Reply, syntax, past));
        return values;
    }

    uint32_t AttributeCount()
    {
        uint32_t count = 99;
        EXPECT_EQ(0, Net<PFN_NWDSGetAttrCount>("NWDSGetAttrCount")(m_Context, m_Reply, &count));
        return count;
    }

    void TearDown() override
    {
        if (!m_Netwin)
            return;
        for (NW_BUF* buffer : {m_Request, m_Reply})
        {
            if (buffer)
                Net<PFN_NWDSFreeBuf>("NWDSFreeBuf")(buffer);
        }
        Net<PFN_NWDSFreeContext>("NWDSFreeContext")(m_Context);
    }

    CNovellScript m_Script;
    CModule m_Calwin = LoadStandin(L"novell", L"calwin32.dll");
    CModule m_Locwin = LoadStandin(L"novell", L"locwin32.dll");
    CModule m_Netwin = LoadStandin(L"novell", L"netwin32.dll");
    NWDSContextHandle m_Context = 0;
    NW_BUF* m_Request = nullptr;
    NW_BUF* m_Reply = nullptr;
};
} // namespace

TEST_F(NovellStandinTest, ReadListsTheScriptedGroupsInOrder)
{
    ScriptNovellObject(L"cn=u.ou=s.o=a", std::vector<std::wstring>{L"cn=staff.o=a", L"cn=sales.ou=s.o=a"});
    ASSERT_EQ(0, ReadGroups("CN=U.OU=S.O=A"));
    EXPECT_EQ(L"CN=U.OU=S.O=A", ReadNovellSeen(L"Read"));
    ASSERT_EQ(1u, AttributeCount());
    EXPECT_EQ((std::vector<std::string>{"cn=staff.o=a", "cn=sales.ou=s.o=a"}), ReadValues());
}

TEST_F(NovellStandinTest, AValueStartingWithABangFailsAndIsPassed)
{
    ScriptNovellObject(L"cn=u.ou=s.o=a", std::vector<std::wstring>{L"!broken", L"cn=staff.o=a"});
    ASSERT_EQ(0, ReadGroups(User));
    EXPECT_EQ((std::vector<std::string>{"<failed>", "cn=staff.o=a"}), ReadValues());
}

TEST_F(NovellStandinTest, ReadFailsForAnUnknownObjectOrOneWithoutGroups)
{
    ScriptNovellObject(L"cn=bare.o=a", std::nullopt);
    struct CASE
    {
        const char* Object;
        NWRESULT Result;
    } cases[] = {{"cn=nobody.o=a", ERR_NO_SUCH_ENTRY}, {"cn=bare.o=a", ERR_NO_SUCH_ATTRIBUTE}, {"", ERR_NO_SUCH_ENTRY}};
    for (const CASE& test : cases)
    {
        EXPECT_EQ(test.Result, ReadGroups(test.Object)) << test.Object;
        EXPECT_EQ(0u, AttributeCount()) << test.Object;
    }
}

TEST_F(NovellStandinTest, CallsInitFailsAsOftenAsScriptedThenSucceeds)
{
    auto init = Find<PFN_NWCallsInit>(m_Calwin, "NWCallsInit");
    ScriptNovellCallsInitFailures(2);
    EXPECT_EQ(-1, init(nullptr, nullptr));
    EXPECT_EQ(1u, ReadNovellCallsInitFailures());
    EXPECT_EQ(-1, init(nullptr, nullptr));
    EXPECT_EQ(0, init(nullptr, nullptr));
    EXPECT_EQ(0u, ReadNovellCallsInitFailures());
}

TEST_F(NovellStandinTest, AScriptedErrorReplacesTheWork)
{
    ScriptNovellError(L"NWCallsInit", -5);
    ScriptNovellError(L"NWDSWhoAmI", -7);
    ScriptNovellError(L"NWDSRead", -634);
    ScriptNovellError(L"NWLlocaleconv", 0);
    ScriptNovellObject(L"cn=u.ou=s.o=a", std::vector<std::wstring>{L"cn=staff.o=a"});
    char name[NW_MAX_DN_BYTES] = "untouched";
    NW_LCONV locale = {};
    EXPECT_EQ(-5, Find<PFN_NWCallsInit>(m_Calwin, "NWCallsInit")(nullptr, nullptr));
    EXPECT_EQ(-7, Net<PFN_NWDSWhoAmI>("NWDSWhoAmI")(m_Context, name));
    EXPECT_STREQ("untouched", name);
    EXPECT_EQ(-634, ReadGroups(User));
    EXPECT_EQ(nullptr, Find<PFN_NWLlocaleconv>(m_Locwin, "NWLlocaleconv")(&locale));
}

TEST_F(NovellStandinTest, WhoAmIIsRootUntilAUserIsScripted)
{
    auto whoAmI = Net<PFN_NWDSWhoAmI>("NWDSWhoAmI");
    char name[NW_MAX_DN_BYTES] = {};
    ASSERT_EQ(0, whoAmI(m_Context, name));
    EXPECT_STREQ("[Root]", name);
    ScriptNovellWhoAmI(L"CN=u.OU=s.O=a");
    ASSERT_EQ(0, whoAmI(m_Context, name));
    EXPECT_STREQ("CN=u.OU=s.O=a", name);
}

TEST_F(NovellStandinTest, SetContextRecordsTheTreeAndRefusesAnotherThanTheScripted)
{
    auto setContext = Net<PFN_NWDSSetContext>("NWDSSetContext");
    ScriptNovellTree(L"CORP_TREE");
    EXPECT_EQ(0, setContext(m_Context, DCK_TREE_NAME, "corp_tree"));
    EXPECT_EQ(-1, setContext(m_Context, DCK_TREE_NAME, "OTHER_TREE"));
    EXPECT_EQ(L"OTHER_TREE", ReadNovellSeen(L"Tree"));
    EXPECT_EQ(0, setContext(m_Context, DCK_NAME_CONTEXT, "ou=s.o=a"));
    EXPECT_EQ(L"ou=s.o=a", ReadNovellSeen(L"NameContext"));
    EXPECT_EQ(-1, setContext(m_Context, 99, "x"));
}

TEST_F(NovellStandinTest, TheLocaleIsCountryOneCodePage1252)
{
    NW_LCONV locale;
    std::memset(&locale, 0x55, sizeof(locale));
    ASSERT_EQ(&locale, Find<PFN_NWLlocaleconv>(m_Locwin, "NWLlocaleconv")(&locale));
    EXPECT_EQ(1, locale.CountryId);
    EXPECT_EQ(1252, locale.CodePage);
    EXPECT_EQ('\0', locale.Reserved[0]);
    auto initTables = Find<PFN_NWInitUnicodeTables>(m_Locwin, "NWInitUnicodeTables");
    EXPECT_EQ(0, initTables(1, 1252));
    EXPECT_EQ(-1, initTables(1, 437));
}

TEST_F(NovellStandinTest, NullPointersFail)
{
    char name[NW_MAX_DN_BYTES] = {};
    EXPECT_EQ(-1, Net<PFN_NWDSAllocBuf>("NWDSAllocBuf")(NW_REPLY_BUFFER, nullptr));
    EXPECT_EQ(-1, Net<PFN_NWDSFreeBuf>("NWDSFreeBuf")(nullptr)); // and nothing else happens
    EXPECT_EQ(-1, Net<PFN_NWDSWhoAmI>("NWDSWhoAmI")(m_Context, nullptr));
    EXPECT_EQ(-1, Net<PFN_NWDSRead>("NWDSRead")(m_Context, nullptr, DS_ATTRIBUTE_VALUES, 0, nullptr, nullptr, nullptr));
    EXPECT_EQ(-1, Net<PFN_NWDSGetAttrName>("NWDSGetAttrName")(m_Context, nullptr, name, nullptr, nullptr));
    EXPECT_EQ(nullptr, Find<PFN_NWLlocaleconv>(m_Locwin, "NWLlocaleconv")(nullptr));
}

TEST_F(NovellStandinTest, TheIncompleteClientLacksOnlyWhoAmI)
{
    CModule incomplete = LoadStandin(L"novell-missing", L"netwin32.dll");
    ASSERT_TRUE(incomplete);
    EXPECT_EQ(nullptr, Find<PFN_NWDSWhoAmI>(incomplete, "NWDSWhoAmI"));
    EXPECT_NE(nullptr, Find<PFN_NWDSRead>(incomplete, "NWDSRead"));
}

TEST_F(NovellStandinTest, CallsAreCounted)
{
    char name[NW_MAX_DN_BYTES] = {};
    Net<PFN_NWDSWhoAmI>("NWDSWhoAmI")(m_Context, name);
    Net<PFN_NWDSWhoAmI>("NWDSWhoAmI")(m_Context, name);
    EXPECT_EQ(-1, Net<NWRESULT(WINAPI*)()>("NWDSLogin")());
    EXPECT_EQ(2u, ReadCallCount(L"NWDSWhoAmI"));
    EXPECT_EQ(1u, ReadCallCount(L"NWDSLogin"));
    EXPECT_EQ(1u, ReadCallCount(L"NWDSCreateContextHandle"));
    EXPECT_EQ(0u, ReadCallCount(L"NWCallsInit"));
}

// The netapi32.dll stand-in, loaded in place of Wine's
// (WINEDLLOVERRIDES=netapi32=n,b), answers as scripted and as Windows documents.
#include "standins/CallCountControl.h"
#include "standins/NetApiControl.h"

#include <windows.h>

#include <gtest/gtest.h>
#include <lm.h>
#include <memory>
#include <string>
#include <vector>

namespace
{
struct NET_API_FREE
{
    void operator()(void* buffer) const { NetApiBufferFree(buffer); }
};
using CNetBuffer = std::unique_ptr<BYTE, NET_API_FREE>;

const std::vector<std::wstring> TwoGroups = {L"Domain Users", L"Engineering"};

// Every test starts from the same domain: CORP with controller \\DC1, a
// primary domain with \\PDC, and a domain whose lookup fails.
class NetApiStandinTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ScriptDomainController(L"CORP", L"\\\\DC1");
        ScriptDomainController(L"*", L"\\\\PDC");
        ScriptDomainControllerError(L"BROKEN", ERROR_NO_SUCH_DOMAIN);
        ScriptUserGroups(L"alice", TwoGroups);
        ScriptUserGroups(L"loner", {});
        ScriptUserGroupsError(L"locked", ERROR_ACCESS_DENIED);
    }

    CNetApiScript m_Script;
};
} // namespace

TEST_F(NetApiStandinTest, NetGetDCNameAnswersFromTheScript)
{
    struct CASE
    {
        const wchar_t* Domain;
        NET_API_STATUS Status;
        const wchar_t* Name;
    } cases[] = {{L"corp", NERR_Success, L"\\\\DC1"},
                 {nullptr, NERR_Success, L"\\\\PDC"},
                 {L"BROKEN", ERROR_NO_SUCH_DOMAIN, nullptr},
                 {L"ELSEWHERE", NERR_DCNotFound, nullptr}};
    for (const CASE& test : cases)
    {
        CNetBuffer name;
        LPBYTE buffer = nullptr;
        EXPECT_EQ(test.Status, NetGetDCName(nullptr, test.Domain, &buffer)) << (test.Domain ? test.Domain : L"null");
        name.reset(buffer);
        EXPECT_STREQ(test.Name, reinterpret_cast<const wchar_t*>(buffer)); // no buffer after a failure
    }
    ClearNetApiScript();
    LPBYTE buffer = nullptr;
    EXPECT_EQ(static_cast<NET_API_STATUS>(NERR_DCNotFound), NetGetDCName(nullptr, nullptr, &buffer));
}

TEST_F(NetApiStandinTest, NetUserGetGroupsListsTheGroupsAtLevelsZeroAndOne)
{
    for (DWORD level : {0u, 1u})
    {
        LPBYTE buffer = nullptr;
        DWORD read = 0, total = 0;
        ASSERT_EQ(NERR_Success,
                  NetUserGetGroups(L"dc1", L"ALICE", level, &buffer, MAX_PREFERRED_LENGTH, &read, &total));
        CNetBuffer owner(buffer);
        ASSERT_EQ(2u, read);
        EXPECT_EQ(2u, total);
        for (DWORD i = 0; i < read; ++i)
        {
            auto* info = reinterpret_cast<GROUP_USERS_INFO_1*>(buffer);
            EXPECT_EQ(TwoGroups[i],
                      level == 0 ? reinterpret_cast<GROUP_USERS_INFO_0*>(buffer)[i].grui0_name : info[i].grui1_name);
            if (level == 1)
            {
                EXPECT_EQ(static_cast<DWORD>(SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT),
                          info[i].grui1_attributes);
            }
        }
    }
}

TEST_F(NetApiStandinTest, NetUserGetGroupsHandsBackNoEntryForAnEmptyListOrAFailure)
{
    struct CASE
    {
        const wchar_t* Server;
        const wchar_t* User;
        DWORD Level;
        NET_API_STATUS Status;
    } cases[] = {{L"\\\\PDC", L"loner", 0, NERR_Success},         {L"\\\\DC2", L"alice", 0, ERROR_BAD_NETPATH},
                 {nullptr, L"alice", 0, ERROR_BAD_NETPATH},       {L"\\\\DC1", L"nobody", 0, NERR_UserNotFound},
                 {L"\\\\DC1", L"locked", 1, ERROR_ACCESS_DENIED}, {L"\\\\DC1", L"alice", 2, ERROR_INVALID_LEVEL}};
    for (const CASE& call : cases)
    {
        LPBYTE buffer = nullptr;
        DWORD read = 99, total = 99;
        EXPECT_EQ(call.Status,
                  NetUserGetGroups(call.Server, call.User, call.Level, &buffer, MAX_PREFERRED_LENGTH, &read, &total))
            << call.User << " at " << (call.Server ? call.Server : L"null");
        CNetBuffer owner(buffer);
        EXPECT_EQ(nullptr, buffer);
        EXPECT_EQ(0u, read);
        EXPECT_EQ(0u, total);
    }
}

TEST_F(NetApiStandinTest, SmallPreferredLengthReturnsWholeEntriesWithMoreData)
{
    LPBYTE buffer = nullptr;
    DWORD read = 0, total = 0;
    DWORD oneEntry = sizeof(GROUP_USERS_INFO_0) + sizeof(L"Domain Users");
    ASSERT_EQ(static_cast<NET_API_STATUS>(ERROR_MORE_DATA),
              NetUserGetGroups(L"\\\\DC1", L"alice", 0, &buffer, oneEntry + 1, &read, &total));
    CNetBuffer owner(buffer);
    EXPECT_EQ(1u, read);
    EXPECT_EQ(2u, total);
    ASSERT_NE(nullptr, buffer);
    EXPECT_STREQ(L"Domain Users", reinterpret_cast<GROUP_USERS_INFO_0*>(buffer)->grui0_name);
}

TEST_F(NetApiStandinTest, WineAnswersWhatIsNotScripted)
{
    LPBYTE buffer = nullptr;
    ASSERT_EQ(NERR_Success, NetWkstaGetInfo(nullptr, 100, &buffer));
    CNetBuffer owner(buffer);
    EXPECT_NE(L'\0', reinterpret_cast<WKSTA_INFO_100*>(buffer)->wki100_computername[0]);
    // What Wine's NTLM package (msv1_0) imports from netapi32, now the stand-in.
    LPBYTE user = nullptr;
    ASSERT_EQ(NERR_Success, NetWkstaUserGetInfo(nullptr, 0, &user));
    CNetBuffer userOwner(user);
    EXPECT_NE(L'\0', reinterpret_cast<WKSTA_USER_INFO_0*>(user)->wkui0_username[0]);
}

TEST_F(NetApiStandinTest, ScriptedCallsAreCounted)
{
    ClearCallCounts();
    LPBYTE ignored = nullptr;
    DWORD read = 0, total = 0;
    NetGetDCName(nullptr, L"ELSEWHERE", &ignored);
    NetGetDCName(nullptr, L"BROKEN", &ignored);
    NetUserGetGroups(L"\\\\DC1", L"nobody", 0, &ignored, MAX_PREFERRED_LENGTH, &read, &total);
    EXPECT_EQ(2u, ReadCallCount(L"NetGetDCName"));
    EXPECT_EQ(1u, ReadCallCount(L"NetUserGetGroups"));
}

#include "LogCapture.h"
#include "TestSupport.h"
#include "common/Handle.h"
#include "diag/Exception.h"
#include "identifiers/IdentActiveDirectory.h"
#include "platform/WtsFunctions.h"
#include "standins/StandinControl.h"

#include <atomic>
#include <gtest/gtest.h>
#include <lm.h>
#include <thread>
#include <vector>
#include <wtsapi32.h>

namespace
{
STANDIN_SESSION Session(DWORD id, DWORD state, DWORD protocol, const wchar_t* user, const wchar_t* domain)
{
    STANDIN_SESSION session;
    session.SessionId = id;
    session.State = state;
    session.Protocol = protocol;
    session.UserName = user;
    session.DomainName = domain;
    return session;
}

DWORD CurrentSession()
{
    DWORD session = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &session);
    return session;
}

bool ThreadIsImpersonating()
{
    HANDLE token = nullptr;
    if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token))
        return false;
    CloseHandle(token);
    return true;
}
} // namespace

TEST(WindowsIdentifier, SessionStatesFromTerminalServices)
{
    CStandinScript script;
    ScriptSession(Session(1, WTSActive, 0, L"bob", L"CORP"));
    ScriptSession(Session(2, WTSConnected, 2, L"", L""));
    ScriptSession(Session(3, WTSConnectQuery, 2, L"", L""));
    ScriptSession(Session(4, WTSDisconnected, 2, L"carol", L"CORP"));
    CIdentActiveDirectory identifier;
    COMPUTER_IDENTITY computer;

    USER_IDENTITY user;
    EXPECT_EQ(identifier.IdentifyUser(1, user, computer, true), IDENTIFY_OK);
    EXPECT_EQ(user.Name, L"bob");
    EXPECT_EQ(user.Domain, L"CORP");
    EXPECT_EQ(user.Flags, static_cast<uint32_t>(USER_NAME_VALID));

    for (DWORD waiting : {2u, 3u})
    {
        USER_IDENTITY atLogonScreen;
        EXPECT_EQ(identifier.IdentifyUser(waiting, atLogonScreen, computer, true), IDENTIFY_RETRY_LATER);
    }
    USER_IDENTITY untouched;
    untouched.Name = L"earlier";
    EXPECT_EQ(identifier.IdentifyUser(4, untouched, computer, true), IDENTIFY_NO_USER);
    EXPECT_EQ(untouched.Name, L"earlier");
    EXPECT_EQ(untouched.Flags, 0u);
    EXPECT_EQ(identifier.IdentifyUserOnly(1, untouched, true), IDENTIFY_NOT_POSSIBLE);
}

TEST(WindowsIdentifier, FailedSessionQueriesThrowWithTheSystemText)
{
    CStandinScript script;
    STANDIN_SESSION broken = Session(1, WTSActive, 0, L"bob", L"CORP");
    broken.QueryError = ERROR_ACCESS_DENIED;
    broken.QueryErrorClass = WTSUserName;
    ScriptSession(broken);
    CIdentActiveDirectory identifier;
    USER_IDENTITY user;
    try
    {
        identifier.IdentifyUser(1, user, COMPUTER_IDENTITY{}, true);
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, static_cast<DWORD>(ERROR_ACCESS_DENIED));
        EXPECT_EQ(exception.Message, L"[!] IdentifyUser: Failed to get WTS user name. Access denied. Error code = 5.");
    }
    try
    {
        identifier.IdentifyUser(9, user, COMPUTER_IDENTITY{}, true);
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Message.find(L"[!] IdentifyUser: WTSQuerySessionInformation(WTSConnectState) failed. "),
                  0u);
    }
}

TEST(WindowsIdentifier, ShellOwnerWhenTerminalServicesAreNotReady)
{
    CExplorer explorer;
    CIdentActiveDirectory identifier;
    USER_IDENTITY user;
    ASSERT_EQ(identifier.IdentifyUser(CurrentSession(), user, COMPUTER_IDENTITY{}, false), IDENTIFY_OK);
    wchar_t account[256] = {};
    DWORD size = 256;
    GetUserNameW(account, &size);
    EXPECT_EQ(_wcsicmp(user.Name.c_str(), account), 0);
    EXPECT_FALSE(user.Domain.empty());
    EXPECT_EQ(user.Flags, static_cast<uint32_t>(USER_NAME_VALID));
}

TEST(WindowsIdentifier, LocalAccountsAndEmptyDomainsNeedNoDirectory)
{
    CStandinScript script;
    ScriptSession(Session(1, WTSActive, 0, L"bob", L""));
    ScriptSession(Session(2, WTSActive, 0, L"alice", L"pc-7"));
    CIdentActiveDirectory identifier;
    COMPUTER_IDENTITY computer;
    computer.Name = L"PC-7";
    for (DWORD session : {1u, 2u})
    {
        USER_IDENTITY user;
        EXPECT_EQ(identifier.IdentifyUser(session, user, computer, true), IDENTIFY_OK);
        EXPECT_EQ(user.Flags & USER_DN_VALID, 0u);
        EXPECT_TRUE(user.Groups.empty());
    }
}

TEST(WindowsIdentifier, ComputerNameAndWorkgroupFromTheWorkstation)
{
    CIdentActiveDirectory identifier;
    COMPUTER_IDENTITY computer;
    computer.Domain = L"earlier";
    EXPECT_EQ(identifier.GetComputerName(computer), 0);
    WKSTA_INFO_100* info = nullptr;
    ASSERT_EQ(NetWkstaGetInfo(nullptr, 100, reinterpret_cast<LPBYTE*>(&info)), static_cast<DWORD>(NERR_Success));
    EXPECT_EQ(computer.Name, info->wki100_computername);
    EXPECT_EQ(computer.Domain, info->wki100_langroup);
    NetApiBufferFree(info);
    EXPECT_EQ(computer.Flags, static_cast<uint32_t>(COMPUTER_NAME_VALID));
}

TEST(Impersonation, WithTheTerminalServicesToken)
{
    CLogCapture log;
    CStandinScript script;
    ScriptSession(Session(1, WTSActive, 0, L"bob", L"CORP"));
    ASSERT_TRUE(LoadWTSFunctions());
    ASSERT_NE(WTSQueryUserTokenPointer(), nullptr);
    CIdentActiveDirectory identifier;
    {
        CImpersonation impersonation(identifier, 1);
        EXPECT_TRUE(ThreadIsImpersonating());
        EXPECT_TRUE(impersonation.Revert());
    }
    EXPECT_FALSE(ThreadIsImpersonating());
    EXPECT_EQ(log.Text().find("[!]"), std::string::npos) << log.Text();
}

TEST(Impersonation, FallsBackToTheShellTokenWhenTerminalServicesFail)
{
    CLogCapture log;
    CStandinScript script;
    STANDIN_SESSION session = Session(CurrentSession(), WTSActive, 0, L"bob", L"CORP");
    session.TokenError = ERROR_NO_TOKEN;
    ScriptSession(session);
    CExplorer explorer;
    ASSERT_TRUE(LoadWTSFunctions());
    CIdentActiveDirectory identifier;
    {
        CImpersonation impersonation(identifier, CurrentSession());
        EXPECT_TRUE(ThreadIsImpersonating());
    }
    EXPECT_FALSE(ThreadIsImpersonating());
    auto lines = log.Lines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[1].rfind("[!] CIdentifier::Impersonate: Failed to get WTS user token.\r\n    ", 0), 0u);
    EXPECT_NE(lines[1].find("Error code = 1008."), std::string::npos);
}

// The token kept from one session's user is never used for another session
// whose own token cannot be had: that session's shell gives one instead.
TEST(Impersonation, AnotherSessionsKeptTokenIsNotUsedAgain)
{
    struct CTokenView : CIdentActiveDirectory
    {
        LUID TokenId()
        {
            TOKEN_STATISTICS statistics{};
            DWORD size = 0;
            GetTokenInformation(Token(), TokenStatistics, &statistics, sizeof(statistics), &size);
            return statistics.TokenId;
        }
    };
    CLogCapture log;
    CStandinScript script;
    constexpr DWORD Other = 7;
    ScriptSession(Session(Other, WTSActive, 0, L"ann", L"CORP"));
    STANDIN_SESSION own = Session(CurrentSession(), WTSActive, 0, L"bob", L"CORP");
    own.TokenError = ERROR_NO_TOKEN;
    ScriptSession(own);
    CExplorer explorer;
    ASSERT_TRUE(LoadWTSFunctions());
    CTokenView identifier;
    LUID first{}, second{};
    {
        CImpersonation impersonation(identifier, Other);
        first = identifier.TokenId();
    }
    {
        CImpersonation impersonation(identifier, CurrentSession());
        EXPECT_TRUE(ThreadIsImpersonating());
        second = identifier.TokenId();
    }
    EXPECT_FALSE(first.LowPart == second.LowPart && first.HighPart == second.HighPart);
}

TEST(Impersonation, WithoutTheFunctionTheShellTokenIsUsed)
{
    CLogCapture log;
    // LoadWTSFunctions is never called in this test's process: the function
    // is not available, as on systems that lack it.
    if (WTSQueryUserTokenPointer())
        GTEST_SKIP() << "needs a process of its own, as CTest runs it";
    CExplorer explorer;
    CIdentActiveDirectory identifier;
    {
        CImpersonation impersonation(identifier, CurrentSession());
        EXPECT_TRUE(ThreadIsImpersonating());
    }
    EXPECT_EQ(log.Text().find("[!]"), std::string::npos) << log.Text();
}

TEST(Impersonation, ConcurrentIdentificationsKeepTheirTokens)
{
    CStandinScript script;
    ScriptSession(Session(1, WTSActive, 0, L"bob", L"CORP"));
    ASSERT_TRUE(LoadWTSFunctions());
    CIdentActiveDirectory identifier;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t)
        threads.emplace_back(
            [&]
            {
                for (int i = 0; i < 40; ++i)
                {
                    try
                    {
                        CImpersonation impersonation(identifier, 1);
                        if (!ThreadIsImpersonating() || !impersonation.Revert())
                            ++failures;
                    }
                    catch (const CException&)
                    {
                        ++failures;
                    }
                }
            });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
}

// The first identification waits for its session's shell, without the
// impersonation lock; the second, of another session, goes through meanwhile.
TEST(Impersonation, OneSessionsShellWaitDoesNotHoldUpAnother)
{
    CLogCapture log;
    CStandinScript script;
    STANDIN_SESSION waiting = Session(CurrentSession(), WTSActive, 0, L"bob", L"CORP");
    waiting.TokenError = ERROR_NO_TOKEN;
    ScriptSession(waiting);
    DWORD other = CurrentSession() + 6;
    ScriptSession(Session(other, WTSActive, 0, L"carol", L"CORP"));
    ASSERT_TRUE(LoadWTSFunctions());
    CIdentActiveDirectory identifier;

    auto impersonate = [&](DWORD session, std::atomic<bool>& impersonated)
    {
        try
        {
            CImpersonation impersonation(identifier, session);
            impersonated = ThreadIsImpersonating();
        }
        catch (const CException&)
        {
        }
    };
    std::atomic<bool> firstImpersonated{false}, secondImpersonated{false}, secondEnded{false};
    // No shell of that name runs: the first one waits for it.
    CShellValue shell;
    shell.Set(REG_SZ, L"kestrin-shell-not-started.exe");
    std::thread first([&] { impersonate(CurrentSession(), firstImpersonated); });
    bool firstWaits = false;
    for (int i = 0; i < 300 && !firstWaits; ++i, Sleep(100))
        firstWaits =
            log.Text().find("[!] CIdentifier::Impersonate: Failed to get WTS user token.") != std::string::npos;
    std::thread second(
        [&]
        {
            impersonate(other, secondImpersonated);
            secondEnded = true;
        });
    for (int i = 0; i < 300 && !secondEnded; ++i)
        Sleep(100);
    bool secondWentThrough = secondEnded;
    {
        // The shell the first one waits for, now found under its name.
        CExplorer explorer;
        shell.Set(REG_SZ, L"explorer.exe");
        second.join();
        first.join();
    }
    EXPECT_TRUE(firstWaits);
    EXPECT_TRUE(secondWentThrough);
    EXPECT_TRUE(secondImpersonated);
    EXPECT_TRUE(firstImpersonated);
}

// A revert on a thread that is not impersonating leaves another thread's
// impersonation, and the lock it holds, alone.
TEST(Impersonation, ARevertWithoutAnImpersonationIsHarmless)
{
    CStandinScript script;
    ScriptSession(Session(1, WTSActive, 0, L"bob", L"CORP"));
    ASSERT_TRUE(LoadWTSFunctions());
    CIdentActiveDirectory identifier;
    CHandle holding(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::atomic<bool> laterImpersonated{false};
    auto impersonate = [&](HANDLE signal, HANDLE waitFor)
    {
        try
        {
            CImpersonation impersonation(identifier, 1);
            if (signal)
                SetEvent(signal);
            if (waitFor)
                WaitForSingleObject(waitFor, 30000);
            else
                laterImpersonated = true;
        }
        catch (const CException&)
        {
        }
    };
    std::thread holder([&] { impersonate(holding.Get(), release.Get()); });
    bool held = WaitForSingleObject(holding.Get(), 30000) == WAIT_OBJECT_0;
    EXPECT_TRUE(identifier.RevertImpersonation());
    std::thread later([&] { impersonate(nullptr, nullptr); });
    // The holder still holds the lock: the later one must wait for it.
    Sleep(300);
    bool overlapped = laterImpersonated;
    SetEvent(release.Get());
    holder.join();
    later.join();
    EXPECT_TRUE(held);
    EXPECT_FALSE(overlapped);
    EXPECT_TRUE(laterImpersonated);
}

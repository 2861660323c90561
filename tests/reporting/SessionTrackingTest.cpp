#include "LogCapture.h"
#include "common/Handle.h"
#include "diag/Exception.h"
#include "platform/WtsFunctions.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"
#include "standins/StandinControl.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <wtsapi32.h>

namespace
{
STANDIN_SESSION Session(DWORD id, DWORD state, DWORD protocol, const wchar_t* user)
{
    STANDIN_SESSION session;
    session.SessionId = id;
    session.State = state;
    session.Protocol = protocol;
    session.UserName = user;
    session.DomainName = L"CORP";
    return session;
}

size_t CountLines(const std::vector<std::string>& lines, const std::string& prefix)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

// The terminal-services ready event, created by the test as the system would.
class CReadyEvent
{
public:
    explicit CReadyEvent(bool signalled) : m_Event(CreateEventW(nullptr, TRUE, signalled, L"Global\\TermSrvReadyEvent"))
    {
    }

private:
    CHandle m_Event;
};

class SessionTrackingTest : public ::testing::Test
{
protected:
    SessionTrackingTest() : m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_Identity(m_StopEvent.Get())
    {
        // Domain users are looked up impersonated, with the session's token
        // as the agent gets it.
        LoadWTSFunctions();
        m_Identity.Initialize(CIdentity::USER_TYPE_ACTIVE_DIRECTORY);
    }
    ~SessionTrackingTest() override { SetEvent(m_StopEvent.Get()); }

    CLogCapture m_Log;
    CStandinScript m_Script;
    CHandle m_StopEvent;
    CIdentity m_Identity;
};
} // namespace

TEST_F(SessionTrackingTest, FirstActiveConsoleOrRdpSessionIsTheUsers)
{
    CReadyEvent ready(true);
    ScriptSession(Session(0, WTSDisconnected, 0, L""));
    ScriptSession(Session(1, WTSActive, 1, L"ica-user")); // ICA: not a user session
    ScriptSession(Session(2, WTSActive, 2, L"rdp-user"));
    ScriptSession(Session(3, WTSActive, 0, L"console-user"));
    DWORD session = 0, state = 99;
    EXPECT_EQ(m_Identity.GetLogonUserSession(session, state), static_cast<DWORD>(SESSION_OK));
    EXPECT_EQ(session, 2u);
    EXPECT_EQ(state, static_cast<DWORD>(WTSActive));

    USER_IDENTITY user;
    DWORD found = 0;
    EXPECT_EQ(m_Identity.IdentifyCurrentUser(found, user, false), static_cast<DWORD>(SESSION_OK));
    EXPECT_EQ(found, 2u);
    EXPECT_EQ(user.Name, L"rdp-user");
}

TEST_F(SessionTrackingTest, EnumerationFailures)
{
    ScriptEnumerateError(ERROR_APP_WRONG_OS);
    DWORD session = 99, state = 99;
    EXPECT_EQ(m_Identity.GetLogonUserSession(session, state), static_cast<DWORD>(SESSION_OK));
    EXPECT_EQ(session, 0u);
    ScriptEnumerateError(RPC_S_INVALID_BINDING);
    session = 99;
    EXPECT_EQ(m_Identity.GetLogonUserSession(session, state), static_cast<DWORD>(SESSION_OK));
    EXPECT_EQ(session, 0u);
    ScriptEnumerateError(ERROR_ACCESS_DENIED);
    EXPECT_THROW(m_Identity.GetLogonUserSession(session, state), CException);
    ScriptEnumerateError(std::nullopt);
    ScriptNoSessions();
    EXPECT_EQ(m_Identity.GetLogonUserSession(session, state), static_cast<DWORD>(SESSION_NO_USER));
}

TEST_F(SessionTrackingTest, LogoffOfAnotherSessionIsIgnored)
{
    CReadyEvent ready(true);
    USER_IDENTITY user;
    user.Name = L"bob";
    DWORD userSession = 1;
    IDENTITY snapshot;
    m_Identity.GetIdentity(snapshot, nullptr, nullptr, &user, &userSession);
    m_Identity.HandleLogoff(3);
    EXPECT_EQ(CountLines(m_Log.Lines(), "[IDENT] HandleLogoff: SessionID=3, UserSessionID=1 - IGNORE"), 1u);
    m_Identity.GetIdentity(snapshot);
    EXPECT_EQ(snapshot.User.Name, L"bob");
    EXPECT_EQ(m_Identity.UserSessionId(), 1u);
}

TEST_F(SessionTrackingTest, LogoffOfTheUsersSessionClearsTheUser)
{
    CReadyEvent ready(true);
    USER_IDENTITY user;
    user.Flags = USER_NAME_VALID;
    user.Name = L"bob";
    user.Groups = {{L"Staff", L"CN=Staff"}};
    DWORD userSession = 1;
    IDENTITY snapshot;
    m_Identity.GetIdentity(snapshot, nullptr, nullptr, &user, &userSession);
    m_Identity.HandleLogoff(1);
    m_Identity.GetIdentity(snapshot);
    EXPECT_EQ(snapshot.User.Name, L"");
    EXPECT_TRUE(snapshot.User.Groups.empty());
    EXPECT_EQ(snapshot.User.Flags, static_cast<uint32_t>(USER_NAME_VALID));
    EXPECT_EQ(m_Identity.UserSessionId(), NO_USER_SESSION);
    EXPECT_EQ(CountLines(m_Log.Lines(), "[IDENT] HandleLogoff: SessionID=1"), 1u);
}

TEST_F(SessionTrackingTest, ConsoleConnectToAnUnseenSessionDoesNothing)
{
    CReadyEvent ready(true);
    ScriptSession(Session(2, WTSActive, 0, L"bob"));
    m_Identity.HandleConsoleConnect(2);
    IDENTITY snapshot;
    m_Identity.GetIdentity(snapshot);
    EXPECT_EQ(snapshot.User.Name, L"");
    EXPECT_EQ(CountLines(m_Log.Lines(), "[IDENT] HandleConsoleConnect"), 0u);

    // Once the session has been seen logging on, a connect identifies it.
    m_Identity.HandleLogon(2);
    m_Identity.HandleConsoleConnect(2);
    EXPECT_EQ(CountLines(m_Log.Lines(), "[IDENT] HandleConsoleConnect: Found logon session 2 for user"), 1u);
    m_Identity.GetIdentity(snapshot);
    EXPECT_EQ(snapshot.User.Name, L"bob");
    EXPECT_EQ(m_Identity.UserSessionId(), 2u);
}

TEST_F(SessionTrackingTest, LogonBeforeTerminalServicesAreReadyQueuesARetry)
{
    CReadyEvent notYet(false);
    ScriptSession(Session(1, WTSActive, 0, L"bob"));
    EXPECT_EQ(m_Identity.HandleLogon(1), static_cast<DWORD>(SESSION_RETRY_QUEUED));
    RETRY_ITEM retry;
    ASSERT_TRUE(m_Identity.PeekRetry(retry));
    EXPECT_EQ(retry.RetryKind, static_cast<DWORD>(RETRY_ITEM::KIND_IDENTIFY));
    EXPECT_EQ(retry.ReportType, REPORT_USER);
    EXPECT_EQ(retry.Value, 1u);
    EXPECT_EQ(CountLines(m_Log.Lines(), "[IDENT] HandleLogon: SessionID=1"), 1u);
}

TEST_F(SessionTrackingTest, LogonIdentifiesTheSessionsUser)
{
    CReadyEvent ready(true);
    ScriptSession(Session(1, WTSActive, 2, L"bob"));
    ScriptSession(Session(5, WTSActive, 1, L"ica"));
    EXPECT_EQ(m_Identity.HandleLogon(1), static_cast<DWORD>(SESSION_OK));
    EXPECT_EQ(m_Identity.HandleLogon(5), static_cast<DWORD>(SESSION_NO_USER));
    IDENTITY snapshot;
    m_Identity.GetIdentity(snapshot);
    EXPECT_EQ(snapshot.User.Name, L"bob");
    EXPECT_EQ(snapshot.User.Domain, L"CORP");
    EXPECT_EQ(m_Identity.UserSessionId(), 1u);
    EXPECT_EQ(CountLines(m_Log.Lines(), "[IDENT] Logon user identity:\r\n    User Name:   CORP\\bob"), 1u);
}

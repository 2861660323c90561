#include "agent/UserAgent.h"

#include "LogCapture.h"
#include "config/Options.h"

#include <algorithm>
#include <gtest/gtest.h>

TEST(EffectiveNetworkType, FromConfiguredTypeAndNovellClient)
{
    struct Case
    {
        DWORD Configured;
        bool Detected, Initialized;
        DWORD Effective, IdentityType;
    };
    const Case cases[] = {
        {NETWORK_DETECT, false, false, NETWORK_MICROSOFT, NETWORK_DETECT},
        {NETWORK_DETECT, true, false, NETWORK_MICROSOFT, NETWORK_DETECT},
        {NETWORK_DETECT, true, true, NETWORK_NOVELL, NETWORK_DETECT},
        {NETWORK_MICROSOFT, true, true, NETWORK_MICROSOFT, NETWORK_MICROSOFT},
        {NETWORK_NOVELL, false, false, NETWORK_NOVELL, NETWORK_NOVELL},
        {NETWORK_LDAP, true, true, NETWORK_LDAP, NETWORK_LDAP},
        {9, false, false, NETWORK_MICROSOFT, NETWORK_DETECT},
    };
    for (const auto& c : cases)
    {
        DWORD identityType = 77;
        EXPECT_EQ(EffectiveNetworkTypeFor(c.Configured, c.Detected, c.Initialized, identityType), c.Effective)
            << c.Configured << c.Detected << c.Initialized;
        EXPECT_EQ(identityType, c.IdentityType) << c.Configured;
    }
}

TEST(UserAgentSessionChange, EachKnownEventLogsItsLine)
{
    CLogCapture log;
    CUserAgent agent;
    const char* names[] = {"WTS_CONSOLE_CONNECT",   "WTS_CONSOLE_DISCONNECT", "WTS_REMOTE_CONNECT",
                           "WTS_REMOTE_DISCONNECT", "WTS_SESSION_LOGON",      "WTS_SESSION_LOGOFF",
                           "WTS_SESSION_LOCK",      "WTS_SESSION_UNLOCK",     "WTS_SESSION_REMOTE_CONTROL"};
    for (DWORD type = 0; type <= 11; ++type)
    {
        WTSSESSION_NOTIFICATION notification{sizeof(notification), 40 + type};
        agent.OnSessionChange(type, &notification);
    }
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 1u + 9u) << log.Text();
    for (DWORD type = 1; type <= 9; ++type)
        EXPECT_EQ(lines[type], std::string("[IDENT] Session change: ") + names[type - 1] +
                                   "; SessionID=" + std::to_string(40 + type));
}

TEST(UserAgentStop, SignalStopSetsTheStopEventOfTheProcessAgent)
{
    CLogCapture log;
    SignalStop(); // no agent yet: only the line
    CUserAgent agent;
    SetTheAgent(&agent);
    EXPECT_EQ(WaitForSingleObject(agent.StopEvent(), 0), static_cast<DWORD>(WAIT_TIMEOUT));
    SignalStop();
    SetTheAgent(nullptr);
    EXPECT_EQ(WaitForSingleObject(agent.StopEvent(), 0), static_cast<DWORD>(WAIT_OBJECT_0));

    // Run returns at once once the event is set.
    agent.Run();
    auto lines = log.Lines();
    // Wine's own CancelIPChangeNotify fails, so its request is left in place
    // (with a line); Windows' cancels.
    lines.erase(
        std::remove_if(lines.begin(), lines.end(),
                       [](const std::string& line)
                       { return line.rfind("[!] CUserAgent: IP address change notification could not", 0) == 0; }),
        lines.end());
    ASSERT_EQ(lines.size(), 6u) << log.Text();
    EXPECT_EQ(lines[1], "Signaling the service to stop");
    EXPECT_EQ(lines[2], "Signaling the service to stop");
    EXPECT_EQ(lines[3], "CUserAgent: service running");
    EXPECT_EQ(lines[4], "Shutdown Signalled");
    EXPECT_EQ(lines[5], "CUserAgent: thread stopped");
}

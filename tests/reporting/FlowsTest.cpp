#include "LogCapture.h"
#include "common/Handle.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"
#include "reporting/TestPeer.h"

#include <algorithm>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace
{
size_t CountLines(const std::vector<std::string>& lines, const std::string& prefix)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&](const std::string& line) { return line.rfind(prefix, 0) == 0; });
}

bool WaitForLine(CLogCapture& log, const std::string& prefix, unsigned timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (CountLines(log.Lines(), prefix) == 0)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return true;
}

// An initialised identity reporting to the given server, with a stop event
// of its own that ends its threads.
class CTestIdentity
{
public:
    explicit CTestIdentity(const wchar_t* server, DWORD heartbeatMs = CHeartbeatThread::DefaultPeriodMs)
        : m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_Identity(m_StopEvent.Get(), heartbeatMs)
    {
        m_Identity.Initialize(CIdentity::USER_TYPE_ACTIVE_DIRECTORY);
        m_Identity.SetServerName(server);
    }
    ~CTestIdentity() { Stop(); }
    // True when both threads ended within the (generous) bound.
    bool Stop()
    {
        SetEvent(m_StopEvent.Get());
        return m_Identity.WaitForThreads(30000);
    }
    CIdentity* operator->() { return &m_Identity; }

private:
    CHandle m_StopEvent;
    CIdentity m_Identity;
};
} // namespace

TEST(Flows, RefusedConnectionQueuesOneReportRetry)
{
    CLogCapture log;
    CTestIdentity identity(L"127.0.0.31"); // nobody listens there
    identity->TriggerUserChange(false);
    RETRY_ITEM retry;
    ASSERT_TRUE(identity->PeekRetry(retry));
    EXPECT_EQ(identity->PendingRetries(), 1u);
    EXPECT_EQ(retry.RetryKind, static_cast<DWORD>(RETRY_ITEM::KIND_REPORT));
    EXPECT_EQ(retry.ReportType, REPORT_NO_USER);
    EXPECT_EQ(retry.Value, NO_USER_SESSION);
    EXPECT_EQ(retry.Remaining, 15u);
    EXPECT_EQ(
        CountLines(log.Lines(), "[!] CIdentity::TriggerUserChange: Failed to report to ident server (retry).\r\n"), 1u);
}

TEST(Flows, ErrorReplyIsFinalForAFlow)
{
    CLogCapture log;
    CTestPeer peer("127.0.0.32");
    peer.SetReply(CTestPeer::V3Reply(0x8010, 1, 5));
    CTestIdentity identity(L"127.0.0.32");
    identity->TriggerUserChange(false);
    EXPECT_EQ(identity->PendingRetries(), 0u);
    EXPECT_EQ(CountLines(log.Lines(), "[!] CIdentity::TriggerUserChange: Failed to report to ident server; [!] "
                                      "CIdentity::Report: Error in response (v3): 0x5 (no retry)"),
              1u);
}

TEST(Flows, UnresolvableServerQueuesAResolveRetry)
{
    CLogCapture log;
    CTestIdentity identity(L"any");
    identity->TriggerUserChange(false);
    RETRY_ITEM retry;
    ASSERT_TRUE(identity->PeekRetry(retry));
    EXPECT_EQ(retry.RetryKind, static_cast<DWORD>(RETRY_ITEM::KIND_RESOLVE));
    EXPECT_EQ(retry.Remaining, 100u);
    EXPECT_EQ(CountLines(log.Lines(), "[!] CIdentity::TriggerUserChange: Failed to obtain the Identification Server IP "
                                      "address; retrying."),
              1u);
}

TEST(Flows, NoServerMeansNothingSentAndNothingQueued)
{
    CLogCapture log;
    CTestIdentity identity(L"");
    identity->TriggerUserChange(true);
    identity->IdentifyStartup();
    EXPECT_EQ(identity->PendingRetries(), 0u);
    EXPECT_EQ(CountLines(log.Lines(), "[!] CIdentity::Report"), 0u);
    EXPECT_EQ(CountLines(log.Lines(), "[IDENT] Startup computer identity:"), 1u);
}

TEST(Flows, StartupReportForcesItsFlags)
{
    CLogCapture log;
    CTestPeer peer("127.0.0.33");
    CTestIdentity identity(L"127.0.0.33");
    identity->IdentifyStartup();
    auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ReportTypeOf(requests[0]), REPORT_STARTUP);
    // Agent and computer blocks forced on; without a user session no user
    // blocks.
    EXPECT_EQ(requests[0][12] << 8 | requests[0][13], 0x83E);
    EXPECT_EQ(CountLines(log.Lines(), "[IDENT] IdentifyStartup: Successfully reported user information to "
                                      "Identification Server (127.0.0.33)"),
              1u);
}

TEST(RetryQueue, NewestRequestWinsWithAFreshBudget)
{
    CTestIdentity identity(L"");
    identity->QueueUserRetry(7, RETRY_ITEM::KIND_REPORT, REPORT_USER);
    identity->QueueUserRetry(NO_USER_SESSION, RETRY_ITEM::KIND_IDENTIFY, REPORT_NO_USER);
    RETRY_ITEM retry;
    ASSERT_TRUE(identity->PeekRetry(retry));
    EXPECT_EQ(identity->PendingRetries(), 1u);
    EXPECT_EQ(retry.Value, NO_USER_SESSION);
    EXPECT_EQ(retry.RetryKind, static_cast<DWORD>(RETRY_ITEM::KIND_IDENTIFY));
    EXPECT_EQ(retry.ReportType, REPORT_NO_USER);
    EXPECT_EQ(retry.Remaining, 100u);
}

TEST(RetryThread, ReportRetriesFifteenTimesThenGivesUp)
{
    CLogCapture log;
    CTestIdentity identity(L"127.0.0.34"); // refused every time
    ASSERT_TRUE(identity->StartThreads());
    identity->QueueUserRetry(NO_USER_SESSION, RETRY_ITEM::KIND_REPORT, REPORT_STARTUP);
    ASSERT_TRUE(WaitForLine(
        log, "CIdentity::ProcessUserRetry: Failed to report to Identification Server (127.0.0.34) (no retry)", 30000));
    EXPECT_EQ(CountLines(log.Lines(), "[!] CIdentity::Report: Failed to report (v3)."), 15u);
    EXPECT_EQ(identity->PendingRetries(), 0u);
}

TEST(RetryThread, RetriesEvenAnErrorReplyUntilItIsAccepted)
{
    CLogCapture log;
    CTestPeer peer("127.0.0.35");
    peer.SetReply(CTestPeer::V3Reply(0x8010, 1, 5));
    CTestIdentity identity(L"127.0.0.35");
    ASSERT_TRUE(identity->StartThreads());
    identity->QueueUserRetry(NO_USER_SESSION, RETRY_ITEM::KIND_REPORT, REPORT_USER);
    ASSERT_TRUE(peer.WaitForRequests(2, 10000));
    peer.SetReply(CTestPeer::V3Reply());
    ASSERT_TRUE(WaitForLine(log,
                            "[IDENT] ProcessUserRetry: Successfully reported user information to Identification "
                            "Server (127.0.0.35)",
                            10000));
    EXPECT_EQ(identity->PendingRetries(), 0u);
}

TEST(RetryThread, ServerComingUpLaterReceivesTheRetry)
{
    CLogCapture log;
    CTestIdentity identity(L"127.0.0.36");
    ASSERT_TRUE(identity->StartThreads());
    identity->TriggerUserChange(false);
    std::this_thread::sleep_for(std::chrono::milliseconds(1600));
    CTestPeer peer("127.0.0.36");
    ASSERT_TRUE(peer.WaitForRequests(1, 10000));
    EXPECT_EQ(ReportTypeOf(peer.Requests()[0]), REPORT_NO_USER);
}

TEST(IdentityThreads, StopEventEndsBothWithTheirLines)
{
    CLogCapture log;
    {
        CTestIdentity identity(L"");
        ASSERT_TRUE(identity->StartThreads());
        ASSERT_TRUE(WaitForLine(log, "CUserIdentThread: started", 5000));
        identity.Stop();
    }
    auto lines = log.Lines();
    EXPECT_EQ(CountLines(lines, "CHeartbeatThread: started"), 1u);
    EXPECT_EQ(CountLines(lines, "CHeartbeatThread: stopped"), 1u);
    EXPECT_EQ(CountLines(lines, "CUserIdentThread: stopped"), 1u);
}

// Flow reports keep restarting the period, so heartbeats come only where
// the reports left a whole period free. How many such periods there were is
// measured, not assumed: a loaded machine may stall the reports for longer.
TEST(Heartbeat, ComesEveryPeriodUnlessAReportRestartsIt)
{
    using Clock = std::chrono::steady_clock;
    constexpr auto Period = std::chrono::milliseconds(1000);
    constexpr auto TimerSlack = std::chrono::milliseconds(50);
    CLogCapture log;
    CTestPeer peer("127.0.0.37");
    CTestIdentity identity(L"127.0.0.37", static_cast<DWORD>(Period.count()));
    ASSERT_TRUE(identity->StartThreads());
    ASSERT_TRUE(peer.WaitForRequests(1, 30000));
    EXPECT_EQ(ReportTypeOf(peer.Requests()[0]), REPORT_HEARTBEAT);

    // Heartbeat waits fit only between two reports' restarts, each made
    // somewhere between the start and the end of its report, or between the
    // first heartbeat and the first restart.
    Clock::time_point lastStart = peer.ArrivalTimes()[0];
    auto freePeriodsUntil = [&](Clock::time_point until)
    { return static_cast<long>((until - lastStart + TimerSlack) / Period); };
    Clock::time_point end = Clock::now() + 5 * Period;
    long freePeriods = 0;
    while (Clock::now() < end)
    {
        Clock::time_point start = Clock::now();
        identity->TriggerUserChange(false);
        freePeriods += freePeriodsUntil(Clock::now());
        lastStart = start;
    }
    Clock::time_point phaseEnd = Clock::now();
    freePeriods += freePeriodsUntil(phaseEnd);
    auto requests = peer.Requests();
    auto arrivals = peer.ArrivalTimes();
    long heartbeats = 0;
    for (size_t i = 1; i < requests.size(); ++i)
        heartbeats += arrivals[i] <= phaseEnd && ReportTypeOf(requests[i]) == REPORT_HEARTBEAT;
    EXPECT_LE(heartbeats, freePeriods);

    size_t quiet = peer.RequestCount();
    ASSERT_TRUE(peer.WaitForRequests(quiet + 1, 30000));
    EXPECT_EQ(ReportTypeOf(peer.Requests()[quiet]), REPORT_HEARTBEAT);
}

TEST(IdentityThreads, StopEndsARetryThatKeepsFailing)
{
    CLogCapture log;
    CTestIdentity identity(L"any"); // never resolves: the retry is put back again and again
    ASSERT_TRUE(identity->StartThreads());
    identity->QueueUserRetry(NO_USER_SESSION, RETRY_ITEM::KIND_RESOLVE, REPORT_USER);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_TRUE(identity.Stop());
    EXPECT_EQ(CountLines(log.Lines(), "CUserIdentThread: stopped"), 1u);
    EXPECT_EQ(CountLines(log.Lines(), "CIdentity::ProcessUserRetry: Failed to resolve"), 0u);
}

#include "LogCapture.h"
#include "common/Handle.h"
#include "config/Options.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"
#include "reporting/TestPeer.h"

#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace
{
// The options key is removed and the defaults loaded again on every way out,
// and the identity's threads are told to stop before it goes away: a failed
// ASSERT must end the test, not hang it.
struct CHeartbeatOptionScope
{
    ~CHeartbeatOptionScope()
    {
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, OPTIONS_KEY);
        TheOptions()->Load();
    }
};

class CStoppingIdentity
{
public:
    CStoppingIdentity() : m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)), m_Identity(m_StopEvent.Get(), 500)
    {
    }
    ~CStoppingIdentity() { SetEvent(m_StopEvent.Get()); }
    CIdentity* operator->() { return &m_Identity; }

private:
    CHandle m_StopEvent;
    CIdentity m_Identity;
};
} // namespace

// "Disable Heartbeat" silences the heartbeat only: queued retries still go out.
TEST(HeartbeatOption, DisabledHeartbeatStillRetries)
{
    CHeartbeatOptionScope scope;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, OPTIONS_KEY);
    DWORD disabled = 1;
    RegSetKeyValueW(HKEY_LOCAL_MACHINE, OPTIONS_KEY, L"Disable Heartbeat", REG_DWORD, &disabled, sizeof(disabled));
    ASSERT_TRUE(TheOptions()->Load());

    CLogCapture log;
    CTestPeer peer("127.0.0.41");
    CStoppingIdentity identity;
    identity->Initialize(CIdentity::USER_TYPE_ACTIVE_DIRECTORY);
    identity->SetServerName(L"127.0.0.41");
    ASSERT_TRUE(identity->StartThreads());
    std::this_thread::sleep_for(std::chrono::milliseconds(2000));
    EXPECT_EQ(peer.RequestCount(), 0u); // four periods, no heartbeat

    identity->QueueUserRetry(NO_USER_SESSION, RETRY_ITEM::KIND_REPORT, REPORT_USER);
    ASSERT_TRUE(peer.WaitForRequests(1, 10000));
    EXPECT_EQ(ReportTypeOf(peer.Requests()[0]), REPORT_USER);
}

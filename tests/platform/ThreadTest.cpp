#include "platform/Thread.h"

#include "LogCapture.h"
#include "common/Handle.h"
#include "diag/Log.h"
#include "diag/LogFile.h"

#include <functional>
#include <gtest/gtest.h>
#include <stdexcept>

namespace
{
class CTestThread : public CThread
{
public:
    explicit CTestThread(std::function<DWORD(CTestThread&)> body) : CThread(L"CTestThread"), m_Body(std::move(body)) {}
    bool IsStopRequested() const { return StopRequested(); }

protected:
    DWORD ThreadProc() override { return m_Body(*this); }

private:
    std::function<DWORD(CTestThread&)> m_Body;
};

DWORD ExitCodeOf(const CThread& thread)
{
    DWORD code = 0;
    GetExitCodeThread(thread.Handle(), &code);
    return code;
}

} // namespace

TEST(Thread, NormalReturnGivesReasonOneAndTheProcedureResult)
{
    CTestThread thread([](CTestThread&) { return 42; });
    EXPECT_EQ(thread.State(), CThread::STATE_NEVER_STARTED);
    ASSERT_TRUE(thread.Start());
    EXPECT_EQ(thread.Join(10000), CThread::EXIT_NORMAL);
    EXPECT_EQ(thread.State(), CThread::STATE_ENDED);
    EXPECT_EQ(ExitCodeOf(thread), 42u);
}

TEST(Thread, CannotStartWhileRunningButCanRestartAfterEnd)
{
    CHandle release(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    CTestThread thread(
        [&](CTestThread& self)
        {
            while (WaitForSingleObject(release.Get(), 10) == WAIT_TIMEOUT && !self.IsStopRequested())
            {
            }
            return self.IsStopRequested() ? 2 : 1;
        });
    ASSERT_TRUE(thread.Start());
    EXPECT_FALSE(thread.Start());
    EXPECT_EQ(thread.Join(50), CThread::EXIT_TIMEOUT);

    thread.RequestStop();
    EXPECT_EQ(thread.Join(10000), CThread::EXIT_NORMAL);
    EXPECT_EQ(ExitCodeOf(thread), 2u);

    SetEvent(release.Get());
    ASSERT_TRUE(thread.Start());
    EXPECT_EQ(thread.Join(10000), CThread::EXIT_NORMAL);
    EXPECT_EQ(ExitCodeOf(thread), 1u);
}

TEST(Thread, EscapingCppExceptionGivesReasonMinusFive)
{
    CLogCapture log;
    CTestThread thread([](CTestThread&) -> DWORD { throw std::runtime_error("boom"); });
    ASSERT_TRUE(thread.Start());
    EXPECT_EQ(thread.Join(10000), CThread::EXIT_UNHANDLED_EXCEPTION);
    EXPECT_EQ(static_cast<long>(ExitCodeOf(thread)), -5);
    EXPECT_NE(log.Text().find("[!] CTestThread: Unhandled exception"), std::string::npos);
}

TEST(Thread, ExitReasonWords)
{
    const std::pair<long, const wchar_t*> table[] = {
        {0, L"none"},
        {1, L"normal"},
        {-1, L"time-out"},
        {-2, L"wait error"},
        {-3, L"get exit code error"},
        {-4, L"structured exception"},
        {-5, L"unhandled exception"},
        {7, L"<invalid>"},
    };
    for (const auto& [reason, word] : table)
        EXPECT_STREQ(CThread::ExitReasonText(reason), word) << reason;
}

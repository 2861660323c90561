#include "common/ThreadDeadline.h"
#include "config/Options.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identifiers/Identifier.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"

namespace
{
constexpr DWORD IdentifyAttempts = 100;
constexpr DWORD ReportAttempts = 15;
constexpr DWORD IdentifyPauseMs = 100;
constexpr DWORD ReportPauseMs = 750;
} // namespace

DWORD CHeartbeatThread::ThreadProc()
{
    LogMessage(L"CHeartbeatThread: started");
    DWORD result = m_Owner->HeartbeatThreadProc(*this, m_PeriodMs);
    LogMessage(L"CHeartbeatThread: stopped");
    return result;
}

DWORD CUserIdentThread::ThreadProc()
{
    LogMessage(L"CUserIdentThread: started");
    DWORD result = m_Owner->UserIdentThreadProc(*this);
    LogMessage(L"CUserIdentThread: stopped");
    return result;
}

bool CIdentity::StartThreads() { return m_HeartbeatThread.Start() && m_UserIdentThread.Start(); }

bool CIdentity::WaitForThreads(DWORD timeoutMs)
{
    bool ended = true;
    for (CThread* thread : {static_cast<CThread*>(&m_HeartbeatThread), static_cast<CThread*>(&m_UserIdentThread)})
        if (thread->State() != CThread::STATE_NEVER_STARTED && thread->Join(timeoutMs) == CThread::EXIT_TIMEOUT)
        {
            LogPrintf(LOG_ERROR, L"[!] CIdentity: %s thread did not end in time",
                      thread == &m_HeartbeatThread ? L"CHeartbeatThread" : L"CUserIdentThread");
            ended = false;
        }
    return ended;
}

bool CIdentity::ThreadsEnded() const { return !m_HeartbeatThread.IsAlive() && !m_UserIdentThread.IsAlive(); }

// A successful report makes a heartbeat needless for a whole period.
void CIdentity::RestartHeartbeatPeriod() { SetEvent(m_HeartbeatEvent.Get()); }

void CIdentity::QueueUserRetry(DWORD value, DWORD kind, uint8_t reportType)
{
    {
        CLock lock(m_RetryLock);
        // One pending request at most: the newest replaces it.
        if (m_RetryQueue.empty())
            m_RetryQueue.push_back(std::make_unique<RETRY_ITEM>());
        RETRY_ITEM& item = *m_RetryQueue.front();
        item.Remaining = kind == RETRY_ITEM::KIND_REPORT ? ReportAttempts : IdentifyAttempts;
        item.Value = value;
        item.RetryKind = kind;
        item.ReportType = reportType;
    }
    SetEvent(m_RetryEvent.Get());
}

size_t CIdentity::PendingRetries()
{
    CLock lock(m_RetryLock);
    return m_RetryQueue.size();
}

bool CIdentity::PeekRetry(RETRY_ITEM& item)
{
    CLock lock(m_RetryLock);
    if (m_RetryQueue.empty())
        return false;
    item = *m_RetryQueue.front();
    return true;
}

std::unique_ptr<RETRY_ITEM> CIdentity::TakeRetry()
{
    CLock lock(m_RetryLock);
    if (m_RetryQueue.empty())
        return nullptr;
    std::unique_ptr<RETRY_ITEM> item = std::move(m_RetryQueue.front());
    m_RetryQueue.pop_front();
    return item;
}

// A failed attempt goes back only when nothing newer arrived meanwhile. The
// pause is taken under the lock, so a new request waits for it.
void CIdentity::PutBack(std::unique_ptr<RETRY_ITEM> item, DWORD pauseMs)
{
    {
        CLock lock(m_RetryLock);
        if (!m_RetryQueue.empty())
            return;
        --item->Remaining;
        m_RetryQueue.push_back(std::move(item));
        Sleep(pauseMs);
    }
    SetEvent(m_RetryEvent.Get());
}

void CIdentity::ProcessUserRetry(std::unique_ptr<RETRY_ITEM> item)
{
    if (item->RetryKind == RETRY_ITEM::KIND_IDENTIFY)
    {
        if (item->Remaining == 0)
        {
            LogMessage(L"CIdentity::ProcessUserRetry: Failed to identify user (no retry)");
            return;
        }
        CThreadDeadline budget(IdentificationBudgetMs);
        IDENTITY snapshot;
        GetIdentity(snapshot);
        int32_t result = IDENTIFY_NOT_POSSIBLE;
        try
        {
            if (m_Identifier)
                result = m_Identifier->IdentifyUser(item->Value, snapshot.User, snapshot.Computer, IsWTSReady());
        }
        catch (const CException& exception)
        {
            LogException(L"[!] CIdentity::ProcessUserRetry: Failed to identify user.", exception);
        }
        if (result == IDENTIFY_OK)
            OnIdentifyLogonUser(item->Value, snapshot.User);
        else
            PutBack(std::move(item), IdentifyPauseMs);
        return;
    }

    if (item->Remaining == 0)
    {
        LogPrintf(LOG_ERROR,
                  item->RetryKind == RETRY_ITEM::KIND_RESOLVE
                      ? L"CIdentity::ProcessUserRetry: Failed to resolve Identification Server (%s) to an IP address "
                        L"(no retry)"
                      : L"CIdentity::ProcessUserRetry: Failed to report to Identification Server (%s) (no retry)",
                  ServerName().c_str());
        return;
    }
    if (!IdentServerLookup())
    {
        item->RetryKind = RETRY_ITEM::KIND_RESOLVE;
        PutBack(std::move(item), ReportPauseMs);
        return;
    }
    IDENTITY snapshot;
    GetIdentity(snapshot);
    // The server option was emptied meanwhile: nothing to send any more.
    if (!HasServerAddress())
        return;
    if (item->ReportType == REPORT_STARTUP)
        ForceStartupFlags(snapshot, item->Value);
    try
    {
        Report(item->ReportType, snapshot.Agent, snapshot.Computer, snapshot.User);
        LogPrintf(LOG_IDENTITY,
                  L"[IDENT] ProcessUserRetry: Successfully reported user information to Identification Server (%s)",
                  ServerName().c_str());
        RestartHeartbeatPeriod();
    }
    catch (const CException&)
    {
        // Every failure is retried here, final or not: the budget bounds it.
        item->RetryKind = RETRY_ITEM::KIND_REPORT;
        PutBack(std::move(item), ReportPauseMs);
    }
}

// A stop event that is set, or already forgotten by Uninitialize, ends the
// thread's work.
bool CIdentity::StopSignalled()
{
    HANDLE stopEvent = m_StopEvent.load();
    return !stopEvent || WaitForSingleObject(stopEvent, 0) == WAIT_OBJECT_0;
}

DWORD CIdentity::UserIdentThreadProc(CThread& thread)
{
    bool stopping = false;
    while (!stopping)
    {
        try
        {
            HANDLE stopEvent = m_StopEvent.load();
            if (!stopEvent)
                break;
            HANDLE waitSet[] = {stopEvent, m_RetryEvent.Get()};
            DWORD result = WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
            if (result == WAIT_OBJECT_0)
                stopping = true;
            else if (result == WAIT_FAILED)
            {
                LogPrintf(LOG_ERROR, L"[!] CIdentity::UserIdentThreadProc: Wait failed; LastError=0x%lx",
                          GetLastError());
                // Without this pause a wait that keeps failing would spin.
                Sleep(IdentifyPauseMs);
            }
            // A failed attempt is put back and signalled at once, so the
            // queue may never run dry: the stop event is checked before every
            // attempt, not only when the queue is empty.
            while (!stopping && thread.State() != CThread::STATE_STOP_REQUESTED)
            {
                if (StopSignalled())
                {
                    stopping = true;
                    break;
                }
                std::unique_ptr<RETRY_ITEM> item = TakeRetry();
                if (!item)
                    break;
                ProcessUserRetry(std::move(item));
            }
        }
        catch (...)
        {
            LogMessage(L"[!] CIdentity::UserIdentThreadProc: Exception caught");
        }
    }
    return 0;
}

DWORD CIdentity::HeartbeatThreadProc(CThread& /*thread*/, DWORD periodMs)
{
    for (;;)
    {
        try
        {
            HANDLE stopEvent = m_StopEvent.load();
            if (!stopEvent)
                return 0;
            HANDLE waitSet[] = {stopEvent, m_HeartbeatEvent.Get()};
            DWORD result = WaitForMultipleObjects(2, waitSet, FALSE, periodMs);
            if (result == WAIT_OBJECT_0)
                return 0;
            if (result == WAIT_TIMEOUT)
                SendHeartbeat();
            else if (result == WAIT_FAILED)
            {
                LogMessage(L"[!] CIdentity::HeartbeatThreadProc: Wait failed");
                Sleep(IdentifyPauseMs);
            }
        }
        catch (...)
        {
            LogMessage(L"[!] CIdentity::HeartbeatThreadProc: Exception caught");
        }
    }
}

void CIdentity::SendHeartbeat()
{
    COptions* options = TheOptions();
    if (options && options->Values().DisableHeartbeat)
        return;
    IDENTITY snapshot;
    GetIdentity(snapshot);
    ReportStep(HeartbeatReportLines, REPORT_HEARTBEAT, NO_USER_SESSION, snapshot, false);
}

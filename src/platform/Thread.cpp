#include "platform/Thread.h"

#include "diag/Exception.h"
#include "diag/Log.h"
#include "diag/StructuredException.h"

CThread::CThread(const wchar_t* name) : m_Name(name) {}

bool CThread::Start()
{
    if (m_State.load() == STATE_RUNNING)
        return false;
    m_Handle.Close();
    m_ExitReason.store(EXIT_NONE);
    m_State.store(STATE_RUNNING);
    DWORD threadId = 0;
    m_Handle.Reset(CreateThread(nullptr, 0, Body, this, 0, &threadId));
    if (!m_Handle.IsValid())
    {
        m_State.store(STATE_ENDED);
        return false;
    }
    m_ThreadId = threadId;
    SetThreadPriority(m_Handle.Get(), m_Priority);
    return true;
}

long CThread::Join(DWORD timeoutMs)
{
    if (!m_Handle.IsValid())
        return m_ExitReason.load();
    switch (WaitForSingleObject(m_Handle.Get(), timeoutMs))
    {
    case WAIT_OBJECT_0:
        break;
    case WAIT_TIMEOUT:
        return EXIT_TIMEOUT;
    default:
        return EXIT_WAIT_ERROR;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeThread(m_Handle.Get(), &exitCode))
        m_ExitReason.store(EXIT_CODE_ERROR);
    return m_ExitReason.load();
}

const wchar_t* CThread::ExitReasonText(long reason)
{
    switch (reason)
    {
    case EXIT_NONE:
        return L"none";
    case EXIT_NORMAL:
        return L"normal";
    case EXIT_TIMEOUT:
        return L"time-out";
    case EXIT_WAIT_ERROR:
        return L"wait error";
    case EXIT_CODE_ERROR:
        return L"get exit code error";
    case EXIT_STRUCTURED_EXCEPTION:
        return L"structured exception";
    case EXIT_UNHANDLED_EXCEPTION:
        return L"unhandled exception";
    default:
        return L"<invalid>";
    }
}

DWORD WINAPI CThread::Body(void* parameter)
{
    auto* self = static_cast<CThread*>(parameter);
    SE_TRANSLATOR translator{OnStructuredException, self};
    InstallStructuredExceptionTranslator(&translator);
    DWORD exitCode = self->RunGuarded();
    RemoveStructuredExceptionTranslator();
    self->m_State.store(STATE_ENDED);
    return exitCode;
}

DWORD CThread::RunGuarded()
{
    try
    {
        DWORD result = ThreadProc();
        m_ExitReason.store(EXIT_NORMAL);
        return result;
    }
    catch (...)
    {
        LogPrintf(LOG_ERROR, L"[!] %s: Unhandled exception; thread ended", m_Name);
        m_ExitReason.store(EXIT_UNHANDLED_EXCEPTION);
        return static_cast<DWORD>(EXIT_UNHANDLED_EXCEPTION);
    }
}

// The thread's own line; the process ends right after it.
void CThread::OnStructuredException(void* context, const STRUCTURED_EXCEPTION& exception)
{
    auto* self = static_cast<CThread*>(context);
    self->m_ExitReason.store(EXIT_STRUCTURED_EXCEPTION);
    LogPrintf(LOG_ERROR, L"%s: Exception 0x%x at 0x%p", self->m_Name, exception.Code, FaultAddress(exception));
}

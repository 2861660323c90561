#pragma once

#include "common/Handle.h"

#include <windows.h>

#include <atomic>

struct STRUCTURED_EXCEPTION;

// A long-lived worker thread. Derived classes supply ThreadProc and add their
// own members (usually a pointer to their owner). The owner must make the
// thread end and Join it before anything the thread touches is destroyed. A
// C++ exception that escapes ThreadProc ends the thread; a processor fault
// ends the process (see StructuredException.h).
class CThread
{
public:
    enum : long
    {
        STATE_NEVER_STARTED = 0,
        STATE_RUNNING = 1,
        STATE_STOP_REQUESTED = 2,
        STATE_ENDED = 3,
    };
    enum : long
    {
        EXIT_NONE = 0,
        EXIT_NORMAL = 1,
        EXIT_TIMEOUT = -1,
        EXIT_WAIT_ERROR = -2,
        EXIT_CODE_ERROR = -3,
        EXIT_STRUCTURED_EXCEPTION = -4,
        EXIT_UNHANDLED_EXCEPTION = -5,
    };

    // name starts the thread's own lines, as in "CRegMonitor: Exception ...".
    explicit CThread(const wchar_t* name);
    virtual ~CThread() = default;
    CThread(const CThread&) = delete;
    CThread& operator=(const CThread&) = delete;

    bool Start();
    // Only a flag: the thread procedure notices it when its wait returns. A
    // thread that has ended stays ended.
    void RequestStop()
    {
        long running = STATE_RUNNING;
        m_State.compare_exchange_strong(running, STATE_STOP_REQUESTED);
    }

    // Waits for the end; returns the exit reason, -1 on time-out, -2 when the
    // wait fails, -3 when the exit code cannot be read.
    long Join(DWORD timeoutMs);

    long State() const { return m_State.load(); }
    // Started and not ended yet (running, or asked to stop).
    bool IsAlive() const
    {
        long state = m_State.load();
        return state == STATE_RUNNING || state == STATE_STOP_REQUESTED;
    }
    long ExitReason() const { return m_ExitReason.load(); }
    HANDLE Handle() const { return m_Handle.Get(); }
    DWORD ThreadId() const { return m_ThreadId; }
    void SetPriority(int priority) { m_Priority = priority; }

    static const wchar_t* ExitReasonText(long reason);

protected:
    virtual DWORD ThreadProc() = 0;
    bool StopRequested() const { return m_State.load() == STATE_STOP_REQUESTED; }

private:
    static DWORD WINAPI Body(void* parameter);
    static void OnStructuredException(void* context, const STRUCTURED_EXCEPTION& exception);
    DWORD RunGuarded();

    CHandle m_Handle;
    DWORD m_ThreadId = 0;
    int m_Priority = THREAD_PRIORITY_NORMAL;
    std::atomic<long> m_State{STATE_NEVER_STARTED};
    std::atomic<long> m_ExitReason{EXIT_NONE};
    const wchar_t* m_Name;
};

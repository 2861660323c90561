// After the swap, once the service has stopped: the service started again on
// the new build, and watched, so that a build that cannot run is replaced by
// the previous one instead of leaving the computer without its agent.
#include "config/ServiceName.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "diag/LogFile.h"
#include "platform/ServiceHandle.h"
#include "platform/ServiceStop.h"
#include "update/ProgramSwap.h"
#include "update/Update.h"

namespace
{
constexpr DWORD PollMs = 500;
constexpr DWORD StopWaitMs = 30000;

enum class WATCH_RESULT
{
    Kept,      // running in the same process when the watch ended
    Failed,    // never running, or gone without being asked to stop
    Stopped,   // ran, then was stopped on purpose (a stop control, an uninstall)
    Unwatched, // the service cannot be asked about
};

// Logs in the words of the restart; null on failure.
CServiceHandle OpenKestrinService(DWORD access)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to open the service manager.\r\n    %s. Error code = %ld.",
                  CErrorText(error).Text(), (long)error);
        return CServiceHandle();
    }
    CServiceHandle service(OpenServiceW(manager.Get(), ServiceName, access));
    if (!service)
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Unable to open the service %s.\r\n    %s. Error code = %ld.", ServiceName,
                  CErrorText(error).Text(), (long)error);
    }
    return service;
}

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) != FALSE;
}

// A build that reached RUNNING only leaves it when told to (it reports
// STOP_PENDING first and ends without an error); a crash is reported as
// STOPPED with an error at once.
WATCH_RESULT WatchService(SC_HANDLE service, DWORD watchMs)
{
    ULONGLONG deadline = GetTickCount64() + watchMs;
    DWORD runningProcess = 0;
    for (;;)
    {
        SERVICE_STATUS_PROCESS status{};
        if (!QueryStatus(service, status))
            return WATCH_RESULT::Unwatched;
        bool ran = runningProcess != 0;
        if (status.dwCurrentState == SERVICE_RUNNING && !ran)
            runningProcess = status.dwProcessId;
        else if (status.dwCurrentState == SERVICE_RUNNING && status.dwProcessId != runningProcess)
            return WATCH_RESULT::Failed;
        else if (status.dwCurrentState == SERVICE_STOP_PENDING && ran)
            return WATCH_RESULT::Stopped;
        else if (status.dwCurrentState == SERVICE_STOPPED)
            return ran && status.dwWin32ExitCode == NO_ERROR ? WATCH_RESULT::Stopped : WATCH_RESULT::Failed;
        if (GetTickCount64() >= deadline)
            return status.dwCurrentState == SERVICE_RUNNING ? WATCH_RESULT::Kept : WATCH_RESULT::Failed;
        Sleep(PollMs);
    }
}

} // namespace

bool CUpdate::RestartUpdatedService()
{
    CServiceHandle service = OpenKestrinService(SERVICE_ALL_ACCESS);
    if (!service)
        return false;
    LogPrintf(LOG_INFO, L"[*] CUpdate: Starting service %s ...", ServiceName);
    if (!StartServiceW(service.Get(), 0, nullptr))
    {
        DWORD error = GetLastError();
        LogPrintf(LOG_ERROR, L"[!] CUpdate: Error starting service %s.\r\n    %s. Error code = %ld.", ServiceName,
                  CErrorText(error).Text(), (long)error);
        return false;
    }
    LogPrintf(LOG_INFO, L"[*] CUpdate: Started the service %s.", ServiceName);
    return true;
}

bool CUpdate::KeepOrRollBack()
{
    CServiceHandle service = OpenKestrinService(SERVICE_QUERY_STATUS | SERVICE_STOP);
    WATCH_RESULT result = service ? WatchService(service.Get(), RollbackWatchMs) : WATCH_RESULT::Unwatched;
    if (result != WATCH_RESULT::Failed)
        return true;
    // The failed build is stopped, if it still runs, and its process
    // awaited, so that its file can be replaced.
    StopServiceAndWait(service.Get(), StopWaitMs);
    // The new build had the log; it is ours again now that it has ended.
    TheLogFile().Open();
    return RollBack();
}

bool CUpdate::RollBack()
{
    LogPrintf(LOG_ERROR,
              L"[!] CUpdate: The updated service did not keep running for %lu seconds; restoring the previous program.",
              static_cast<unsigned long>(RollbackWatchMs / 1000));
    if (!CProgramSwap(m_ProgramPath, m_BackupPath, m_NewProgramPath).Restore())
        return false;
    LogMessage(L"[*] CUpdate: Starting the previous service program again.");
    // The restarted build opens the log itself.
    TheLogFile().Close();
    return RestartUpdatedService();
}

#include "platform/ServiceStop.h"

#include "common/Handle.h"

#include <algorithm>

namespace
{
constexpr DWORD PollMs = 250;

bool QueryStatus(SC_HANDLE service, SERVICE_STATUS_PROCESS& status)
{
    DWORD needed = 0;
    return QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                                &needed) != FALSE;
}

// A service still starting cannot take the stop yet: it is asked again once
// it runs.
bool AcceptsStop(DWORD state)
{
    return state == SERVICE_RUNNING || state == SERVICE_PAUSED || state == SERVICE_PAUSE_PENDING ||
           state == SERVICE_CONTINUE_PENDING;
}
} // namespace

bool StopServiceAndWait(SC_HANDLE service, DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    SERVICE_STATUS_PROCESS status{};
    if (!QueryStatus(service, status))
        return false;
    CHandle process;
    bool stopSent = false;
    while (status.dwCurrentState != SERVICE_STOPPED)
    {
        if (!process && status.dwProcessId != 0 && status.dwProcessId != GetCurrentProcessId())
            process.Reset(OpenProcess(SYNCHRONIZE, FALSE, status.dwProcessId));
        if (!stopSent && AcceptsStop(status.dwCurrentState))
        {
            SERVICE_STATUS ignored{};
            stopSent = ControlService(service, SERVICE_CONTROL_STOP, &ignored) != FALSE;
        }
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(PollMs);
        if (!QueryStatus(service, status))
            return false;
    }
    if (!process)
        return true;
    ULONGLONG now = GetTickCount64();
    DWORD left = now < deadline ? static_cast<DWORD>(std::min<ULONGLONG>(deadline - now, MAXDWORD - 1)) : 0;
    return WaitForSingleObject(process.Get(), left) == WAIT_OBJECT_0;
}

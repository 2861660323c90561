// Stands in for the sibling security agent: a service that runs until it is
// stopped and carries a version resource of its own, so that tests can see
// the NQRP Query report its version while it runs.
#include <windows.h>

namespace
{
SERVICE_STATUS_HANDLE Status = nullptr;
HANDLE StopEvent = nullptr;

void Report(DWORD state)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(Status, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD /*eventType*/, void* /*eventData*/, void* /*context*/)
{
    if (control == SERVICE_CONTROL_STOP)
    {
        Report(SERVICE_STOP_PENDING);
        SetEvent(StopEvent);
    }
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD /*argc*/, wchar_t** /*argv*/)
{
    Status = RegisterServiceCtrlHandlerExW(L"DornSecurityAgentService", Handler, nullptr);
    if (!Status)
        return;
    StopEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Report(SERVICE_RUNNING);
    WaitForSingleObject(StopEvent, INFINITE);
    Report(SERVICE_STOPPED);
}
} // namespace

int wmain()
{
    wchar_t name[] = L"DornSecurityAgentService";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}

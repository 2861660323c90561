#include "service/ServiceControl.h"

#include "agent/UserAgent.h"
#include "diag/Log.h"
#include "platform/FirewallExceptions.h"
#include "platform/WindowsVersion.h"
#include "service/CommandLine.h"
#include "service/ConsoleWindow.h"

#include <new>

namespace
{
constexpr DWORD WaitHintMs = 60000;
constexpr DWORD ControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;

// Reports the service's state; every report after the first is made only
// while the previous ones succeeded.
class CStatusReporter
{
public:
    explicit CStatusReporter(SERVICE_STATUS_HANDLE handle) : m_Handle(handle) {}

    bool Report(DWORD state, DWORD checkPoint = 0, DWORD controls = 0)
    {
        SERVICE_STATUS status{};
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS;
        status.dwCurrentState = state;
        status.dwControlsAccepted = controls;
        status.dwWin32ExitCode = NO_ERROR;
        status.dwServiceSpecificExitCode = 0;
        status.dwCheckPoint = checkPoint;
        status.dwWaitHint = WaitHintMs;
        return SetServiceStatus(m_Handle, &status) != FALSE;
    }

private:
    SERVICE_STATUS_HANDLE m_Handle;
};

bool IsRunningOnWindows2000()
{
    OSVERSIONINFOEXW version{};
    version.dwOSVersionInfoSize = sizeof(version);
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(&version)) && IsWindows2000(version);
}

DWORD RunningControls()
{
    return IsRunningOnWindows2000() ? ControlsAccepted : ControlsAccepted | SERVICE_ACCEPT_SESSIONCHANGE;
}

// Service start arguments may ask for a console window; false ends the start
// without any status report.
bool ApplyStartArguments(DWORD argc, LPWSTR* argv, CUserAgent& agent)
{
    if (argc <= 1)
        return true;
    CommandLine commandLine;
    if (!ParseCommandLine(static_cast<int>(argc), argv, commandLine))
        return false;
    if (!commandLine.Console)
        return true;
    PublishConsoleStopEvent(agent.StopEvent());
    return CreateConsoleWindow(ReadConsoleTextColor());
}

// Runs the agent from its start to its end; returns false when a status
// report failed.
bool RunService(CStatusReporter& status, CUserAgent& agent)
{
    std::wstring firewall = AddFirewallExceptions();
    if (!firewall.empty())
        LogMessage(firewall.c_str());
    if (!SvrInitialize())
        return status.Report(SERVICE_STOPPED);
    if (!status.Report(SERVICE_START_PENDING, 1))
        return false;
    if (!agent.Start())
        return status.Report(SERVICE_STOPPED);
    if (!status.Report(SERVICE_START_PENDING, 2) || !status.Report(SERVICE_RUNNING, 0, RunningControls()))
        return false;

    agent.Run();
    LogMessage(L"Shutting Down");
    if (!status.Report(SERVICE_STOP_PENDING))
        return false;
    agent.Stop();
    if (!status.Report(SERVICE_STOP_PENDING, 1))
        return false;
    if (SvrUninitialize(&agent))
        return status.Report(SERVICE_STOPPED);
    return true;
}
} // namespace

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv)
{
    auto* agent = new (std::nothrow) CUserAgent();
    SetTheAgent(agent);
    if (!agent)
        return;

    SERVICE_STATUS_HANDLE handle = RegisterServiceCtrlHandlerExW(ServiceName, ServiceCtrlHandler, nullptr);
    if (!handle)
        return;
    if (!ApplyStartArguments(argc, argv, *agent))
        return;

    CStatusReporter status(handle);
    if (!status.Report(SERVICE_START_PENDING))
        return;
    RunService(status, *agent);
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID /*context*/)
{
    switch (control)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
        LogMessage(L"ServiceCtrlHandler: Received SERVICE_CONTROL_STOP");
        SignalStop();
        break;
    case SERVICE_CONTROL_SESSIONCHANGE:
        ForwardSessionChange(eventType, static_cast<const WTSSESSION_NOTIFICATION*>(eventData));
        break;
    default:
        break;
    }
    return NO_ERROR;
}

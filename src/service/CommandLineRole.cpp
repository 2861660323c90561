#include "agent/UserAgent.h"
#include "diag/Log.h"
#include "platform/FirewallExceptions.h"
#include "service/CommandLine.h"
#include "service/ConsoleWindow.h"
#include "service/EntryPoint.h"
#include "service/MessageBoxes.h"
#include "service/ServiceControl.h"
#include "service/ServiceInstall.h"

namespace
{
// Install and uninstall report their outcome twice: a box for the person who
// ran the file, and the Win32 error as exit code for a deployment script.
int InstallFromCommandLine()
{
    DWORD error = InstallService(ServiceName);
    if (error == ERROR_SUCCESS)
        ShowInformationBox(L"Service installed");
    return static_cast<int>(error);
}

// The firewall exception the service added goes with it.
int UninstallFromCommandLine()
{
    DWORD error = UninstallService(ServiceName);
    if (error != ERROR_SUCCESS)
        return static_cast<int>(error);
    for (const std::wstring& line : RemoveFirewallExceptions())
        LogMessage(line.c_str());
    ShowInformationBox(L"Service uninstalled");
    return static_cast<int>(error);
}

void OpenConsole(CUserAgent& agent)
{
    PublishConsoleStopEvent(agent.StopEvent());
    if (!CreateConsoleWindow(ReadConsoleTextColor()))
        ShowInformationBox(L"Cannot Create Console");
}

// Handles the options; returns true with the exit code when the process is
// done without running the agent.
bool HandleOptions(int argc, wchar_t** argv, CUserAgent& agent, CommandLine& commandLine, int& exitCode)
{
    if (!ParseCommandLine(argc, argv, commandLine))
    {
        exitCode = -1;
        return true;
    }
    if (commandLine.Help)
        ShowUsage();
    if (commandLine.Install && commandLine.Uninstall)
    {
        ShowErrorBox(L"Cannot Install and Uninstall");
        exitCode = -1;
        return true;
    }
    if (commandLine.Install)
    {
        exitCode = InstallFromCommandLine();
        return true;
    }
    if (commandLine.Uninstall)
    {
        exitCode = UninstallFromCommandLine();
        return true;
    }
    if (commandLine.Console)
        OpenConsole(agent);
    return false;
}
} // namespace

int RunFromCommandLine(int argc, wchar_t** argv)
{
    CUserAgent& agent = *TheAgent();
    CommandLine commandLine;
    int exitCode = 0;
    if (argc >= 2 && HandleOptions(argc, argv, agent, commandLine, exitCode))
        return exitCode;

    std::wstring firewall = AddFirewallExceptions();
    if (!firewall.empty())
        LogMessage(firewall.c_str());
    if (!SvrInitialize())
        return 0;
    if (!agent.Start())
    {
        WaitForKey();
        return 0;
    }
    agent.Run();
    LogMessage(L"Shutting Down");
    agent.Stop();
    if (SvrUninitialize(&agent) && commandLine.Console)
        WaitForKey();
    return 0;
}

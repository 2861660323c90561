#include "service/EntryPoint.h"

#include "agent/UserAgent.h"
#include "diag/Log.h"
#include "diag/LogFile.h"
#include "diag/StructuredException.h"
#include "platform/ServiceHandle.h"
#include "service/BuildVersion.h"
#include "service/ServiceControl.h"
#include "update/Update.h"

#include <windows.h>

#include <new>
#include <shellapi.h>
#include <string>

namespace
{
constexpr DWORD UpdateThreadStopMs = 10000;

// Every wait and read of the update thread sees its stop event, so it ends
// within the wait; one that does not is left to the end of the process,
// never killed in the middle of a file operation.
long EndUpdateThread(CUpdate& update)
{
    update.SignalStopEvent();
    return update.Join(UpdateThreadStopMs);
}

// The update thread's view of the service: the process's agent.
class CAgentUpdateHost final : public IUpdateHost
{
public:
    bool ServiceRunning() override { return AgentServiceRunning(); }
    void StopService() override { SignalStop(); }
};

int RunServiceRole()
{
    // Without an update thread the service still runs, only without updates.
    CAgentUpdateHost host;
    CUpdate update(host, ServiceFirstUpdateCheckMs);
    update.Start();
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(ServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
    {
        int error = static_cast<int>(GetLastError());
        EndUpdateThread(update);
        return error;
    }
    LogMessage(L"Waiting for update thread to complete ...");
    long reason = EndUpdateThread(update);
    if (reason == CThread::EXIT_TIMEOUT || reason == CThread::EXIT_WAIT_ERROR)
    {
        LogPrintf(LOG_ERROR, L"Unable to obtain update thread exit code. Reason = %s", CThread::ExitReasonText(reason));
        TheLogFile().Close();
        // The thread still uses its object and the HTTP session: the process
        // ends here, with it, instead of destroying them under it.
        ExitProcess(0);
    }
    else if (update.RestartPending())
    {
        // The new build is in place and this process is on its way out: the
        // new process opens the log again.
        LogMessage(L"Restarting updated service ...");
        TheLogFile().Close();
        update.RestartUpdatedService();
        update.KeepOrRollBack();
    }
    return 0;
}

int RunCommandLineRole()
{
    auto* agent = new (std::nothrow) CUserAgent();
    if (!agent)
        return -1;
    SetTheAgent(agent);
    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    int exitCode = RunFromCommandLine(argc, argv);
    LocalFree(argv);
    return exitCode;
}
} // namespace

bool IsServiceStartPending()
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, GENERIC_READ));
    if (!manager)
        return false;
    CServiceHandle service(OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_STATUS));
    if (!service)
        return false;
    SERVICE_STATUS_PROCESS status{};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof(status),
                              &needed))
        return false;
    return status.dwCurrentState == SERVICE_START_PENDING;
}

void SetWorkingDirectoryToProgramFolder()
{
    wchar_t path[MAX_PATH * 2] = {};
    DWORD length = GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    if (length == 0 || length >= ARRAYSIZE(path))
        return;
    std::wstring folder(path, length);
    size_t lastBackslash = folder.rfind(L'\\');
    if (lastBackslash == std::wstring::npos)
        return;
    folder.resize(lastBackslash);
    SetCurrentDirectoryW(folder.c_str());
}

int KestrinMain()
{
    InstallProcessFaultFilter();
    bool serviceRole = IsServiceStartPending();
    SetWorkingDirectoryToProgramFolder();
    TheLogFile().Open();
    LogPrintf(LOG_VERSION, L"User Agent build version = %u.%u.%u", KESTRIN_VERSION_MAJOR, KESTRIN_VERSION_MINOR,
              KESTRIN_VERSION_PATCH);
    return serviceRole ? RunServiceRole() : RunCommandLineRole();
}

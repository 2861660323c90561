#include "service/EntryPoint.h"

#include "agent/UserAgent.h"
#include "diag/Log.h"
#include "diag/LogFile.h"
#include "diag/StructuredException.h"
#include "service/ServiceControl.h"
#include "service/ServiceHandle.h"

#include <windows.h>

#include <new>
#include <shellapi.h>
#include <string>

namespace
{
constexpr unsigned BuildMajor = 2;
constexpr unsigned BuildMinor = 1;
constexpr unsigned BuildPatch = 14;

int RunServiceRole()
{
    // The update thread, which starts before the dispatcher takes this thread
    // and is waited for after it returns: not built yet.
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(ServiceName), ServiceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return static_cast<int>(GetLastError());
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
    LogPrintf(LOG_VERSION, L"User Agent build version = %u.%u.%u", BuildMajor, BuildMinor, BuildPatch);
    return serviceRole ? RunServiceRole() : RunCommandLineRole();
}

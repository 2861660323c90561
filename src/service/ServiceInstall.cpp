#include "service/ServiceInstall.h"

#include "common/Format.h"
#include "config/Options.h"
#include "config/OptionsKeySecurity.h"
#include "diag/ErrorText.h"
#include "diag/Log.h"
#include "platform/RegKey.h"
#include "platform/ServiceHandle.h"

#include <string>

namespace
{
constexpr wchar_t DisplayName[] = L"User Agent Service";
// Deletion is requested this long after the stop control, whether or not the
// service has ended by then; the manager completes it when the service ends.
constexpr DWORD StopGraceMs = 500;

std::wstring ProgramPath()
{
    wchar_t path[MAX_PATH * 2] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    return path;
}

// what is the failed step as the log line names it, already formatted.
DWORD LogFailure(const std::wstring& what, DWORD error)
{
    LogPrintf(LOG_ERROR, L"[!] %s.\r\n    %s. Error code = %ld.", what.c_str(), CErrorText(error).Text(), (long)error);
    return error;
}

// Points the service at the program that was run. A key that cannot be opened
// is ignored: the service itself exists.
void WriteServiceValues(const wchar_t* serviceName, const std::wstring& programPath)
{
    CRegKey key;
    std::wstring path = FormatString(L"SYSTEM\\CurrentControlSet\\Services\\%s", serviceName);
    if (key.Open(path.c_str(), KEY_WRITE) != ERROR_SUCCESS)
        return;
    key.WriteString(L"ImagePath", programPath);
    key.WriteString(L"Description", DisplayName);
}
// A process that ends without having reported the service stopped (a
// processor fault ends it on purpose) is started again: after 5 s, then 30 s,
// then every minute, the count starting over after a day without failure.
// The service runs without them when they cannot be set.
void SetRecoveryActions(SC_HANDLE service, const wchar_t* serviceName)
{
    SC_ACTION actions[] = {{SC_ACTION_RESTART, 5000}, {SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}};
    SERVICE_FAILURE_ACTIONSW failureActions{};
    failureActions.dwResetPeriod = 24 * 60 * 60;
    failureActions.cActions = ARRAYSIZE(actions);
    failureActions.lpsaActions = actions;
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failureActions))
        LogFailure(FormatString(L"InstallService: Failed to set the recovery actions of service %s", serviceName),
                   GetLastError());
}
} // namespace

DWORD InstallService(const wchar_t* serviceName)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
    if (!manager)
    {
        DWORD error = GetLastError();
        return LogFailure(L"InstallService: Failed to open the service control manager", error);
    }

    std::wstring programPath = ProgramPath();
    CServiceHandle service(CreateServiceW(manager.Get(), serviceName, DisplayName, SERVICE_ALL_ACCESS,
                                          SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_IGNORE,
                                          programPath.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    DWORD error = service ? ERROR_SUCCESS : GetLastError();
    if (error != ERROR_SUCCESS && error != ERROR_SERVICE_EXISTS)
        return LogFailure(FormatString(L"InstallService: Failed to create service %s", serviceName), error);

    // An existing service keeps the recovery actions an administrator may
    // have chosen for it.
    if (service)
        SetRecoveryActions(service.Get(), serviceName);
    WriteServiceValues(serviceName, programPath);
    // The options may hold the LDAP bind password: an install that leaves
    // them readable to every user has not done its job.
    error = SecureOptionsKey();
    if (error != ERROR_SUCCESS)
        return LogFailure(FormatString(L"InstallService: Failed to restrict HKEY_LOCAL_MACHINE\\%s to SYSTEM and "
                                       L"Administrators",
                                       OPTIONS_KEY),
                          error);
    return ERROR_SUCCESS;
}

DWORD UninstallService(const wchar_t* serviceName)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    if (!manager)
    {
        DWORD error = GetLastError();
        return LogFailure(L"UninstallService: Failed to open the service control manager", error);
    }

    CServiceHandle service(OpenServiceW(manager.Get(), serviceName, SERVICE_ALL_ACCESS));
    if (!service)
    {
        DWORD error = GetLastError();
        return LogFailure(FormatString(L"UninstallService: Failed to open service %s", serviceName), error);
    }

    SERVICE_STATUS status{};
    if (!QueryServiceStatus(service.Get(), &status))
    {
        DWORD error = GetLastError();
        return LogFailure(FormatString(L"UninstallService: Failed to query the status of service %s", serviceName),
                          error);
    }

    if (status.dwCurrentState != SERVICE_STOPPED)
    {
        if (!ControlService(service.Get(), SERVICE_CONTROL_STOP, &status))
        {
            DWORD error = GetLastError();
            return LogFailure(FormatString(L"UninstallService: Failed to stop service %s", serviceName), error);
        }
        Sleep(StopGraceMs);
    }
    if (!DeleteService(service.Get()))
    {
        DWORD error = GetLastError();
        return LogFailure(FormatString(L"UninstallService: Failed to delete service %s", serviceName), error);
    }
    return ERROR_SUCCESS;
}

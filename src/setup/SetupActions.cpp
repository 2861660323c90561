// Custom actions of the MSI package, run by Windows Installer as the local
// system.
#include "config/OptionsKeySecurity.h"
#include "config/ServiceName.h"
#include "platform/FirewallExceptions.h"
#include "platform/ServiceHandle.h"
#include "platform/ServiceStop.h"

#include <windows.h>

#include <msi.h>

namespace
{
// Windows Installer's own stop asks the service to stop but does not wait
// everywhere for its process to end; a program file whose process still runs
// cannot be removed.
constexpr DWORD StopWaitMs = 60000;
} // namespace

// Stops the service "Kestrin" and waits for its process to end. A missing
// service is fine: there is nothing to stop.
extern "C" UINT __stdcall StopServiceAndWait(MSIHANDLE)
{
    CServiceHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    CServiceHandle service(manager ? OpenServiceW(manager.Get(), ServiceName, SERVICE_QUERY_STATUS | SERVICE_STOP)
                                   : nullptr);
    if (service)
        StopServiceAndWait(service.Get(), StopWaitMs);
    return ERROR_SUCCESS;
}

// Removes the firewall exception the service added, and no other.
extern "C" UINT __stdcall RemoveFirewallException(MSIHANDLE)
{
    RemoveFirewallExceptions();
    return ERROR_SUCCESS;
}

// Lets only SYSTEM and the administrators open the options key, which may hold
// the LDAP bind password. The install fails when it cannot.
extern "C" UINT __stdcall RestrictOptionsKey(MSIHANDLE)
{
    return SecureOptionsKey() == ERROR_SUCCESS ? ERROR_SUCCESS : ERROR_INSTALL_FAILURE;
}

// The emulated functions of the iphlpapi.dll stand-in. GetAdaptersAddresses
// answers from the script when adapters are scripted and from Wine's own
// iphlpapi otherwise; address change notification is always the stand-in's,
// because Wine's never fires.
#include "iphlpapi/AdapterAddresses.h"
#include "iphlpapi/AddressChangeNotifier.h"
#include "iphlpapi/BuiltinIpHelper.h"
#include "iphlpapi/ScriptedAdapters.h"

#include <new>

namespace
{
bool IsKnownFamily(ULONG family) { return family == AF_UNSPEC || family == AF_INET || family == AF_INET6; }

ULONG ScriptedAdapterAddresses(ULONG family, ULONG flags, IP_ADAPTER_ADDRESSES* buffer, ULONG* size)
{
    if (!size || !IsKnownFamily(family))
        return ERROR_INVALID_PARAMETER;
    std::vector<SCRIPTED_ADAPTER> adapters;
    if (DWORD error = ReadScriptedAdapters(adapters))
        return error;
    return WriteAdapterAddresses(adapters, family, flags, buffer, size);
}
} // namespace

ULONG WINAPI GetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved, PIP_ADAPTER_ADDRESSES buffer, PULONG size)
{
    if (TakeScriptedFault())
    {
        volatile int* nowhere = nullptr;
        *nowhere = 0;
    }
    // No C++ exception may leave an exported function.
    try
    {
        if (std::optional<DWORD> error = ScriptedAdaptersError())
            return *error;
        if (!AdaptersAreScripted())
            return CallBuiltin<decltype(&::GetAdaptersAddresses)>("GetAdaptersAddresses", family, flags, reserved,
                                                                  buffer, size);
        return ScriptedAdapterAddresses(family, flags, buffer, size);
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}

DWORD WINAPI NotifyAddrChange(PHANDLE handle, LPOVERLAPPED overlapped)
{
    if (!handle && !overlapped)
        return AddressChangeNotifier().WaitForChange();
    if (!handle || !overlapped)
        return ERROR_INVALID_PARAMETER;
    return AddressChangeNotifier().Request(overlapped, handle);
}

WINBOOL WINAPI CancelIPChangeNotify(LPOVERLAPPED overlapped)
{
    if (!overlapped || !AddressChangeNotifier().Cancel(overlapped))
    {
        SetLastError(ERROR_NOT_FOUND);
        return FALSE;
    }
    return TRUE;
}

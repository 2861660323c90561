// The functions that Wine's own DLLs import from iphlpapi.dll, which meet the
// stand-in in their place once it is loaded: netapi32 (GetIfEntry,
// GetIpAddrTable), ws2_32 (GetAdaptersInfo, GetBestRoute, GetIpAddrTable,
// GetIpForwardTable), rpcrt4 (GetAdaptersInfo), dhcpcsvc, which winhttp loads
// (ConvertInterfaceGuidToLuid, ConvertInterfaceLuidToAlias,
// ConvertInterfaceNameToLuidW), and netprofm, which COM loads
// (ConvertInterfaceIndexToLuid, ConvertInterfaceLuidToGuid, GetBestInterface).
// They are not scripted: Wine's own iphlpapi answers them.
#include "iphlpapi/BuiltinIpHelper.h"
#include "shared/NetworkHeaders.h"

#include <windows.h>

#include <iphlpapi.h>
#include <netioapi.h>

namespace
{
const char* const ForwardedFunctions[] = {"GetAdaptersAddresses",
                                          "GetIfEntry",
                                          "GetIpAddrTable",
                                          "GetIpForwardTable",
                                          "GetAdaptersInfo",
                                          "GetBestRoute",
                                          "GetBestInterface",
                                          "ConvertInterfaceGuidToLuid",
                                          "ConvertInterfaceLuidToGuid",
                                          "ConvertInterfaceLuidToAlias",
                                          "ConvertInterfaceNameToLuidW",
                                          "ConvertInterfaceIndexToLuid"};
CBuiltinModule Builtin(L"iphlpapi.dll", ForwardedFunctions);
} // namespace

CBuiltinModule& BuiltinIpHelper() { return Builtin; }

DWORD WINAPI GetIfEntry(PMIB_IFROW row) { return CallBuiltin<decltype(&::GetIfEntry)>("GetIfEntry", row); }

DWORD WINAPI GetIpAddrTable(PMIB_IPADDRTABLE table, PULONG size, WINBOOL order)
{
    return CallBuiltin<decltype(&::GetIpAddrTable)>("GetIpAddrTable", table, size, order);
}

DWORD WINAPI GetIpForwardTable(PMIB_IPFORWARDTABLE table, PULONG size, WINBOOL order)
{
    return CallBuiltin<decltype(&::GetIpForwardTable)>("GetIpForwardTable", table, size, order);
}

ULONG WINAPI GetAdaptersInfo(PIP_ADAPTER_INFO info, PULONG size)
{
    return CallBuiltin<decltype(&::GetAdaptersInfo)>("GetAdaptersInfo", info, size);
}

DWORD WINAPI GetBestRoute(DWORD destination, DWORD source, PMIB_IPFORWARDROW route)
{
    return CallBuiltin<decltype(&::GetBestRoute)>("GetBestRoute", destination, source, route);
}

DWORD WINAPI GetBestInterface(IPAddr destination, PDWORD index)
{
    return CallBuiltin<decltype(&::GetBestInterface)>("GetBestInterface", destination, index);
}

NETIO_STATUS WINAPI ConvertInterfaceGuidToLuid(CONST GUID* guid, PNET_LUID luid)
{
    return CallBuiltin<decltype(&::ConvertInterfaceGuidToLuid)>("ConvertInterfaceGuidToLuid", guid, luid);
}

NETIO_STATUS WINAPI ConvertInterfaceLuidToGuid(CONST NET_LUID* luid, GUID* guid)
{
    return CallBuiltin<decltype(&::ConvertInterfaceLuidToGuid)>("ConvertInterfaceLuidToGuid", luid, guid);
}

NETIO_STATUS WINAPI ConvertInterfaceLuidToAlias(CONST NET_LUID* luid, PWSTR alias, SIZE_T length)
{
    return CallBuiltin<decltype(&::ConvertInterfaceLuidToAlias)>("ConvertInterfaceLuidToAlias", luid, alias, length);
}

NETIO_STATUS WINAPI ConvertInterfaceNameToLuidW(CONST WCHAR* name, NET_LUID* luid)
{
    return CallBuiltin<decltype(&::ConvertInterfaceNameToLuidW)>("ConvertInterfaceNameToLuidW", name, luid);
}

NETIO_STATUS WINAPI ConvertInterfaceIndexToLuid(NET_IFINDEX index, PNET_LUID luid)
{
    return CallBuiltin<decltype(&::ConvertInterfaceIndexToLuid)>("ConvertInterfaceIndexToLuid", index, luid);
}

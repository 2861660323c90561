// The functions that the program and Wine's own DLLs import from netapi32.dll,
// which meet the stand-in in their place once it is loaded: the program
// (NetWkstaGetInfo, NetApiBufferFree), msv1_0, which NTLM authentication loads
// (NetWkstaUserGetInfo), adsldp (DsGetDcNameW) and dnsapi (Netbios). They are
// not scripted: Wine's own netapi32 answers them. The stand-in's buffers come
// from Wine's allocator too, so that one NetApiBufferFree frees both kinds.
#include "netapi32/BuiltinNetApi.h"

#define _DSGETDCAPI_
#include <dsgetdc.h>
#include <nb30.h>

namespace
{
const char* const ForwardedFunctions[] = {
    "NetApiBufferAllocate", "NetApiBufferFree", "NetApiBufferSize", "NetWkstaGetInfo",
    "NetWkstaUserGetInfo",  "DsGetDcNameW",     "Netbios"};
CBuiltinModule Builtin(L"netapi32.dll", ForwardedFunctions);
} // namespace

CBuiltinModule& BuiltinNetApi() { return Builtin; }

NET_API_STATUS WINAPI NetApiBufferAllocate(DWORD byteCount, LPVOID* buffer)
{
    return CallBuiltin<decltype(&::NetApiBufferAllocate)>("NetApiBufferAllocate", byteCount, buffer);
}

NET_API_STATUS WINAPI NetApiBufferFree(LPVOID buffer)
{
    return CallBuiltin<decltype(&::NetApiBufferFree)>("NetApiBufferFree", buffer);
}

NET_API_STATUS WINAPI NetApiBufferSize(LPVOID buffer, LPDWORD byteCount)
{
    return CallBuiltin<decltype(&::NetApiBufferSize)>("NetApiBufferSize", buffer, byteCount);
}

NET_API_STATUS WINAPI NetWkstaGetInfo(LMSTR servername, DWORD level, LPBYTE* bufptr)
{
    return CallBuiltin<decltype(&::NetWkstaGetInfo)>("NetWkstaGetInfo", servername, level, bufptr);
}

NET_API_STATUS WINAPI NetWkstaUserGetInfo(LMSTR reserved, DWORD level, LPBYTE* bufptr)
{
    return CallBuiltin<decltype(&::NetWkstaUserGetInfo)>("NetWkstaUserGetInfo", reserved, level, bufptr);
}

DWORD WINAPI DsGetDcNameW(LPCWSTR computerName, LPCWSTR domainName, GUID* domainGuid, LPCWSTR siteName, ULONG flags,
                          PDOMAIN_CONTROLLER_INFOW* info)
{
    return CallBuiltin<decltype(&::DsGetDcNameW)>("DsGetDcNameW", computerName, domainName, domainGuid, siteName, flags,
                                                  info);
}

// NetBIOS reports its errors in the control block; without Wine's function
// there is no block to fill, so the call answers with a system error.
UCHAR WINAPI Netbios(PNCB ncb)
{
    auto function = BuiltinNetApi().Get<decltype(&::Netbios)>("Netbios");
    return function ? function(ncb) : NRC_SYSTEM;
}

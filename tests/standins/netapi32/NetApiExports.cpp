// The scripted functions of the netapi32.dll stand-in: the domain controller
// of a domain and the global groups of a user, which Wine cannot answer (it
// knows no domain). The server named in NetGetDCName is not consulted: every
// server answers for the scripted domain.
#include "netapi32/GroupsBuffer.h"
#include "netapi32/ScriptedDirectory.h"
#include "shared/CallCounter.h"

#include <cstring>
#include <new>

namespace
{
NET_API_STATUS CopyControllerName(const std::wstring& name, LPBYTE* bufptr)
{
    DWORD size = static_cast<DWORD>((name.size() + 1) * sizeof(wchar_t));
    void* buffer = nullptr;
    if (NET_API_STATUS status = NetApiBufferAllocate(size, &buffer))
        return status;
    std::memcpy(buffer, name.c_str(), size);
    *bufptr = static_cast<LPBYTE>(buffer);
    return NERR_Success;
}

NET_API_STATUS ScriptedControllerName(LPCWSTR domainname, LPBYTE* bufptr)
{
    if (!bufptr)
        return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    SCRIPTED_CONTROLLER controller = ReadScriptedController(domainname);
    if (controller.Status != NERR_Success)
        return controller.Status;
    return CopyControllerName(controller.Name, bufptr);
}

NET_API_STATUS ScriptedUserGroups(LPCWSTR servername, LPCWSTR username, DWORD level, LPBYTE* bufptr, DWORD prefmaxlen,
                                  LPDWORD entriesread, LPDWORD totalentries)
{
    if (!bufptr || !entriesread || !totalentries || !username)
        return ERROR_INVALID_PARAMETER;
    *bufptr = nullptr;
    *entriesread = 0;
    *totalentries = 0;
    if (level != 0 && level != 1)
        return ERROR_INVALID_LEVEL;
    // Only a scripted controller holds the domain's accounts.
    if (!IsScriptedController(servername))
        return ERROR_BAD_NETPATH;
    SCRIPTED_GROUPS groups = ReadScriptedGroups(username);
    if (groups.Status != NERR_Success)
        return groups.Status;
    GROUPS_BUFFER buffer = WriteGroupsBuffer(groups.Groups, level, prefmaxlen);
    if (buffer.Status != NERR_Success && buffer.Status != ERROR_MORE_DATA)
        return buffer.Status;
    *bufptr = buffer.Buffer;
    *entriesread = buffer.EntriesRead;
    *totalentries = static_cast<DWORD>(groups.Groups.size());
    return buffer.Status;
}

// No C++ exception may leave an exported function.
template <typename Call> NET_API_STATUS Guarded(Call call)
{
    try
    {
        return call();
    }
    catch (const std::bad_alloc&)
    {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
}
} // namespace

NET_API_STATUS WINAPI NetGetDCName(LPCWSTR, LPCWSTR domainname, LPBYTE* bufptr)
{
    CountCall(L"NetGetDCName");
    return Guarded([&] { return ScriptedControllerName(domainname, bufptr); });
}

NET_API_STATUS WINAPI NetUserGetGroups(LPCWSTR servername, LPCWSTR username, DWORD level, LPBYTE* bufptr,
                                       DWORD prefmaxlen, LPDWORD entriesread, LPDWORD totalentries)
{
    CountCall(L"NetUserGetGroups");
    return Guarded(
        [&] { return ScriptedUserGroups(servername, username, level, bufptr, prefmaxlen, entriesread, totalentries); });
}

#include "identifiers/ComputerIdentity.h"

#include "common/MD5.h"
#include "common/StringConvert.h"
#include "common/UniqueResource.h"
#include "config/Options.h"
#include "diag/Log.h"
#include "identity/AddressList.h"
#include "platform/RegKey.h"

#include <cwchar>
#include <iphlpapi.h>
#include <objbase.h>
#include <rpc.h>
#include <vector>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace
{
constexpr DWORD MachineUUIDBufferBytes = 128;
constexpr ULONG AdapterFlags = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER;
constexpr ULONG FirstAdapterBufferBytes = 184;
constexpr DWORD FirstAddressTextCharacters = 16;
constexpr int LongestIPv4Address = 16;

namespace Release
{
inline void RpcStringFreeW(RPC_WSTR text) { ::RpcStringFreeW(&text); }
} // namespace Release
using CRpcString = CUniqueResource<RPC_WSTR, Release::RpcStringFreeW>;

GUID NewUuid()
{
    GUID uuid{};
    UuidCreate(&uuid);
    return uuid;
}

std::wstring BracedGuid(const GUID& uuid)
{
    wchar_t text[40] = {};
    StringFromGUID2(uuid, text, 40);
    return text;
}

void LogNewUuid(const GUID& uuid)
{
    CRpcString text;
    GUID copy = uuid;
    if (UuidToStringW(&copy, text.Put()) == RPC_S_OK)
        LogPrintf(LOG_INFO, L"Computer Identity: Generating a new Computer UUID = {%s}",
                  reinterpret_cast<const wchar_t*>(text.Get()));
}

std::wstring ReadMachineId(const CRegKey& key)
{
    DWORD type = 0, size = 0;
    std::wstring text;
    if (key.QueryType(L"Machine ID", type, size) != ERROR_SUCCESS || type != REG_SZ ||
        key.ReadString(L"Machine ID", text) != ERROR_SUCCESS)
        return {};
    return text;
}

// The adapter list, growing the buffer while the system asks for more.
ULONG QueryAdapters(std::vector<BYTE>& buffer)
{
    ULONG size = FirstAdapterBufferBytes;
    ULONG result = ERROR_BUFFER_OVERFLOW;
    while (result == ERROR_BUFFER_OVERFLOW)
    {
        buffer.assign(size, 0);
        result = GetAdaptersAddresses(AF_UNSPEC, AdapterFlags, nullptr,
                                      reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
    }
    return result;
}

bool AddressToText(const SOCKET_ADDRESS& address, std::wstring& text)
{
    DWORD length = FirstAddressTextCharacters;
    for (;;)
    {
        std::wstring buffer(length, L'\0');
        if (WSAAddressToStringW(address.lpSockaddr, static_cast<DWORD>(address.iSockaddrLength), nullptr, buffer.data(),
                                &length) == 0)
        {
            text.assign(buffer.c_str());
            return true;
        }
        if (WSAGetLastError() != WSAEFAULT)
            return false;
    }
}

bool CountsAsActive(const IP_ADAPTER_ADDRESSES& adapter)
{
    return (adapter.IfType == IF_TYPE_ETHERNET_CSMACD || adapter.IfType == IF_TYPE_IEEE80211) &&
           adapter.OperStatus == IfOperStatusUp;
}

// Logs the adapter and adds its unicast addresses; returns its IPv4 count.
DWORD AddAdapter(const IP_ADAPTER_ADDRESSES& adapter, CAddressList& addresses)
{
    std::wstring name = AnsiToWide(adapter.AdapterName ? adapter.AdapterName : "");
    LogPrintf(LOG_INFO, L"    Adapter name: %s", name.c_str());
    LogPrintf(LOG_INFO, L"    Description: %s", adapter.Description ? adapter.Description : L"");
    LogPrintf(LOG_INFO, L"    Friendly name: %s", adapter.FriendlyName ? adapter.FriendlyName : L"");
    DWORD ipv4 = 0;
    for (const auto* unicast = adapter.FirstUnicastAddress; unicast; unicast = unicast->Next)
    {
        std::wstring text;
        if (!AddressToText(unicast->Address, text))
            continue;
        int length = unicast->Address.iSockaddrLength;
        addresses.Append(unicast->Address.lpSockaddr, length);
        bool isIPv4 = length <= LongestIPv4Address;
        if (isIPv4)
            ++ipv4;
        LogPrintf(LOG_INFO, L"    - IP ADDRESS (%s) = %s", isIPv4 ? L"IPv4" : L"IPv6", text.c_str());
    }
    LogMessage(L"");
    return ipv4;
}
} // namespace

std::wstring MachineIdFor(const std::wstring& upperCaseName)
{
    // n bytes of the UTF-16 text, not 2n: kept as it is, since every stored
    // machine ID was made this way.
    CMD5 md5;
    md5.Update(upperCaseName.data(), upperCaseName.size());
    md5.Final();
    uint8_t digest[16];
    md5.GetDigest(digest);
    return Md5ToHex(digest);
}

DWORD ReadMachineUUID(HKEY key, GUID& uuid)
{
    uuid = GUID{};
    wchar_t text[MachineUUIDBufferBytes / sizeof(wchar_t)] = {};
    DWORD type = 0;
    DWORD size = MachineUUIDBufferBytes;
    LONG result = RegQueryValueExW(key, L"Machine UUID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    if (result != ERROR_SUCCESS)
        return static_cast<DWORD>(result);
    bool isText = type == REG_SZ || type == REG_EXPAND_SZ;
    if (!isText || size == 0 || size % 2 != 0 || text[size / 2 - 1] != L'\0' || text[0] != L'{')
        return ERROR_INVALID_DATA;
    GUID parsed{};
    if (FAILED(CLSIDFromString(text, &parsed)))
        return ERROR_INVALID_DATA;
    uuid = parsed;
    return ERROR_SUCCESS;
}

void UpdateMachineUUID(COMPUTER_IDENTITY& computer)
{
    if (computer.Name.empty())
        return;
    CharUpperBuffW(computer.Name.data(), static_cast<DWORD>(computer.Name.size()));
    std::wstring machineId = MachineIdFor(computer.Name);

    CRegKey key;
    LONG result = key.Create(OPTIONS_KEY, KEY_READ | KEY_WRITE);
    if (result != ERROR_SUCCESS)
    {
        LogPrintf(LOG_ERROR, L"Computer Identity: Error opening registry key (%lu)",
                  static_cast<unsigned long>(result));
        computer.MachineUUID = NewUuid();
        return;
    }

    std::wstring storedId = ReadMachineId(key);
    DWORD read = ReadMachineUUID(key.Get(), computer.MachineUUID);
    // A missing or malformed UUID is replaced like one of another name:
    // otherwise every such machine would report the same all-zero UUID.
    if (_wcsicmp(storedId.c_str(), machineId.c_str()) != 0 || read != ERROR_SUCCESS)
    {
        computer.MachineUUID = NewUuid();
        LogNewUuid(computer.MachineUUID);
    }
    key.WriteString(L"Machine ID", machineId);
    key.WriteString(L"Machine UUID", BracedGuid(computer.MachineUUID));
}

DWORD UpdateIPAddresses(CAddressList& addresses)
{
    addresses.Clear();
    std::vector<BYTE> buffer;
    if (QueryAdapters(buffer) != ERROR_SUCCESS)
    {
        LogMessage(L"[!] No active IP addresses found on machine.");
        return 0;
    }
    LogMessage(L"[*] IP Address Adapter Info => ");
    DWORD ipv4 = 0;
    for (const auto* adapter = reinterpret_cast<const IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter;
         adapter = adapter->Next)
        if (CountsAsActive(*adapter))
            ipv4 += AddAdapter(*adapter, addresses);
    if (ipv4 == 0)
        LogMessage(L"[!] No active IP addresses found on machine.");
    return ipv4;
}

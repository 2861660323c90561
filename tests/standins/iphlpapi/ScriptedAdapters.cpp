#include "iphlpapi/ScriptedAdapters.h"

#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace
{
// A GUID-like name, as Windows gives adapters, for a script that names none.
std::string DefaultAdapterName(DWORD number)
{
    char name[48];
    snprintf(name, sizeof(name), "{4B455354-0000-0000-0000-%012lX}", static_cast<unsigned long>(number));
    return name;
}

std::string ToAnsi(const std::wstring& text)
{
    if (text.empty())
        return std::string();
    int size =
        WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string ansi(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.c_str(), static_cast<int>(text.size()), ansi.data(), size, nullptr, nullptr);
    return ansi;
}

bool ParsePrefixLength(const std::wstring& text, UINT8 maximum, UINT8& length)
{
    std::optional<DWORD> value = ParseDecimal(text);
    if (!value || *value > maximum)
        return false;
    length = static_cast<UINT8>(*value);
    return true;
}

// The ntdll parsers accept a port after the address, which a unicast address never has.
bool ParseIpv4(const std::wstring& text, SOCKADDR_INET& address)
{
    USHORT port = 0;
    address.Ipv4.sin_family = AF_INET;
    return RtlIpv4StringToAddressExW(text.c_str(), TRUE, &address.Ipv4.sin_addr, &port) == 0 && port == 0;
}

bool ParseIpv6(const std::wstring& text, SOCKADDR_INET& address)
{
    USHORT port = 0;
    address.Ipv6.sin6_family = AF_INET6;
    return RtlIpv6StringToAddressExW(text.c_str(), &address.Ipv6.sin6_addr, &address.Ipv6.sin6_scope_id, &port) == 0 &&
           port == 0;
}

// What a host configured with only an address usually has on the link.
UINT8 DefaultPrefixLength(const SOCKADDR_INET& address)
{
    if (address.si_family == AF_INET)
        return IsLoopback(address) ? 8 : 24;
    return IsLoopback(address) ? 128 : 64;
}

std::optional<SCRIPTED_ADAPTER> ReadAdapter(const CScriptKey& key, DWORD number)
{
    SCRIPTED_ADAPTER adapter;
    adapter.Number = number;
    std::wstring name = key.ReadString(ScriptNames::AdapterName);
    adapter.AdapterName = name.empty() ? DefaultAdapterName(number) : ToAnsi(name);
    adapter.Description = key.ReadString(ScriptNames::Description);
    adapter.FriendlyName = key.ReadString(ScriptNames::FriendlyName);
    adapter.IfType = key.ReadDword(ScriptNames::IfType).value_or(IF_TYPE_ETHERNET_CSMACD);
    adapter.OperStatus = static_cast<IF_OPER_STATUS>(key.ReadDword(ScriptNames::OperStatus).value_or(IfOperStatusUp));
    for (const std::wstring& text : key.ReadMultiString(ScriptNames::Addresses))
    {
        SCRIPTED_ADDRESS address;
        if (!ParseScriptedAddress(text, address))
        {
            // A test's typo would otherwise show up as a missing address far away.
            OutputDebugStringW((L"iphlpapi stand-in: not an address: " + text + L"\n").c_str());
            return std::nullopt;
        }
        adapter.Addresses.push_back(address);
    }
    return adapter;
}
} // namespace

bool IsLoopback(const SOCKADDR_INET& address)
{
    if (address.si_family == AF_INET)
        return address.Ipv4.sin_addr.S_un.S_un_b.s_b1 == 127;
    static const IN6_ADDR loopback = {{{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}}};
    return std::memcmp(&address.Ipv6.sin6_addr, &loopback, sizeof(loopback)) == 0;
}

bool IsLinkLocal(const SOCKADDR_INET& address)
{
    if (address.si_family == AF_INET)
        return address.Ipv4.sin_addr.S_un.S_un_b.s_b1 == 169 && address.Ipv4.sin_addr.S_un.S_un_b.s_b2 == 254;
    const UCHAR* bytes = address.Ipv6.sin6_addr.u.Byte;
    return bytes[0] == 0xFE && (bytes[1] & 0xC0) == 0x80;
}

bool SCRIPTED_ADAPTER::HasFamily(ADDRESS_FAMILY family) const
{
    return Addresses.empty() ||
           std::any_of(Addresses.begin(), Addresses.end(),
                       [family](const SCRIPTED_ADDRESS& a) { return a.Address.si_family == family; });
}

std::optional<DWORD> ScriptedAdaptersError()
{
    std::optional<DWORD> error = CScriptKey(ScriptNames::IpHelperKey).ReadDword(ScriptNames::AdaptersError);
    if (error && *error == ERROR_SUCCESS)
        return std::nullopt;
    return error;
}

bool TakeScriptedFault()
{
    // Deleting the value is what arms the fault, so only one call takes it.
    return RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, ScriptNames::IpHelperKey, ScriptNames::AdaptersFault) ==
           ERROR_SUCCESS;
}

bool AdaptersAreScripted() { return CScriptKey(ScriptNames::AdaptersKey).Exists(); }

DWORD ReadScriptedAdapters(std::vector<SCRIPTED_ADAPTER>& adapters)
{
    CScriptKey adaptersKey(ScriptNames::AdaptersKey);
    adapters.clear();
    for (DWORD number : adaptersKey.NumberedSubkeys())
    {
        CScriptKey key(adaptersKey, std::to_wstring(number));
        if (!key.Exists())
            continue; // removed since the listing
        std::optional<SCRIPTED_ADAPTER> adapter = ReadAdapter(key, number);
        if (!adapter)
            return ERROR_INVALID_DATA;
        adapters.push_back(std::move(*adapter));
    }
    return ERROR_SUCCESS;
}

bool ParseScriptedAddress(const std::wstring& text, SCRIPTED_ADDRESS& address)
{
    size_t slash = text.find(L'/');
    std::wstring host = text.substr(0, slash);
    address = SCRIPTED_ADDRESS{};
    if (!ParseIpv4(host, address.Address))
    {
        address.Address = SOCKADDR_INET{};
        if (!ParseIpv6(host, address.Address))
            return false;
    }
    if (slash == std::wstring::npos)
    {
        address.PrefixLength = DefaultPrefixLength(address.Address);
        return true;
    }
    UINT8 maximum = address.Address.si_family == AF_INET ? 32 : 128;
    return ParsePrefixLength(text.substr(slash + 1), maximum, address.PrefixLength);
}

#include "iphlpapi/AdapterAddresses.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace
{
// Hands out zeroed, aligned pieces of the caller's buffer. Without a buffer it
// only counts, so that one piece of code first measures the list and then,
// once the caller's buffer is known to be big enough, fills it: the filling
// pass never needs a bound of its own.
class CArena
{
public:
    CArena() = default;
    explicit CArena(void* buffer) : m_Base(static_cast<BYTE*>(buffer)) {}

    bool Counting() const { return m_Base == nullptr; }
    size_t Used() const { return m_Used; }

    template <typename T> T* New() { return static_cast<T*>(Take(sizeof(T), alignof(T))); }

    template <typename Char> Char* CopyString(const std::basic_string<Char>& text)
    {
        auto* copy = static_cast<Char*>(Take((text.size() + 1) * sizeof(Char), alignof(Char)));
        if (copy)
            std::memcpy(copy, text.c_str(), text.size() * sizeof(Char));
        return copy;
    }

private:
    // Offsets, not addresses, are aligned, so both passes agree on the size.
    void* Take(size_t size, size_t alignment)
    {
        size_t offset = (m_Used + alignment - 1) / alignment * alignment;
        m_Used = offset + size;
        if (Counting())
            return nullptr;
        std::memset(m_Base + offset, 0, size);
        return m_Base + offset;
    }

    BYTE* m_Base = nullptr;
    size_t m_Used = 0;
};

constexpr ULONG InfiniteLifetime = 0xFFFFFFFF;

// A SOCKADDR_IN (16 bytes) or SOCKADDR_IN6 (28 bytes), as the family needs.
SOCKET_ADDRESS EmitSockaddr(CArena& arena, const SOCKADDR_INET& address, IF_INDEX ipv6IfIndex)
{
    SOCKET_ADDRESS result{};
    if (address.si_family == AF_INET)
    {
        auto* ipv4 = arena.New<SOCKADDR_IN>();
        result.iSockaddrLength = sizeof(SOCKADDR_IN);
        if (ipv4)
            *ipv4 = address.Ipv4;
        result.lpSockaddr = reinterpret_cast<SOCKADDR*>(ipv4);
        return result;
    }
    auto* ipv6 = arena.New<SOCKADDR_IN6>();
    result.iSockaddrLength = sizeof(SOCKADDR_IN6);
    if (ipv6)
    {
        *ipv6 = address.Ipv6;
        // A link-local address is only meaningful with its interface.
        if (IsLinkLocal(address) && ipv6->sin6_scope_id == 0)
            ipv6->sin6_scope_id = ipv6IfIndex;
    }
    result.lpSockaddr = reinterpret_cast<SOCKADDR*>(ipv6);
    return result;
}

IP_ADAPTER_UNICAST_ADDRESS* EmitUnicast(CArena& arena, const SCRIPTED_ADDRESS& address, IF_INDEX ipv6IfIndex)
{
    auto* unicast = arena.New<IP_ADAPTER_UNICAST_ADDRESS>();
    SOCKET_ADDRESS sockaddr = EmitSockaddr(arena, address.Address, ipv6IfIndex);
    if (!unicast)
        return nullptr;
    unicast->Length = sizeof(*unicast);
    unicast->Address = sockaddr;
    bool wellKnown = IsLoopback(address.Address);
    unicast->PrefixOrigin = wellKnown ? IpPrefixOriginWellKnown : IpPrefixOriginManual;
    unicast->SuffixOrigin = wellKnown ? IpSuffixOriginWellKnown : IpSuffixOriginManual;
    unicast->DadState = IpDadStatePreferred;
    unicast->ValidLifetime = InfiniteLifetime;
    unicast->PreferredLifetime = InfiniteLifetime;
    unicast->LeaseLifetime = InfiniteLifetime;
    unicast->OnLinkPrefixLength = address.PrefixLength;
    if (!wellKnown && !IsLinkLocal(address.Address))
        unicast->Flags = IP_ADAPTER_ADDRESS_DNS_ELIGIBLE;
    return unicast;
}

// The address with its host part cleared: the on-link prefix it belongs to.
SCRIPTED_ADDRESS NetworkOf(const SCRIPTED_ADDRESS& address)
{
    SCRIPTED_ADDRESS network = address;
    BYTE* bytes = address.Address.si_family == AF_INET ? reinterpret_cast<BYTE*>(&network.Address.Ipv4.sin_addr)
                                                       : reinterpret_cast<BYTE*>(&network.Address.Ipv6.sin6_addr);
    size_t length = address.Address.si_family == AF_INET ? 4 : 16;
    for (size_t bit = address.PrefixLength; bit < length * 8; ++bit)
        bytes[bit / 8] &= static_cast<BYTE>(~(0x80 >> (bit % 8)));
    if (address.Address.si_family == AF_INET6)
        network.Address.Ipv6.sin6_scope_id = 0;
    return network;
}

IP_ADAPTER_PREFIX* EmitPrefix(CArena& arena, const SCRIPTED_ADDRESS& network)
{
    auto* prefix = arena.New<IP_ADAPTER_PREFIX>();
    SOCKET_ADDRESS sockaddr = EmitSockaddr(arena, network.Address, 0);
    if (!prefix)
        return nullptr;
    prefix->Length = sizeof(*prefix);
    prefix->Address = sockaddr;
    prefix->PrefixLength = network.PrefixLength;
    return prefix;
}

// Links one entry per item, in order; each entry type has a Next member.
template <typename Entry, typename Emit>
void EmitList(CArena& arena, const std::vector<SCRIPTED_ADDRESS>& items, Entry** first, Emit emit)
{
    Entry** link = first;
    for (const SCRIPTED_ADDRESS& item : items)
    {
        Entry* entry = emit(arena, item);
        if (arena.Counting())
            continue;
        *link = entry;
        link = &entry->Next;
    }
}

std::vector<SCRIPTED_ADDRESS> AddressesOf(const SCRIPTED_ADAPTER& adapter, ULONG family)
{
    std::vector<SCRIPTED_ADDRESS> addresses;
    for (const SCRIPTED_ADDRESS& address : adapter.Addresses)
        if (family == AF_UNSPEC || address.Address.si_family == family)
            addresses.push_back(address);
    return addresses;
}

// Each on-link prefix once, however many of the addresses lie in it.
std::vector<SCRIPTED_ADDRESS> PrefixesOf(const std::vector<SCRIPTED_ADDRESS>& addresses)
{
    std::vector<SCRIPTED_ADDRESS> prefixes;
    for (const SCRIPTED_ADDRESS& address : addresses)
    {
        SCRIPTED_ADDRESS prefix = NetworkOf(address);
        bool known = std::any_of(prefixes.begin(), prefixes.end(),
                                 [&prefix](const SCRIPTED_ADDRESS& other)
                                 {
                                     return other.PrefixLength == prefix.PrefixLength &&
                                            std::memcmp(&other.Address, &prefix.Address, sizeof(prefix.Address)) == 0;
                                 });
        if (!known)
            prefixes.push_back(prefix);
    }
    return prefixes;
}

void FillIdentity(IP_ADAPTER_ADDRESSES& out, const SCRIPTED_ADAPTER& adapter)
{
    bool loopback = adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    out.Length = sizeof(out);
    out.IfIndex = adapter.HasFamily(AF_INET) ? adapter.IfIndex() : 0;
    out.Ipv6IfIndex = adapter.HasFamily(AF_INET6) ? adapter.IfIndex() : 0;
    out.Ipv4Enabled = adapter.HasFamily(AF_INET);
    out.Ipv6Enabled = adapter.HasFamily(AF_INET6);
    out.IfType = adapter.IfType;
    out.OperStatus = adapter.OperStatus;
    out.Mtu = loopback ? 0xFFFFFFFF : 1500;
    out.TransmitLinkSpeed = out.ReceiveLinkSpeed = 1000000000;
    out.Ipv4Metric = out.Ipv6Metric = loopback ? 75 : 25;
    out.Luid.Info.IfType = adapter.IfType;
    out.Luid.Info.NetLuidIndex = adapter.Number;
    out.ConnectionType = NET_IF_CONNECTION_DEDICATED;
    out.ZoneIndices[ScopeLevelInterface] = out.ZoneIndices[ScopeLevelLink] = adapter.IfIndex();
    if (!loopback)
    {
        // A locally administered MAC address that names the adapter's number.
        const BYTE mac[] = {
            0x02, 0x00, 0x4B, 0x54, static_cast<BYTE>(adapter.Number >> 8), static_cast<BYTE>(adapter.Number)};
        std::memcpy(out.PhysicalAddress, mac, sizeof(mac));
        out.PhysicalAddressLength = sizeof(mac);
    }
}

IP_ADAPTER_ADDRESSES* EmitAdapter(CArena& arena, const SCRIPTED_ADAPTER& adapter, ULONG family, ULONG flags)
{
    std::vector<SCRIPTED_ADDRESS> addresses = AddressesOf(adapter, family);
    IF_INDEX ipv6IfIndex = adapter.HasFamily(AF_INET6) ? adapter.IfIndex() : 0;
    auto* out = arena.New<IP_ADAPTER_ADDRESSES>();
    char* adapterName = arena.CopyString(adapter.AdapterName);
    IP_ADAPTER_UNICAST_ADDRESS* firstUnicast = nullptr;
    if (!(flags & GAA_FLAG_SKIP_UNICAST))
        EmitList(arena, addresses, &firstUnicast,
                 [ipv6IfIndex](CArena& a, const SCRIPTED_ADDRESS& address)
                 { return EmitUnicast(a, address, ipv6IfIndex); });
    wchar_t* dnsSuffix = arena.CopyString(std::wstring());
    wchar_t* description = arena.CopyString(adapter.Description);
    // Skipping the friendly name leaves an empty one, never a null pointer.
    wchar_t* friendlyName =
        arena.CopyString((flags & GAA_FLAG_SKIP_FRIENDLY_NAME) ? std::wstring() : adapter.FriendlyName);
    IP_ADAPTER_PREFIX* firstPrefix = nullptr;
    if (flags & GAA_FLAG_INCLUDE_PREFIX)
        EmitList(arena, PrefixesOf(addresses), &firstPrefix, EmitPrefix);
    if (arena.Counting())
        return nullptr;
    FillIdentity(*out, adapter);
    out->AdapterName = adapterName;
    out->FirstUnicastAddress = firstUnicast;
    out->DnsSuffix = dnsSuffix;
    out->Description = description;
    out->FriendlyName = friendlyName;
    out->FirstPrefix = firstPrefix;
    return out;
}

void EmitAdapters(CArena& arena, const std::vector<const SCRIPTED_ADAPTER*>& adapters, ULONG family, ULONG flags)
{
    IP_ADAPTER_ADDRESSES** link = nullptr;
    for (const SCRIPTED_ADAPTER* adapter : adapters)
    {
        IP_ADAPTER_ADDRESSES* out = EmitAdapter(arena, *adapter, family, flags);
        if (arena.Counting())
            continue;
        if (link)
            *link = out;
        link = &out->Next;
    }
}

std::vector<const SCRIPTED_ADAPTER*> SelectAdapters(const std::vector<SCRIPTED_ADAPTER>& adapters, ULONG family)
{
    std::vector<const SCRIPTED_ADAPTER*> selected;
    for (const SCRIPTED_ADAPTER& adapter : adapters)
        if (family == AF_UNSPEC || adapter.HasFamily(static_cast<ADDRESS_FAMILY>(family)))
            selected.push_back(&adapter);
    return selected;
}
} // namespace

ULONG WriteAdapterAddresses(const std::vector<SCRIPTED_ADAPTER>& adapters, ULONG family, ULONG flags,
                            IP_ADAPTER_ADDRESSES* buffer, ULONG* size)
{
    std::vector<const SCRIPTED_ADAPTER*> selected = SelectAdapters(adapters, family);
    if (selected.empty())
        return ERROR_NO_DATA;
    CArena counter;
    EmitAdapters(counter, selected, family, flags);
    if (!buffer || *size < counter.Used())
    {
        *size = static_cast<ULONG>(counter.Used());
        return ERROR_BUFFER_OVERFLOW;
    }
    CArena arena(buffer);
    EmitAdapters(arena, selected, family, flags);
    return ERROR_SUCCESS;
}

#pragma once

#include <cstdint>
#include <vector>
#include <winsock2.h>
#include <ws2tcpip.h>

struct STREAM;

// The machine's IP addresses, each in a socket-address slot of its own,
// behind a lock of their own.
class CAddressList
{
public:
    CAddressList() = default;
    CAddressList(const CAddressList&) = delete;
    CAddressList& operator=(const CAddressList&) = delete;

    void Clear();
    // False (nothing added) for an address longer than a slot.
    bool Append(const sockaddr* address, int length);

    // Bytes the entries take on the wire: 5 per IPv4, 17 per IPv6 address.
    uint32_t AddressListSize() const;
    uint16_t AddressCount() const;

    // Writes the local address first, then every entry but the one equal to
    // it; without a local address, every IPv4 and IPv6 entry. Returns the
    // number of addresses written.
    uint16_t WriteAddressList(STREAM& stream, const sockaddr* local = nullptr) const;

    std::vector<SOCKADDR_STORAGE> Snapshot() const;

private:
    mutable SRWLOCK m_Lock = SRWLOCK_INIT;
    std::vector<SOCKADDR_STORAGE> m_Entries;
};

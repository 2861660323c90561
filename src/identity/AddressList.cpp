#include "identity/AddressList.h"

#include "diag/Exception.h"
#include "identity/Stream.h"

#include <cstring>

namespace
{
class CSharedLock
{
public:
    explicit CSharedLock(SRWLOCK& lock) : m_Lock(lock) { AcquireSRWLockShared(&m_Lock); }
    ~CSharedLock() { ReleaseSRWLockShared(&m_Lock); }

private:
    SRWLOCK& m_Lock;
};

class CExclusiveLock
{
public:
    explicit CExclusiveLock(SRWLOCK& lock) : m_Lock(lock) { AcquireSRWLockExclusive(&m_Lock); }
    ~CExclusiveLock() { ReleaseSRWLockExclusive(&m_Lock); }

private:
    SRWLOCK& m_Lock;
};

// Writes one address as its type byte and its bytes in network order; false
// for a family that has no wire form.
bool WriteAddress(STREAM& stream, const sockaddr* address)
{
    // An address is written whole or not at all.
    uint32_t needed = address->sa_family == AF_INET ? 5 : address->sa_family == AF_INET6 ? 17 : 0;
    if (stream.Free() < needed)
        throw CException(STREAM_E_OVERFLOW, L"");
    if (address->sa_family == AF_INET)
    {
        stream.WriteU8(4);
        stream.WriteBytes(&reinterpret_cast<const sockaddr_in*>(address)->sin_addr, 4);
        return true;
    }
    if (address->sa_family == AF_INET6)
    {
        stream.WriteU8(6);
        stream.WriteBytes(&reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
        return true;
    }
    return false;
}

bool SameAddress(const sockaddr* a, const sockaddr* b)
{
    if (!b || a->sa_family != b->sa_family)
        return false;
    if (a->sa_family == AF_INET)
        return std::memcmp(&reinterpret_cast<const sockaddr_in*>(a)->sin_addr,
                           &reinterpret_cast<const sockaddr_in*>(b)->sin_addr, 4) == 0;
    if (a->sa_family == AF_INET6)
        return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(a)->sin6_addr,
                           &reinterpret_cast<const sockaddr_in6*>(b)->sin6_addr, 16) == 0;
    return false;
}
} // namespace

void CAddressList::Clear()
{
    CExclusiveLock lock(m_Lock);
    m_Entries.clear();
}

bool CAddressList::Append(const sockaddr* address, int length)
{
    if (length <= 0 || length > static_cast<int>(sizeof(SOCKADDR_STORAGE)))
        return false;
    SOCKADDR_STORAGE slot{};
    std::memcpy(&slot, address, static_cast<size_t>(length));
    CExclusiveLock lock(m_Lock);
    m_Entries.push_back(slot);
    return true;
}

uint32_t CAddressList::AddressListSize() const
{
    CSharedLock lock(m_Lock);
    uint32_t size = 0;
    for (const auto& entry : m_Entries)
        size += entry.ss_family == AF_INET6 ? 17 : entry.ss_family == AF_INET ? 5 : 0;
    return size;
}

uint16_t CAddressList::AddressCount() const
{
    CSharedLock lock(m_Lock);
    return static_cast<uint16_t>(m_Entries.size());
}

uint16_t CAddressList::WriteAddressList(STREAM& stream, const sockaddr* local) const
{
    uint16_t written = 0;
    if (local && WriteAddress(stream, local))
        ++written;
    CSharedLock lock(m_Lock);
    for (const auto& entry : m_Entries)
    {
        const auto* address = reinterpret_cast<const sockaddr*>(&entry);
        if (SameAddress(address, local))
            continue;
        if (WriteAddress(stream, address))
            ++written;
    }
    return written;
}

std::vector<SOCKADDR_STORAGE> CAddressList::Snapshot() const
{
    CSharedLock lock(m_Lock);
    return m_Entries;
}

#pragma once

#include "common/UniqueResource.h"

#include <windows.h>

#include <cstdint>
#include <type_traits>
#include <winsock2.h>

// The peer addresses of one datagram operation.
struct IO_ADDRESS
{
    SOCKADDR_STORAGE From; // filled by WSARecvFrom
    INT FromLength;        // 128 before each receive
    SOCKADDR_STORAGE To;   // where WSASendTo sends
    INT ToLength;          // 128 before each send
};

// What an IO_DATA is doing; the dispatcher routes a completion by it.
enum IOOperation : uint32_t
{
    IO_IDLE = 0,
    IO_RECEIVE_QUEUED = 9,  // a worker is to issue WSARecvFrom
    IO_RECEIVE_ISSUED = 10, // WSARecvFrom issued
    IO_SEND_QUEUED = 11,    // a worker is to issue WSASendTo
    IO_SEND_ISSUED = 12,    // WSASendTo issued
};

namespace ResourceRelease
{
inline void VirtualFree(uint8_t* pages) { ::VirtualFree(pages, 0, MEM_RELEASE); }
inline void DeleteIOAddress(IO_ADDRESS* address) { delete address; }
} // namespace ResourceRelease

using CPageBuffer = CUniqueResource<uint8_t*, ResourceRelease::VirtualFree>;
using CIOAddressHolder = CUniqueResource<IO_ADDRESS*, ResourceRelease::DeleteIOAddress>;

// One overlapped datagram operation with its buffer. The completion packet's
// overlapped pointer is the record's address, so Overlapped comes first.
// Destroying the record releases its pages and its address block.
struct IO_DATA
{
    OVERLAPPED Overlapped;
    CPageBuffer Buffer;
    uint32_t Capacity; // bytes at Buffer
    uint32_t Used;     // bytes received so far, or bytes to send
    WSABUF WsaBuf;     // the region of the current operation
    uint32_t Operation;
    CIOAddressHolder Address; // created on the first receive
};

static_assert(std::is_standard_layout_v<IO_DATA>, "the overlapped pointer must convert to the record");

inline IO_DATA* IODataFrom(OVERLAPPED* overlapped) { return reinterpret_cast<IO_DATA*>(overlapped); }

// A zeroed record with size bytes of committed pages; null when either
// cannot be had.
IO_DATA* CreateIOData(uint32_t size);

// Swaps the record's pages for a fresh, larger set; the record is left
// untouched when the new pages cannot be had.
bool ReplaceIOBuffer(IO_DATA& io, uint32_t size);

// Creates the address block unless the record already has one.
bool EnsureIOAddress(IO_DATA& io);

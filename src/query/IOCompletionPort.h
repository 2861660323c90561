#pragma once

#include "common/Handle.h"

#include <windows.h>

// One dequeued completion packet. Error is 0 for a successful operation and
// the system's error for a failed one; a packet of a failed operation still
// carries its byte count, key and overlapped pointer.
struct COMPLETION_PACKET
{
    DWORD Bytes = 0;
    ULONG_PTR Key = 0;
    OVERLAPPED* Overlapped = nullptr;
    DWORD Error = 0;
};

// Owner of one I/O completion port.
class CIOCompletionPort
{
public:
    // concurrency 0: one running thread per processor.
    bool Create(DWORD concurrency = 0);
    bool IsValid() const { return m_Handle.IsValid(); }
    HANDLE Get() const { return m_Handle.Get(); }

    bool Associate(HANDLE file, ULONG_PTR key);
    bool Post(DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped);

    // False when no packet came: a time-out, or the port failed (closed).
    bool Dequeue(COMPLETION_PACKET& packet, DWORD timeoutMs);

    void Close() { m_Handle.Close(); }

private:
    CHandle m_Handle;
};

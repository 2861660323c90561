#include "query/IOCompletionPort.h"

bool CIOCompletionPort::Create(DWORD concurrency)
{
    m_Handle.Reset(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, concurrency));
    return m_Handle.IsValid();
}

bool CIOCompletionPort::Associate(HANDLE file, ULONG_PTR key)
{
    return CreateIoCompletionPort(file, m_Handle.Get(), key, 0) != nullptr;
}

bool CIOCompletionPort::Post(DWORD bytes, ULONG_PTR key, OVERLAPPED* overlapped)
{
    return PostQueuedCompletionStatus(m_Handle.Get(), bytes, key, overlapped) != FALSE;
}

bool CIOCompletionPort::Dequeue(COMPLETION_PACKET& packet, DWORD timeoutMs)
{
    packet = COMPLETION_PACKET{};
    BOOL succeeded =
        GetQueuedCompletionStatus(m_Handle.Get(), &packet.Bytes, &packet.Key, &packet.Overlapped, timeoutMs);
    if (succeeded)
        return true;
    packet.Error = GetLastError();
    // Without an overlapped pointer nothing was dequeued.
    return packet.Overlapped != nullptr;
}

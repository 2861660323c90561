#pragma once

#include "query/IOCompletionPort.h"

#include <cstddef>

// Operations on a socket that skips the port on success finish inside the
// Winsock call, and no packet follows. A worker collects them here while it
// handles a packet and handles them after it, so that a run of them neither
// recurses nor costs a trip through the port each. What does not fit, or is
// left when the worker moves on, goes to the port as an ordinary packet.
class CInlineCompletions
{
public:
    static constexpr size_t Capacity = 32;

    // Becomes the calling thread's collection for its lifetime.
    explicit CInlineCompletions(CIOCompletionPort& port);
    ~CInlineCompletions();
    CInlineCompletions(const CInlineCompletions&) = delete;
    CInlineCompletions& operator=(const CInlineCompletions&) = delete;

    // Collected by the calling thread's collection, or posted to the port
    // when the thread has none or it is full; false when even the post
    // failed (the port is closed).
    static bool Add(CIOCompletionPort& port, const COMPLETION_PACKET& packet);

    bool Take(COMPLETION_PACKET& packet);
    // Hands everything still collected to the port.
    void PostRemaining();

private:
    CIOCompletionPort& m_Port;
    CInlineCompletions* m_Previous;
    COMPLETION_PACKET m_Packets[Capacity];
    size_t m_First = 0;
    size_t m_Count = 0;
};

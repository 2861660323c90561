#include "query/InlineCompletions.h"

namespace
{
thread_local CInlineCompletions* ThreadCollection = nullptr;
} // namespace

CInlineCompletions::CInlineCompletions(CIOCompletionPort& port) : m_Port(port), m_Previous(ThreadCollection)
{
    ThreadCollection = this;
}

// A handler that threw leaves its follow-ups here; they still complete.
CInlineCompletions::~CInlineCompletions()
{
    PostRemaining();
    ThreadCollection = m_Previous;
}

bool CInlineCompletions::Add(CIOCompletionPort& port, const COMPLETION_PACKET& packet)
{
    CInlineCompletions* collection = ThreadCollection;
    if (collection && &collection->m_Port == &port && collection->m_Count < Capacity)
    {
        collection->m_Packets[(collection->m_First + collection->m_Count) % Capacity] = packet;
        ++collection->m_Count;
        return true;
    }
    return port.Post(packet.Bytes, packet.Key, packet.Overlapped);
}

bool CInlineCompletions::Take(COMPLETION_PACKET& packet)
{
    if (m_Count == 0)
        return false;
    packet = m_Packets[m_First];
    m_First = (m_First + 1) % Capacity;
    --m_Count;
    return true;
}

void CInlineCompletions::PostRemaining()
{
    COMPLETION_PACKET packet;
    while (Take(packet))
        m_Port.Post(packet.Bytes, packet.Key, packet.Overlapped);
}

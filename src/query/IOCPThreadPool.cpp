#include "query/IOCPThreadPool.h"

#include <atomic>

namespace
{
std::atomic<uint32_t> LastWorkerId{0};
} // namespace

CIOCPThreadPool::CWorker::CWorker(CIOCPThreadPool& owner)
    : CThread(L"CIOCPThreadPool::CWorker"), m_Id(++LastWorkerId), m_Owner(owner), m_Port(owner.m_Port)
{
}

DWORD CIOCPThreadPool::CWorker::ThreadProc()
{
    for (;;)
    {
        COMPLETION_PACKET packet;
        // A failed wait without a packet leaves key 0 and ends the loop like
        // a quit packet; a packet of a failed operation is dispatched.
        if (!m_Port.Dequeue(packet, INFINITE) || packet.Key == 0)
            return 0;
        try
        {
            Dispatch(packet);
        }
        catch (...)
        {
            // One packet's handler failing must not take the worker, and with
            // it half of the server's capacity, down; handlers log their own
            // failures.
        }
    }
}

void CIOCPThreadPool::CWorker::Dispatch(const COMPLETION_PACKET& packet) { m_Owner.OnCompletion(packet); }

CIOCPThreadPool::~CIOCPThreadPool() { EndWorkers(); }

bool CIOCPThreadPool::StartThreads()
{
    for (uint16_t i = 0; i < m_ThreadCount; ++i)
    {
        std::unique_ptr<CWorker> worker = CreateWorker();
        if (!worker || !worker->Start())
            return false;
        m_Workers.push_back(std::move(worker));
    }
    return true;
}

void CIOCPThreadPool::PostQuitPackets()
{
    for (size_t i = 0; i < m_Workers.size(); ++i)
        m_Port.Post(0, 0, nullptr);
}

bool CIOCPThreadPool::WaitForWorkers(DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (auto& worker : m_Workers)
    {
        ULONGLONG now = GetTickCount64();
        DWORD remaining = now < deadline ? static_cast<DWORD>(deadline - now) : 0;
        if (worker->Join(timeoutMs == INFINITE ? INFINITE : remaining) == CThread::EXIT_TIMEOUT)
            return false;
    }
    return true;
}

bool CIOCPThreadPool::WorkersEnded() const
{
    for (const auto& worker : m_Workers)
        if (worker->IsAlive())
            return false;
    return true;
}

uint16_t CIOCPThreadPool::RunningWorkers() const
{
    uint16_t running = 0;
    for (const auto& worker : m_Workers)
        if (worker->State() == CThread::STATE_RUNNING)
            ++running;
    return running;
}

void CIOCPThreadPool::EndWorkers()
{
    if (WorkersEnded())
        return;
    PostQuitPackets();
    WaitForWorkers(INFINITE);
}

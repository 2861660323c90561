#pragma once

#include "platform/Thread.h"
#include "query/IOCompletionPort.h"

#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

// Worker threads that drain one I/O completion port and hand every packet to
// the pool's OnCompletion. A packet with key 0 ends the worker that takes it.
class CIOCPThreadPool
{
public:
    class CWorker : public CThread
    {
    public:
        explicit CWorker(CIOCPThreadPool& owner);
        uint32_t Id() const { return m_Id; }

    protected:
        DWORD ThreadProc() override;
        // Forwards a dequeued packet to the owner.
        virtual void Dispatch(const COMPLETION_PACKET& packet);

    private:
        const uint32_t m_Id;
        CIOCPThreadPool& m_Owner;
        CIOCompletionPort& m_Port;
    };

    CIOCPThreadPool() = default;
    virtual ~CIOCPThreadPool();
    CIOCPThreadPool(const CIOCPThreadPool&) = delete;
    CIOCPThreadPool& operator=(const CIOCPThreadPool&) = delete;

    // Starts ThreadCount workers; false as soon as one cannot be started.
    bool StartThreads();

    // One packet with key 0 per started worker.
    void PostQuitPackets();

    // Waits, at most timeoutMs in all, for every started worker to end.
    bool WaitForWorkers(DWORD timeoutMs);
    bool WorkersEnded() const;
    uint16_t RunningWorkers() const;

    uint16_t ThreadCount() const { return m_ThreadCount; }
    const CIOCompletionPort& Port() const { return m_Port; }

protected:
    virtual std::unique_ptr<CWorker> CreateWorker() = 0;
    // Runs on a worker for every packet whose key is not 0.
    virtual void OnCompletion(const COMPLETION_PACKET& packet) = 0;

    // Ends the workers, however long that takes: whatever they use must not
    // be destroyed under them. Destructors of derived pools call it first.
    void EndWorkers();

    uint16_t m_ThreadCount = 0;
    CIOCompletionPort m_Port;

private:
    std::vector<std::unique_ptr<CWorker>> m_Workers;
};

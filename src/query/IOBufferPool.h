#pragma once

#include "common/CriticalSection.h"
#include "query/IOData.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

// Where the UDP framework gets its I/O records and gives them back.
class IIOBufferPool
{
public:
    virtual ~IIOBufferPool() = default;
    // A record with Used 0, or null when none can be had.
    virtual IO_DATA* GetIOData() = 0;
    // Takes the record back; null is ignored.
    virtual void ReleaseIOData(IO_DATA* io) = 0;
    virtual uint32_t GetAllocatedCount() const = 0;
};

// Page-sized I/O records, recycled first in first out through a free list of
// bounded length instead of being freed.
class CIOBufferPool final : public IIOBufferPool
{
public:
    static constexpr uint32_t DefaultMaxFree = 100;

    explicit CIOBufferPool(uint32_t bufferSize, uint32_t maxFree = DefaultMaxFree);
    CIOBufferPool(const CIOBufferPool&) = delete;
    CIOBufferPool& operator=(const CIOBufferPool&) = delete;

    IO_DATA* GetIOData() override;
    void ReleaseIOData(IO_DATA* io) override;
    uint32_t GetAllocatedCount() const override { return m_Allocated.load(); }

    uint32_t BufferSize() const { return m_BufferSize; }
    uint32_t ReusedCount() const { return m_Reused.load(); }
    uint32_t FreedCount() const { return m_Freed.load(); }
    uint32_t ReturnedCount() const { return m_Returned.load(); }
    uint32_t FreeCount();

private:
    std::unique_ptr<IO_DATA> TakeFree();
    IO_DATA* Allocate();
    void Dispose(std::unique_ptr<IO_DATA> io);

    const uint32_t m_BufferSize;
    const uint32_t m_MaxFree;
    std::atomic<uint32_t> m_Allocated{0};
    std::atomic<uint32_t> m_Reused{0};
    std::atomic<uint32_t> m_Freed{0};
    std::atomic<uint32_t> m_Returned{0};
    std::deque<std::unique_ptr<IO_DATA>> m_FreeList;
    CCriticalSection m_Lock; // guards m_FreeList only
};

// The system page size, the size of every pooled I/O buffer; read once and
// kept for the process.
uint32_t SystemPageSize();

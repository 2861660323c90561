#include "query/IOBufferPool.h"

CIOBufferPool::CIOBufferPool(uint32_t bufferSize, uint32_t maxFree) : m_BufferSize(bufferSize), m_MaxFree(maxFree) {}

IO_DATA* CIOBufferPool::GetIOData()
{
    if (std::unique_ptr<IO_DATA> io = TakeFree())
    {
        ++m_Reused;
        io->Used = 0;
        return io.release();
    }
    return Allocate();
}

std::unique_ptr<IO_DATA> CIOBufferPool::TakeFree()
{
    CLock lock(m_Lock);
    if (m_FreeList.empty())
        return nullptr;
    std::unique_ptr<IO_DATA> io = std::move(m_FreeList.front());
    m_FreeList.pop_front();
    return io;
}

IO_DATA* CIOBufferPool::Allocate()
{
    IO_DATA* io = CreateIOData(m_BufferSize);
    if (io)
        ++m_Allocated;
    return io;
}

void CIOBufferPool::ReleaseIOData(IO_DATA* io)
{
    if (!io)
        return;
    std::unique_ptr<IO_DATA> record(io);
    // A record whose buffer a handler swapped for a larger one would make
    // every later user of the pool pay for that size.
    if (record->Capacity != m_BufferSize)
        return Dispose(std::move(record));
    {
        CLock lock(m_Lock);
        if (m_FreeList.size() < m_MaxFree)
        {
            m_FreeList.push_back(std::move(record));
            ++m_Returned;
            return;
        }
    }
    Dispose(std::move(record));
}

void CIOBufferPool::Dispose(std::unique_ptr<IO_DATA> io)
{
    io.reset();
    ++m_Freed;
}

uint32_t CIOBufferPool::FreeCount()
{
    CLock lock(m_Lock);
    return static_cast<uint32_t>(m_FreeList.size());
}

uint32_t SystemPageSize()
{
    static const uint32_t PageSize = []
    {
        SYSTEM_INFO info{};
        GetSystemInfo(&info);
        return static_cast<uint32_t>(info.dwPageSize);
    }();
    return PageSize;
}

#include "query/IOBufferPool.h"

#include <gtest/gtest.h>
#include <vector>

namespace
{
// Takes count records from the pool.
std::vector<IO_DATA*> Take(CIOBufferPool& pool, int count)
{
    std::vector<IO_DATA*> records;
    for (int i = 0; i < count; ++i)
        records.push_back(pool.GetIOData());
    return records;
}
} // namespace

TEST(IOBufferPool, NewRecordsArePageBuffersReadyForAReceive)
{
    CIOBufferPool pool(SystemPageSize());
    IO_DATA* io = pool.GetIOData();
    ASSERT_NE(io, nullptr);
    EXPECT_EQ(io->Capacity, SystemPageSize());
    EXPECT_EQ(io->Used, 0u);
    EXPECT_EQ(io->Operation, 0u);
    EXPECT_FALSE(io->Address);
    EXPECT_EQ(io->WsaBuf.len, io->Capacity);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(io->WsaBuf.buf), io->Buffer.Get());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(io->Buffer.Get()) % SystemPageSize(), 0u);
    io->Buffer.Get()[io->Capacity - 1] = 1; // the whole page is committed
    EXPECT_EQ(IODataFrom(&io->Overlapped), io);
    EXPECT_EQ(pool.GetAllocatedCount(), 1u);
    pool.ReleaseIOData(io);
}

TEST(IOBufferPool, ReleasedRecordsAreReusedOldestFirstWithUsedCleared)
{
    CIOBufferPool pool(4096);
    std::vector<IO_DATA*> records = Take(pool, 3);
    for (IO_DATA* io : records)
    {
        io->Used = 17;
        pool.ReleaseIOData(io);
    }
    EXPECT_EQ(pool.ReturnedCount(), 3u);
    EXPECT_EQ(pool.FreeCount(), 3u);
    for (IO_DATA* expected : records)
    {
        IO_DATA* io = pool.GetIOData();
        EXPECT_EQ(io, expected);
        EXPECT_EQ(io->Used, 0u);
    }
    EXPECT_EQ(pool.ReusedCount(), 3u);
    EXPECT_EQ(pool.GetAllocatedCount(), 3u);
    for (IO_DATA* io : records)
        pool.ReleaseIOData(io);
}

TEST(IOBufferPool, TheHundredAndFirstReleasedRecordIsDestroyed)
{
    CIOBufferPool pool(4096);
    std::vector<IO_DATA*> records = Take(pool, 101);
    for (int i = 0; i < 100; ++i)
        pool.ReleaseIOData(records[i]);
    EXPECT_EQ(pool.FreeCount(), 100u);
    EXPECT_EQ(pool.FreedCount(), 0u);

    pool.ReleaseIOData(records[100]);
    EXPECT_EQ(pool.FreeCount(), 100u);
    EXPECT_EQ(pool.FreedCount(), 1u);
    EXPECT_EQ(pool.ReturnedCount(), 100u);
    // The oldest pooled record comes back first.
    IO_DATA* next = pool.GetIOData();
    EXPECT_EQ(next, records[0]);
    pool.ReleaseIOData(next);
}

TEST(IOBufferPool, ARecordOfAForeignSizeIsNeverPooled)
{
    CIOBufferPool pool(4096);
    IO_DATA* io = pool.GetIOData();
    ASSERT_TRUE(ReplaceIOBuffer(*io, 0x40000));
    EXPECT_EQ(io->Capacity, 0x40000u);
    pool.ReleaseIOData(io);
    EXPECT_EQ(pool.FreeCount(), 0u);
    EXPECT_EQ(pool.FreedCount(), 1u);
    EXPECT_EQ(pool.ReturnedCount(), 0u);

    // Nor is one made elsewhere with another size.
    pool.ReleaseIOData(CreateIOData(8192));
    EXPECT_EQ(pool.FreeCount(), 0u);
    EXPECT_EQ(pool.FreedCount(), 2u);
}

TEST(IOBufferPool, ANullRecordIsIgnored)
{
    CIOBufferPool pool(4096);
    pool.ReleaseIOData(nullptr);
    EXPECT_EQ(pool.FreedCount() + pool.ReturnedCount() + pool.FreeCount(), 0u);
}

TEST(IOBufferPool, ASwappedBufferKeepsTheRecordsAddressAndSetsUpTheNewRegion)
{
    CIOBufferPool pool(4096);
    IO_DATA* io = pool.GetIOData();
    ASSERT_TRUE(EnsureIOAddress(*io));
    IO_ADDRESS* address = io->Address.Get();
    io->Used = 12;
    ASSERT_TRUE(ReplaceIOBuffer(*io, 0x40000));
    EXPECT_EQ(io->Address.Get(), address);
    EXPECT_EQ(io->Used, 0u);
    EXPECT_EQ(io->WsaBuf.len, 0x40000u);
    EXPECT_EQ(reinterpret_cast<uint8_t*>(io->WsaBuf.buf), io->Buffer.Get());
    io->Buffer.Get()[0x40000 - 1] = 1;
    pool.ReleaseIOData(io);
}

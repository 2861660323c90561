#include "wtsapi32/WtsMemory.h"

#include "shared/Holders.h"

#include <windows.h>

#include <new>
#include <unordered_set>

namespace
{
SRWLOCK Lock = SRWLOCK_INIT;
std::unordered_set<void*> Buffers;
} // namespace

void* AllocateWtsMemory(std::size_t size)
{
    void* memory = HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, size);
    if (!memory)
        return nullptr;
    try
    {
        CExclusiveLock lock(Lock);
        Buffers.insert(memory);
    }
    catch (const std::bad_alloc&)
    {
        HeapFree(GetProcessHeap(), 0, memory);
        return nullptr;
    }
    return memory;
}

bool FreeWtsMemory(void* memory)
{
    bool ours = false;
    {
        CExclusiveLock lock(Lock);
        ours = Buffers.erase(memory) != 0;
    }
    if (ours)
        HeapFree(GetProcessHeap(), 0, memory);
    return ours;
}

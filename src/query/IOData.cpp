#include "query/IOData.h"

#include <new>

namespace
{
uint8_t* CommitPages(uint32_t size)
{
    return static_cast<uint8_t*>(VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
}
} // namespace

IO_DATA* CreateIOData(uint32_t size)
{
    auto* io = new (std::nothrow) IO_DATA{};
    if (!io)
        return nullptr;
    io->Buffer.Reset(CommitPages(size));
    if (!io->Buffer)
    {
        delete io;
        return nullptr;
    }
    io->Capacity = size;
    io->WsaBuf = {size, reinterpret_cast<char*>(io->Buffer.Get())};
    return io;
}

bool ReplaceIOBuffer(IO_DATA& io, uint32_t size)
{
    CPageBuffer pages(CommitPages(size));
    if (!pages)
        return false;
    io.Buffer = std::move(pages);
    io.Capacity = size;
    io.Used = 0;
    io.WsaBuf = {size, reinterpret_cast<char*>(io.Buffer.Get())};
    return true;
}

bool EnsureIOAddress(IO_DATA& io)
{
    if (!io.Address)
        io.Address.Reset(new (std::nothrow) IO_ADDRESS{});
    return static_cast<bool>(io.Address);
}

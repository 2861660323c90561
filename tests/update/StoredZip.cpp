#include "StoredZip.h"

#include "TestSupport.h"

#include <zlib.h>

namespace
{
constexpr uint16_t Utf8Names = 0x800;

void Put16(std::string& out, uint32_t value)
{
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
}

void Put32(std::string& out, uint32_t value)
{
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

// The fields local and central headers share, from "version needed" on.
std::string CommonFields(const STORED_ENTRY& entry)
{
    std::string fields;
    uint32_t size = static_cast<uint32_t>(entry.Data.size());
    Put16(fields, 20);
    Put16(fields, Utf8Names);
    Put16(fields, 0); // stored
    Put32(fields, 0); // time and date
    Put32(fields, crc32(0, reinterpret_cast<const Bytef*>(entry.Data.data()), size));
    Put32(fields, size);
    Put32(fields, entry.DeclaredSize ? entry.DeclaredSize : size);
    Put16(fields, static_cast<uint32_t>(entry.Name.size()));
    Put16(fields, 0); // extra field
    return fields;
}
} // namespace

void WriteStoredZip(const std::wstring& path, const std::vector<STORED_ENTRY>& entries)
{
    std::string archive, directory;
    for (const STORED_ENTRY& entry : entries)
    {
        uint32_t offset = static_cast<uint32_t>(archive.size());
        Put32(archive, 0x04034B50);
        archive += CommonFields(entry) + entry.Name + entry.Data;

        Put32(directory, 0x02014B50);
        Put16(directory, (entry.MadeOnUnix ? 3u << 8 : 0u) | 20);
        std::string common = CommonFields(entry);
        directory += common;
        Put16(directory, 0); // comment
        Put16(directory, 0); // disk
        Put16(directory, 0); // internal attributes
        Put32(directory, entry.ExternalAttributes);
        Put32(directory, offset);
        directory += entry.Name;
    }
    uint32_t directoryOffset = static_cast<uint32_t>(archive.size());
    archive += directory;
    Put32(archive, 0x06054B50);
    Put32(archive, 0); // disks
    Put16(archive, static_cast<uint32_t>(entries.size()));
    Put16(archive, static_cast<uint32_t>(entries.size()));
    Put32(archive, static_cast<uint32_t>(directory.size()));
    Put32(archive, directoryOffset);
    Put16(archive, 0); // comment
    WriteFileBytes(path, archive);
}

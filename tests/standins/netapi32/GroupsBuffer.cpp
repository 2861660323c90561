#include "netapi32/GroupsBuffer.h"

#include <cstring>

namespace
{
// Windows reports a global group's membership as always on.
constexpr DWORD GroupAttributes = SE_GROUP_MANDATORY | SE_GROUP_ENABLED | SE_GROUP_ENABLED_BY_DEFAULT;

size_t EntrySize(DWORD level) { return level == 0 ? sizeof(GROUP_USERS_INFO_0) : sizeof(GROUP_USERS_INFO_1); }

size_t NameSize(const std::wstring& name) { return (name.size() + 1) * sizeof(wchar_t); }

// How many entries, and how many bytes, the preferred length allows.
size_t EntriesThatFit(const std::vector<std::wstring>& groups, DWORD level, DWORD prefmaxlen, size_t& size)
{
    size = 0;
    size_t count = 0;
    for (const std::wstring& group : groups)
    {
        size_t entry = EntrySize(level) + NameSize(group);
        if (prefmaxlen != MAX_PREFERRED_LENGTH && size + entry > prefmaxlen)
            break;
        size += entry;
        ++count;
    }
    return count;
}

void FillEntries(const std::vector<std::wstring>& groups, size_t count, DWORD level, LPBYTE buffer)
{
    auto* names = reinterpret_cast<wchar_t*>(buffer + count * EntrySize(level));
    for (size_t i = 0; i < count; ++i)
    {
        std::memcpy(names, groups[i].c_str(), NameSize(groups[i]));
        if (level == 0)
            reinterpret_cast<GROUP_USERS_INFO_0*>(buffer)[i].grui0_name = names;
        else
            reinterpret_cast<GROUP_USERS_INFO_1*>(buffer)[i] = GROUP_USERS_INFO_1{names, GroupAttributes};
        names += groups[i].size() + 1;
    }
}
} // namespace

GROUPS_BUFFER WriteGroupsBuffer(const std::vector<std::wstring>& groups, DWORD level, DWORD prefmaxlen)
{
    GROUPS_BUFFER result;
    size_t size = 0;
    size_t count = EntriesThatFit(groups, level, prefmaxlen, size);
    if (count < groups.size())
        result.Status = ERROR_MORE_DATA;
    if (count == 0)
        return result;
    void* buffer = nullptr;
    if (NET_API_STATUS status = NetApiBufferAllocate(static_cast<DWORD>(size), &buffer))
        return GROUPS_BUFFER{status, nullptr, 0};
    FillEntries(groups, count, level, static_cast<LPBYTE>(buffer));
    result.Buffer = static_cast<LPBYTE>(buffer);
    result.EntriesRead = static_cast<DWORD>(count);
    return result;
}

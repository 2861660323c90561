// Prints, as one JSON line, the counters of every running process whose image
// has the given name, the way Task Manager shows them: the benchmark, soak
// and fuzz scripts read them before and after a run. Not a test.
//
//   ProcessCounters.exe IMAGE-NAME [--layout]
//   {"pid":36,"handles":112,"threads":9,"private_bytes":4218880,"working_set":9650176}
//
// With --layout, a second line gives where the process's modules and thread
// stacks lie, so that a resident size read from outside (under Wine, from
// /proc/PID/smaps: the same addresses) can be told apart by owner:
//   {"pid":36,"modules":[{"name":"Kestrin.exe","base":5368709120,"size":1060864},...],
//    "stacks":[{"thread":37,"base":1048576,"top":2097152},...]}
//
// Exits with 1 when no such process runs.
#include "common/Handle.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <psapi.h>
#include <tlhelp32.h>
#include <vector>
#include <winternl.h>

namespace
{
// Wine answers GetProcessHandleCount with 0; the system's handle table, as
// Process Explorer reads it, holds the real figure on both systems.
struct HandleEntry
{
    ULONG OwnerPid;
    BYTE ObjectType;
    BYTE HandleFlags;
    USHORT HandleValue;
    PVOID ObjectPointer;
    ULONG AccessMask;
};

struct HandleTable
{
    ULONG Count;
    HandleEntry Handles[1];
};

constexpr SYSTEM_INFORMATION_CLASS SystemHandleInformationClass = static_cast<SYSTEM_INFORMATION_CLASS>(16);

long CountHandlesOf(DWORD processId)
{
    std::vector<BYTE> buffer(1 << 20);
    for (int attempt = 0; attempt < 8; ++attempt)
    {
        ULONG needed = 0;
        NTSTATUS status = NtQuerySystemInformation(SystemHandleInformationClass, buffer.data(),
                                                   static_cast<ULONG>(buffer.size()), &needed);
        if (status == static_cast<NTSTATUS>(0xC0000004L)) // STATUS_INFO_LENGTH_MISMATCH
        {
            buffer.resize(needed > buffer.size() ? needed + 65536 : buffer.size() * 2);
            continue;
        }
        if (status != 0)
            return -1;
        const auto* table = reinterpret_cast<const HandleTable*>(buffer.data());
        long count = 0;
        for (ULONG i = 0; i < table->Count; ++i)
            count += table->Handles[i].OwnerPid == processId ? 1 : 0;
        return count;
    }
    return -1;
}

// Private bytes are the committed private pages. Wine leaves PrivateUsage at
// 0, so they are summed from the address space, which both systems report.
unsigned long long CommittedPrivateBytes(HANDLE process)
{
    unsigned long long total = 0;
    MEMORY_BASIC_INFORMATION region{};
    for (const BYTE* address = nullptr; VirtualQueryEx(process, address, &region, sizeof(region)) == sizeof(region);
         address = static_cast<const BYTE*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    }
    return total;
}

struct ThreadBasics
{
    NTSTATUS ExitStatus;
    PVOID TebBaseAddress;
    CLIENT_ID ClientId;
    ULONG_PTR AffinityMask;
    LONG Priority;
    LONG BasePriority;
};

constexpr THREADINFOCLASS ThreadBasicInformationClass = static_cast<THREADINFOCLASS>(0);
// The TEB's DeallocationStack: the bottom of the stack's whole reservation.
constexpr size_t TebDeallocationStackOffset = 0x1478;

void PrintModules(HANDLE process)
{
    std::vector<HMODULE> modules(1024);
    DWORD needed = 0;
    if (!EnumProcessModulesEx(process, modules.data(), static_cast<DWORD>(modules.size() * sizeof(HMODULE)), &needed,
                              LIST_MODULES_ALL))
        return;
    modules.resize(std::min<size_t>(modules.size(), needed / sizeof(HMODULE)));
    const char* separator = "";
    for (HMODULE module : modules)
    {
        MODULEINFO info{};
        wchar_t name[MAX_PATH] = L"";
        if (!GetModuleInformation(process, module, &info, sizeof(info)) ||
            !GetModuleBaseNameW(process, module, name, MAX_PATH))
            continue;
        std::printf("%s{\"name\":\"%ls\",\"base\":%llu,\"size\":%lu}", separator, name,
                    static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(info.lpBaseOfDll)), info.SizeOfImage);
        separator = ",";
    }
}

void PrintStack(HANDLE process, DWORD threadId, const char* separator)
{
    CHandle thread(OpenThread(THREAD_QUERY_INFORMATION, FALSE, threadId));
    ThreadBasics basics{};
    if (!thread.IsValid() ||
        NtQueryInformationThread(thread.Get(), ThreadBasicInformationClass, &basics, sizeof(basics), nullptr) != 0)
        return;
    const BYTE* teb = static_cast<const BYTE*>(basics.TebBaseAddress);
    NT_TIB tib{};
    ULONG_PTR bottom = 0;
    if (!ReadProcessMemory(process, teb, &tib, sizeof(tib), nullptr) ||
        !ReadProcessMemory(process, teb + TebDeallocationStackOffset, &bottom, sizeof(bottom), nullptr))
        return;
    std::printf("%s{\"thread\":%lu,\"base\":%llu,\"top\":%llu}", separator, threadId,
                static_cast<unsigned long long>(bottom),
                static_cast<unsigned long long>(reinterpret_cast<ULONG_PTR>(tib.StackBase)));
}

void PrintStacks(HANDLE process, DWORD processId)
{
    CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    if (!snapshot.IsValid())
        return;
    THREADENTRY32 entry{};
    entry.dwSize = sizeof(entry);
    const char* separator = "";
    for (BOOL more = Thread32First(snapshot.Get(), &entry); more; more = Thread32Next(snapshot.Get(), &entry))
    {
        if (entry.th32OwnerProcessID != processId)
            continue;
        PrintStack(process, entry.th32ThreadID, separator);
        separator = ",";
    }
}

void PrintLayout(const PROCESSENTRY32W& entry)
{
    CHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
    if (!process.IsValid())
        return;
    std::printf("{\"pid\":%lu,\"modules\":[", entry.th32ProcessID);
    PrintModules(process.Get());
    std::printf("],\"stacks\":[");
    PrintStacks(process.Get(), entry.th32ProcessID);
    std::printf("]}\n");
}

void PrintCounters(const PROCESSENTRY32W& entry)
{
    CHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, entry.th32ProcessID));
    PROCESS_MEMORY_COUNTERS memory{};
    memory.cb = sizeof(memory);
    long handles = CountHandlesOf(entry.th32ProcessID);
    if (!process.IsValid() || !GetProcessMemoryInfo(process.Get(), &memory, sizeof(memory)))
    {
        std::printf("{\"pid\":%lu,\"error\":%lu}\n", entry.th32ProcessID, GetLastError());
        return;
    }
    std::printf("{\"pid\":%lu,\"handles\":%ld,\"threads\":%lu,\"private_bytes\":%llu,\"working_set\":%llu}\n",
                entry.th32ProcessID, handles, entry.cntThreads, CommittedPrivateBytes(process.Get()),
                static_cast<unsigned long long>(memory.WorkingSetSize));
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    bool layout = argc == 3 && lstrcmpW(argv[2], L"--layout") == 0;
    if (argc != 2 && !layout)
    {
        std::fprintf(stderr, "usage: ProcessCounters.exe IMAGE-NAME [--layout]\n");
        return 2;
    }
    CHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot.IsValid())
        return 1;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    bool found = false;
    for (BOOL more = Process32FirstW(snapshot.Get(), &entry); more; more = Process32NextW(snapshot.Get(), &entry))
    {
        if (lstrcmpiW(entry.szExeFile, argv[1]) != 0)
            continue;
        PrintCounters(entry);
        if (layout)
            PrintLayout(entry);
        found = true;
    }
    std::fflush(stdout);
    return found ? 0 : 1;
}

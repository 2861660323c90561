#pragma once

#include "common/CriticalSection.h"
#include "common/Handle.h"
#include "diag/LogClock.h"

#include <windows.h>

#include <atomic>
#include <string>

// The process-wide log: a text file in the working directory, rotated at the
// first line of each new local day and kept for seven generations, with every
// line echoed to the console window when there is one.
class CLogFile
{
public:
    explicit CLogFile(ILogClock* clock = nullptr);
    ~CLogFile();
    CLogFile(const CLogFile&) = delete;
    CLogFile& operator=(const CLogFile&) = delete;

    bool Open(const wchar_t* fileName = L"Kestrin.log");
    void Close();

    // Logs one line: rotates first on a new day, echoes to the console, then
    // appends to the file. Never fails for the caller.
    void WriteLine(const wchar_t* text);

    // The console the lines are echoed to; null for none.
    void SetConsoleOutput(HANDLE console) { m_Console.store(console); }
    bool IsFileOpen();

    static std::wstring FormatFileLine(const SYSTEMTIME& time, DWORD processId, DWORD threadId, const wchar_t* text);
    static std::wstring FormatConsoleLine(const SYSTEMTIME& time, DWORD processId, DWORD threadId, const wchar_t* text);

private:
    bool OpenCurrent();
    bool Rotate();
    bool Create();
    void CloseLocked();
    void RotateIfNewDay();
    void WriteFileLine(const SYSTEMTIME& local, const wchar_t* text);
    void ShiftGeneration(unsigned long generation);
    void PruneGenerations();
    void RecordToday();
    bool LastAccessIsOnAnotherDay();
    std::wstring GenerationName(unsigned long generation) const;

    static unsigned long DayKey(const SYSTEMTIME& time)
    {
        return time.wYear * 10000UL + time.wMonth * 100UL + time.wDay;
    }

    std::wstring m_FileName;
    unsigned long m_Generations = 7;
    CHandle m_File;
    CCriticalSection m_Lock;
    SYSTEMTIME m_Day{};
    // The day again, for the unlocked check every line makes.
    std::atomic<unsigned long> m_DayKey{0};
    std::atomic<HANDLE> m_Console{nullptr};
    ILogClock* m_Clock;
};

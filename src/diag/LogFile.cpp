#include "diag/LogFile.h"

#include "common/Format.h"
#include "common/StringConvert.h"

namespace
{
CSystemLogClock SystemClock;

// Upper bound for the pruning loop, so that a folder in which every delete
// fails for another reason than a missing file cannot hold the log forever.
constexpr unsigned long LastPrunedGeneration = 1000;

CHandle OpenForAppend(const std::wstring& name, DWORD disposition)
{
    return CHandle(CreateFileW(name.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_WRITE_THROUGH, nullptr));
}

bool IsMissingFileError(DWORD error) { return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND; }

// A generation counts as present unless the system says it is missing; one
// that is merely locked by a reader must still be shifted, not overwritten.
bool GenerationExists(const std::wstring& name)
{
    CHandle file(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid() || !IsMissingFileError(GetLastError());
}
} // namespace

CLogFile::CLogFile(ILogClock* clock) : m_Clock(clock ? clock : &SystemClock) {}

CLogFile::~CLogFile() { Close(); }

bool CLogFile::Open(const wchar_t* fileName)
{
    CLock lock(m_Lock);
    m_FileName = fileName;
    m_Generations = 7;
    m_DayKey.store(0);
    if (!OpenCurrent())
        return false;
    PruneGenerations();
    return true;
}

// Appends to the existing file, rotating it when it was last used on another
// day, or creates it; false only when it was missing and cannot be created.
// Only a file that is open records the day: while none is, every line tries
// again, so a file that was briefly locked costs lines, not a day of them.
bool CLogFile::OpenCurrent()
{
    m_File = OpenForAppend(m_FileName, OPEN_EXISTING);
    if (m_File.IsValid())
    {
        RecordToday();
        SYSTEMTIME local, utc;
        m_Clock->Now(local, utc);
        if (LastAccessIsOnAnotherDay())
            Rotate();
        else
            WriteFileLine(local, L"Opened log file");
        return true;
    }
    if (IsMissingFileError(GetLastError()))
        return Create();
    return true;
}

void CLogFile::Close()
{
    CLock lock(m_Lock);
    CloseLocked();
}

bool CLogFile::IsFileOpen()
{
    CLock lock(m_Lock);
    return m_File.IsValid();
}

void CLogFile::WriteLine(const wchar_t* text)
{
    SYSTEMTIME local, utc;
    m_Clock->Now(local, utc);
    if (DayKey(local) != m_DayKey.load())
        RotateIfNewDay();

    DWORD processId = GetCurrentProcessId();
    DWORD threadId = GetCurrentThreadId();
    if (HANDLE console = m_Console.load())
    {
        std::wstring line = FormatConsoleLine(local, processId, threadId, text);
        DWORD written = 0;
        WriteConsoleW(console, line.c_str(), static_cast<DWORD>(line.size()), &written, nullptr);
    }

    CLock lock(m_Lock);
    if (m_File.IsValid())
        WriteFileLine(local, text);
}

std::wstring CLogFile::FormatFileLine(const SYSTEMTIME& time, DWORD processId, DWORD threadId, const wchar_t* text)
{
    return FormatString(L"%.2lu/%.2lu/%.2lu %.2lu:%.2lu:%.2lu (%05lu.%05lu) %s\r\n", (unsigned long)time.wMonth,
                        (unsigned long)time.wDay, (unsigned long)(time.wYear - 2000), (unsigned long)time.wHour,
                        (unsigned long)time.wMinute, (unsigned long)time.wSecond, (unsigned long)processId,
                        (unsigned long)threadId, text);
}

std::wstring CLogFile::FormatConsoleLine(const SYSTEMTIME& time, DWORD processId, DWORD threadId, const wchar_t* text)
{
    return FormatString(L"%02lu/%02lu/%02lu %02lu:%02lu:%02lu (%05lu.%05lu) %s\n", (unsigned long)(time.wYear - 2000),
                        (unsigned long)time.wMonth, (unsigned long)time.wDay, (unsigned long)time.wHour,
                        (unsigned long)time.wMinute, (unsigned long)time.wSecond, (unsigned long)processId,
                        (unsigned long)threadId, text);
}

// Several threads may log the first lines of a new day at once, some with a
// time read before midnight; the decision is taken again under the lock, from
// a time read under the lock, so that one date change rotates exactly once.
void CLogFile::RotateIfNewDay()
{
    CLock lock(m_Lock);
    if (m_FileName.empty())
        return;
    if (m_DayKey.load() == 0)
    {
        OpenCurrent();
        return;
    }
    SYSTEMTIME local, utc;
    m_Clock->Now(local, utc);
    if (DayKey(local) != m_DayKey.load())
        Rotate();
}

bool CLogFile::Rotate()
{
    CLock lock(m_Lock);
    CloseLocked();
    ShiftGeneration(1);
    MoveFileW(m_FileName.c_str(), GenerationName(1).c_str());
    PruneGenerations();
    // The day is taken even when the new file cannot be created, so that a
    // folder we cannot write to costs one attempt per day, not one per line.
    RecordToday();
    return Create();
}

bool CLogFile::Create()
{
    // OPEN_ALWAYS rather than replacing: the current file is only still there
    // when it could not be renamed away, and then its lines must not be lost.
    m_File = OpenForAppend(m_FileName, OPEN_ALWAYS);
    if (!m_File.IsValid())
        return false;
    RecordToday();
    SYSTEMTIME local, utc;
    m_Clock->Now(local, utc);
    WriteFileLine(local, L"Created log file");
    return true;
}

void CLogFile::CloseLocked()
{
    if (!m_File.IsValid())
        return;
    SYSTEMTIME local, utc;
    m_Clock->Now(local, utc);
    WriteFileLine(local, L"Closed log file");
    m_File.Close();
}

void CLogFile::WriteFileLine(const SYSTEMTIME& local, const wchar_t* text)
{
    CLock lock(m_Lock);
    if (!m_File.IsValid())
        return;
    std::string bytes = WideToAnsi(FormatFileLine(local, GetCurrentProcessId(), GetCurrentThreadId(), text));
    if (bytes.empty())
        return;
    DWORD written = 0;
    BOOL ok = WriteFile(m_File.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    if (!ok || written != bytes.size())
    {
        // A file we cannot write to is given up until the next rotation.
        m_File.Close();
        return;
    }
    FlushFileBuffers(m_File.Get());
}

void CLogFile::ShiftGeneration(unsigned long generation)
{
    std::wstring name = GenerationName(generation);
    if (!GenerationExists(name))
        return;
    // Oldest first, so that no rename overwrites a kept generation.
    ShiftGeneration(generation + 1);
    MoveFileW(name.c_str(), GenerationName(generation + 1).c_str());
}

void CLogFile::PruneGenerations()
{
    for (unsigned long generation = m_Generations + 1; generation <= LastPrunedGeneration; ++generation)
    {
        if (!DeleteFileW(GenerationName(generation).c_str()) && IsMissingFileError(GetLastError()))
            break;
    }
}

void CLogFile::RecordToday()
{
    SYSTEMTIME utc;
    m_Clock->Now(m_Day, utc);
    m_DayKey.store(DayKey(m_Day));
}

bool CLogFile::LastAccessIsOnAnotherDay()
{
    FILETIME lastAccess;
    SYSTEMTIME accessed, local, utc;
    if (!GetFileTime(m_File.Get(), nullptr, &lastAccess, nullptr) || !FileTimeToSystemTime(&lastAccess, &accessed))
        return false;
    m_Clock->Now(local, utc);
    return DayKey(accessed) != DayKey(utc);
}

std::wstring CLogFile::GenerationName(unsigned long generation) const
{
    return generation == 1 ? FormatString(L"%s.1", m_FileName.c_str())
                           : FormatString(L"%s.%lu", m_FileName.c_str(), generation);
}

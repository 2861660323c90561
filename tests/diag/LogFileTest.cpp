#include "diag/LogFile.h"

#include "TestSupport.h"
#include "common/Handle.h"

#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace
{
SYSTEMTIME MakeTime(WORD year, WORD month, WORD day, WORD hour, WORD minute, WORD second)
{
    SYSTEMTIME time{};
    time.wYear = year;
    time.wMonth = month;
    time.wDay = day;
    time.wHour = hour;
    time.wMinute = minute;
    time.wSecond = second;
    return time;
}

// A clock the test moves by hand; local time and UTC are the same.
class CFakeClock : public ILogClock
{
public:
    explicit CFakeClock(SYSTEMTIME now) : m_Now(now) {}
    void Now(SYSTEMTIME& local, SYSTEMTIME& utc) override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        local = utc = m_Now;
    }
    void Set(SYSTEMTIME now)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Now = now;
    }

private:
    std::mutex m_Mutex;
    SYSTEMTIME m_Now;
};

SYSTEMTIME Today()
{
    SYSTEMTIME now;
    GetSystemTime(&now);
    return now;
}

SYSTEMTIME DaysLater(SYSTEMTIME time, int days)
{
    FILETIME file;
    SystemTimeToFileTime(&time, &file);
    ULARGE_INTEGER value{{file.dwLowDateTime, file.dwHighDateTime}};
    value.QuadPart += static_cast<ULONGLONG>(days) * 24ULL * 3600ULL * 10000000ULL;
    file.dwLowDateTime = value.LowPart;
    file.dwHighDateTime = value.HighPart;
    SYSTEMTIME later;
    FileTimeToSystemTime(&file, &later);
    return later;
}

std::vector<std::string> Lines(const std::string& bytes)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < bytes.size())
    {
        size_t end = bytes.find("\r\n", start);
        if (end == std::string::npos)
            end = bytes.size();
        lines.push_back(bytes.substr(start, end - start));
        start = end + 2;
    }
    return lines;
}

// The text of a file line, without the time and ids in front of it.
std::string TextOf(const std::string& line)
{
    size_t close = line.find(") ");
    return close == std::string::npos ? line : line.substr(close + 2);
}

std::vector<std::string> Texts(const std::wstring& path)
{
    std::vector<std::string> texts;
    for (const auto& line : Lines(ReadFileBytes(path)))
        texts.push_back(TextOf(line));
    return texts;
}

class LogFileTest : public ::testing::Test
{
protected:
    std::wstring LogPath() const { return m_Folder.File(L"Kestrin.log"); }
    std::wstring Generation(int n) const { return LogPath() + L"." + std::to_wstring(n); }

    CTempFolder m_Folder;
};
} // namespace

TEST(LogLineFormat, FileAndConsoleFormsAreByteExact)
{
    SYSTEMTIME time = MakeTime(2015, 3, 7, 14, 5, 9);
    EXPECT_EQ(CLogFile::FormatFileLine(time, 1234, 56, L"abc"), L"03/07/15 14:05:09 (01234.00056) abc\r\n");
    EXPECT_EQ(CLogFile::FormatConsoleLine(time, 1234, 56, L"abc"), L"15/03/07 14:05:09 (01234.00056) abc\n");
    SYSTEMTIME late = MakeTime(2031, 12, 24, 23, 59, 58);
    EXPECT_EQ(CLogFile::FormatFileLine(late, 123456, 7, L"x"), L"12/24/31 23:59:58 (123456.00007) x\r\n");
}

TEST_F(LogFileTest, OpenCreatesThenAppendsOnTheSameDay)
{
    CFakeClock clock(Today());
    {
        CLogFile log(&clock);
        ASSERT_TRUE(log.Open(LogPath().c_str()));
        log.WriteLine(L"first");
    }
    {
        CLogFile log(&clock);
        ASSERT_TRUE(log.Open(LogPath().c_str()));
        log.WriteLine(L"second");
    }
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"Created log file", "first", "Closed log file",
                                                          "Opened log file", "second", "Closed log file"}));
    EXPECT_FALSE(FileExists(Generation(1)));
}

TEST_F(LogFileTest, StartOnALaterDayRotatesAtOnce)
{
    CFakeClock clock(Today());
    {
        CLogFile log(&clock);
        ASSERT_TRUE(log.Open(LogPath().c_str()));
        log.WriteLine(L"yesterday's line");
    }
    clock.Set(DaysLater(Today(), 1));
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    log.WriteLine(L"today's line");
    log.Close();

    EXPECT_EQ(Texts(Generation(1)),
              (std::vector<std::string>{"Created log file", "yesterday's line", "Closed log file", "Closed log file"}));
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"Created log file", "today's line", "Closed log file"}));
}

TEST_F(LogFileTest, FirstLineAfterMidnightGoesIntoTheNewFile)
{
    // An existing file, accessed today, is appended to.
    WriteFileBytes(LogPath(), "");
    CFakeClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    SYSTEMTIME midnight = DaysLater(Today(), 1);
    midnight.wHour = midnight.wMinute = midnight.wSecond = 0;
    clock.Set(midnight);
    log.WriteLine(L"after midnight");
    log.Close();

    EXPECT_EQ(Texts(Generation(1)), (std::vector<std::string>{"Opened log file", "Closed log file"}));
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"Created log file", "after midnight", "Closed log file"}));
    EXPECT_EQ(Lines(ReadFileBytes(LogPath()))[1].substr(9, 8), "00:00:00");
}

TEST_F(LogFileTest, RotationKeepsSevenGenerationsOldestMovingFirst)
{
    CFakeClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    for (int n = 1; n <= 7; ++n)
        WriteFileBytes(Generation(n), "generation " + std::to_string(n) + "\r\n");
    log.WriteLine(L"current");

    clock.Set(DaysLater(Today(), 1));
    log.WriteLine(L"new day");
    log.Close();

    EXPECT_EQ(Texts(Generation(1)), (std::vector<std::string>{"Created log file", "current", "Closed log file"}));
    for (int n = 2; n <= 7; ++n)
        EXPECT_EQ(ReadFileBytes(Generation(n)), "generation " + std::to_string(n - 1) + "\r\n") << n;
    EXPECT_FALSE(FileExists(Generation(8)));
    EXPECT_EQ(Texts(LogPath())[0], "Created log file");
}

TEST_F(LogFileTest, ShiftStopsAtTheFirstMissingGeneration)
{
    CFakeClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    WriteFileBytes(Generation(3), "third\r\n");
    clock.Set(DaysLater(Today(), 1));
    log.WriteLine(L"new day");
    log.Close();

    EXPECT_TRUE(FileExists(Generation(1)));
    EXPECT_FALSE(FileExists(Generation(2)));
    EXPECT_EQ(ReadFileBytes(Generation(3)), "third\r\n");
    EXPECT_FALSE(FileExists(Generation(4)));
}

TEST_F(LogFileTest, OpenPrunesGenerationsAboveSevenUpToTheFirstGap)
{
    for (int n : {7, 8, 9, 11})
        WriteFileBytes(Generation(n), "old\r\n");
    CFakeClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));

    EXPECT_TRUE(FileExists(Generation(7)));
    EXPECT_FALSE(FileExists(Generation(8)));
    EXPECT_FALSE(FileExists(Generation(9)));
    EXPECT_TRUE(FileExists(Generation(11)));
}

TEST_F(LogFileTest, ManyThreadsCrossingMidnightRotateOnce)
{
    CFakeClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    log.WriteLine(L"before midnight");
    clock.Set(DaysLater(Today(), 1));

    constexpr int ThreadCount = 8;
    constexpr int LinesPerThread = 20;
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int t = 0; t < ThreadCount; ++t)
        threads.emplace_back(
            [&]
            {
                while (!go.load())
                    std::this_thread::yield();
                for (int i = 0; i < LinesPerThread; ++i)
                    log.WriteLine(L"new day line");
            });
    go.store(true);
    for (auto& thread : threads)
        thread.join();
    log.Close();

    EXPECT_FALSE(FileExists(Generation(2)));
    EXPECT_EQ(Texts(Generation(1)),
              (std::vector<std::string>{"Created log file", "before midnight", "Closed log file"}));
    auto texts = Texts(LogPath());
    ASSERT_EQ(texts.size(), static_cast<size_t>(ThreadCount * LinesPerThread + 2));
    EXPECT_EQ(texts.front(), "Created log file");
    EXPECT_EQ(texts.back(), "Closed log file");
}

namespace
{
// The fake clock, but the first reading made by another thread than the one
// that armed it holds that thread right after it has read the time, until
// the test releases it: a thread preempted between reading the clock and
// logging.
class CHoldingClock : public CFakeClock
{
public:
    using CFakeClock::CFakeClock;
    void HoldNextOtherReader() { m_Owner = GetCurrentThreadId(); }
    // False when no reader came within a generous bound.
    bool WaitUntilHolding() { return WaitForSingleObject(m_Holding.Get(), 30000) == WAIT_OBJECT_0; }
    void Release() { SetEvent(m_Released.Get()); }
    void Now(SYSTEMTIME& local, SYSTEMTIME& utc) override
    {
        CFakeClock::Now(local, utc);
        DWORD owner = m_Owner.load();
        if (owner == 0 || owner == GetCurrentThreadId() || !m_Owner.compare_exchange_strong(owner, 0))
            return;
        SetEvent(m_Holding.Get());
        WaitForSingleObject(m_Released.Get(), INFINITE);
    }

private:
    std::atomic<DWORD> m_Owner{0};
    CHandle m_Holding{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    CHandle m_Released{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};
} // namespace

// A line whose time was read before midnight, logged after another thread
// has rotated, goes into the new file without a second rotation.
TEST_F(LogFileTest, ALateLineFromBeforeMidnightDoesNotRotateAgain)
{
    CHoldingClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    log.WriteLine(L"before midnight");
    clock.HoldNextOtherReader();
    std::thread late([&] { log.WriteLine(L"late line"); });
    bool held = clock.WaitUntilHolding();
    if (held)
    {
        clock.Set(DaysLater(Today(), 1));
        log.WriteLine(L"first line of the day");
    }
    clock.Release();
    late.join();
    log.Close();
    ASSERT_TRUE(held);

    EXPECT_FALSE(FileExists(Generation(2)));
    EXPECT_EQ(Texts(Generation(1)),
              (std::vector<std::string>{"Created log file", "before midnight", "Closed log file"}));
    EXPECT_EQ(Texts(LogPath()),
              (std::vector<std::string>{"Created log file", "first line of the day", "late line", "Closed log file"}));
}

// A log file that another program holds open without sharing is taken up
// again by the first line after it was let go.
TEST_F(LogFileTest, AFileThatCannotBeOpenedAtStartIsRetriedByTheNextLine)
{
    WriteFileBytes(LogPath(), "");
    CFakeClock clock(Today());
    CLogFile log(&clock);
    {
        CHandle holder(
            CreateFileW(LogPath().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(holder.IsValid());
        ASSERT_TRUE(log.Open(LogPath().c_str()));
        EXPECT_FALSE(log.IsFileOpen());
        log.WriteLine(L"while held");
    }
    log.WriteLine(L"after");
    EXPECT_TRUE(log.IsFileOpen());
    log.Close();
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"Opened log file", "after", "Closed log file"}));
}

TEST_F(LogFileTest, LinesAreConvertedToTheAnsiCodePage)
{
    CFakeClock clock(Today());
    CLogFile log(&clock);
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    log.WriteLine(L"caf\u00e9");
    log.Close();
    std::string expected = "caf";
    expected += (GetACP() == 1252) ? "\xe9" : "?";
    EXPECT_EQ(Texts(LogPath())[1], expected);
}

TEST_F(LogFileTest, NothingIsWrittenBeforeOpenOrAfterClose)
{
    CFakeClock clock(Today());
    CLogFile log(&clock);
    log.WriteLine(L"before open");
    EXPECT_FALSE(log.IsFileOpen());
    ASSERT_TRUE(log.Open(LogPath().c_str()));
    log.Close();
    log.Close();
    log.WriteLine(L"after close");
    EXPECT_EQ(Texts(LogPath()), (std::vector<std::string>{"Created log file", "Closed log file"}));
}

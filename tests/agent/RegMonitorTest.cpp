#include "agent/RegMonitor.h"

#include "LogCapture.h"

#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <mutex>
#include <vector>

namespace
{
// Each test watches a key of its own: tests may run side by side, and a
// watched key deleted by another test would never signal again.
std::wstring TestKeyFor(const char* testName)
{
    std::string name(testName);
    return L"SOFTWARE\\Kestrin Monitor Test\\" + std::wstring(name.begin(), name.end());
}

class CRecordingCallback : public IRegMonitor
{
public:
    void OnRegistryEvent() override
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Calls.push_back(GetTickCount64());
    }
    std::vector<ULONGLONG> Calls()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Calls;
    }

private:
    std::mutex m_Mutex;
    std::vector<ULONGLONG> m_Calls;
};

void SetValue(const wchar_t* key, const wchar_t* name, DWORD value)
{
    HKEY handle = nullptr;
    RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, 0, KEY_WRITE, nullptr, &handle, nullptr);
    RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
    RegCloseKey(handle);
}

class RegMonitorTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_Key = TestKeyFor(::testing::UnitTest::GetInstance()->current_test_info()->name());
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_Key.c_str());
        m_Monitor.AddWatch(m_Key.c_str(), HKEY_LOCAL_MACHINE, false);
        ASSERT_TRUE(m_Monitor.Start());
        ASSERT_TRUE(WaitForKey());
    }
    void TearDown() override
    {
        m_Monitor.StopAndWait(10000);
        RegDeleteTreeW(HKEY_LOCAL_MACHINE, m_Key.c_str());
    }

    // The monitor creates a missing key when it arms its watch.
    bool WaitForKey() const
    {
        for (int i = 0; i < 100; ++i)
        {
            HKEY key = nullptr;
            if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_Key.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS)
            {
                RegCloseKey(key);
                Sleep(200); // let the registration follow the creation
                return true;
            }
            Sleep(50);
        }
        return false;
    }

    // Waits, within a generous bound, for that many calls.
    bool WaitForCalls(size_t count)
    {
        for (int i = 0; i < 600 && m_Callback.Calls().size() < count; ++i)
            Sleep(50);
        return m_Callback.Calls().size() >= count;
    }

    std::wstring m_Key;
    CLogCapture m_Log;
    CRecordingCallback m_Callback;
    CRegMonitor m_Monitor{&m_Callback};
};
} // namespace

TEST_F(RegMonitorTest, BurstOfChangesCallsBackOnceAfterFiveQuietSeconds)
{
    ULONGLONG lastChange = 0;
    for (DWORD i = 0; i < 3; ++i)
    {
        // Taken before the write, so that the callback cannot come earlier
        // than the settle time after it.
        lastChange = GetTickCount64();
        SetValue(m_Key.c_str(), L"Value", i);
        if (i < 2)
            Sleep(700);
    }
    ASSERT_TRUE(WaitForCalls(1));
    Sleep(CRegMonitor::SettleTimeMs + 1000);

    auto calls = m_Callback.Calls();
    ASSERT_EQ(calls.size(), 1u);
    // Less a timer tick: a wait may end that much early.
    EXPECT_GE(calls[0] - lastChange, CRegMonitor::SettleTimeMs - 50);
}

TEST_F(RegMonitorTest, NewSubkeyCountsButChangesInsideItDoNot)
{
    std::wstring subkey = m_Key + L"\\Current User";
    SetValue(subkey.c_str(), L"Created", 1);
    ASSERT_TRUE(WaitForCalls(1));

    SetValue(subkey.c_str(), L"Changed", 2);
    Sleep(CRegMonitor::SettleTimeMs + 2000);
    EXPECT_EQ(m_Callback.Calls().size(), 1u);
}

TEST_F(RegMonitorTest, StopWhileSettlingEndsWithoutCallingBack)
{
    SetValue(m_Key.c_str(), L"Value", 1);
    Sleep(500);
    EXPECT_TRUE(m_Monitor.StopAndWait(30000));
    EXPECT_EQ(m_Monitor.State(), CThread::STATE_ENDED);
    Sleep(CRegMonitor::SettleTimeMs);
    EXPECT_TRUE(m_Callback.Calls().empty());

    auto lines = m_Log.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CRegMonitor: started"), 1);
    EXPECT_EQ(lines.back(), "CRegMonitor: stopped");
}

TEST(RegMonitor, WithoutWatchesTheThreadGivesUp)
{
    CLogCapture log;
    CRecordingCallback callback;
    CRegMonitor monitor(&callback);
    ASSERT_TRUE(monitor.Start());
    EXPECT_EQ(monitor.Join(10000), CThread::EXIT_NORMAL);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 3u); // Created log file, started, no handles
    EXPECT_EQ(lines[1], "CRegMonitor: started");
    EXPECT_EQ(lines[2], "[!] CRegMonitor: No handles for waiting");
}

TEST(RegMonitor, KeyThatCannotBeOpenedIsLoggedWithTheSystemText)
{
    CLogCapture log;
    CRecordingCallback callback;
    CRegMonitor monitor(&callback);
    // A root that is no key handle at all.
    monitor.AddWatch(L"Nowhere", reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345678)), false);
    ASSERT_TRUE(monitor.Start());
    EXPECT_EQ(monitor.Join(10000), CThread::EXIT_NORMAL);
    auto lines = log.Lines();
    ASSERT_EQ(lines.size(), 4u) << log.Text();
    EXPECT_EQ(lines[2], "[!] CRegMonitor::Prepare: Failed to open registry key Nowhere.\r\n    Invalid handle. "
                        "Error code = 6.");
    EXPECT_EQ(lines[3], "[!] CRegMonitor: No handles for waiting");
}

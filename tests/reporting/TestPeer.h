#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>
#include <winsock2.h>
#include <ws2tcpip.h>

// A scripted Identification Server inside the test process: listens on one
// loopback address at the report port, reads each request and answers it the
// way the test asks.
class CTestPeer
{
public:
    enum class Mode
    {
        Reply,   // send Reply (split into Parts when given)
        Silence, // answer nothing; close after a few seconds
        Reset,   // reset the connection
    };

    explicit CTestPeer(const char* address, Mode mode = Mode::Reply);
    ~CTestPeer();

    void SetReply(std::vector<uint8_t> reply, size_t splitAt = 0);
    void SetMode(Mode mode) { m_Mode.store(mode); }
    std::vector<std::vector<uint8_t>> Requests();
    // When each request had arrived whole, in the same order.
    std::vector<std::chrono::steady_clock::time_point> ArrivalTimes();
    size_t RequestCount();
    bool WaitForRequests(size_t count, unsigned timeoutMs);

    static std::vector<uint8_t> V3Reply(uint16_t code = 0x8010, uint32_t sequence = 1, uint32_t error = 0);

private:
    void Serve();
    void Answer(SOCKET connection);

    SOCKET m_Listener = INVALID_SOCKET;
    std::atomic<Mode> m_Mode;
    std::atomic<bool> m_Stopping{false};
    std::mutex m_Mutex;
    std::vector<uint8_t> m_Reply;
    size_t m_SplitAt = 0;
    std::vector<std::vector<uint8_t>> m_Requests;
    std::vector<std::chrono::steady_clock::time_point> m_ArrivalTimes;
    std::thread m_Thread;
};

// The report types and bytes of the requests, for assertions.
uint8_t ReportTypeOf(const std::vector<uint8_t>& request);

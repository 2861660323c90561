#include "reporting/TestPeer.h"

#include <chrono>

CTestPeer::CTestPeer(const char* address, Mode mode) : m_Mode(mode), m_Reply(V3Reply())
{
    m_Listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(1306);
    inet_pton(AF_INET, address, &local.sin_addr);
    BOOL reuse = TRUE;
    setsockopt(m_Listener, SOL_SOCKET, SO_REUSEADDR, reinterpret_cast<const char*>(&reuse), sizeof(reuse));
    if (bind(m_Listener, reinterpret_cast<sockaddr*>(&local), sizeof(local)) != 0 || listen(m_Listener, 16) != 0)
    {
        closesocket(m_Listener);
        m_Listener = INVALID_SOCKET;
        return;
    }
    m_Thread = std::thread([this] { Serve(); });
}

CTestPeer::~CTestPeer()
{
    m_Stopping.store(true);
    if (m_Listener != INVALID_SOCKET)
        closesocket(m_Listener);
    if (m_Thread.joinable())
        m_Thread.join();
}

void CTestPeer::SetReply(std::vector<uint8_t> reply, size_t splitAt)
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    m_Reply = std::move(reply);
    m_SplitAt = splitAt;
}

std::vector<std::vector<uint8_t>> CTestPeer::Requests()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Requests;
}

std::vector<std::chrono::steady_clock::time_point> CTestPeer::ArrivalTimes()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_ArrivalTimes;
}

size_t CTestPeer::RequestCount()
{
    std::lock_guard<std::mutex> lock(m_Mutex);
    return m_Requests.size();
}

bool CTestPeer::WaitForRequests(size_t count, unsigned timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (RequestCount() < count)
    {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::vector<uint8_t> CTestPeer::V3Reply(uint16_t code, uint32_t sequence, uint32_t error)
{
    return {0,
            14,
            0,
            3,
            uint8_t(code >> 8),
            uint8_t(code),
            uint8_t(sequence >> 24),
            uint8_t(sequence >> 16),
            uint8_t(sequence >> 8),
            uint8_t(sequence),
            uint8_t(error >> 24),
            uint8_t(error >> 16),
            uint8_t(error >> 8),
            uint8_t(error)};
}

void CTestPeer::Serve()
{
    while (!m_Stopping.load())
    {
        SOCKET connection = accept(m_Listener, nullptr, nullptr);
        if (connection == INVALID_SOCKET)
            return;
        Answer(connection);
        closesocket(connection);
    }
}

void CTestPeer::Answer(SOCKET connection)
{
    std::vector<uint8_t> request;
    char buffer[65536];
    size_t expected = 2;
    while (request.size() < expected)
    {
        int received = recv(connection, buffer, sizeof(buffer), 0);
        if (received <= 0)
            return;
        request.insert(request.end(), buffer, buffer + received);
        if (request.size() >= 2)
            expected = size_t(request[0]) << 8 | request[1];
    }
    std::vector<uint8_t> reply;
    size_t splitAt = 0;
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Requests.push_back(request);
        m_ArrivalTimes.push_back(std::chrono::steady_clock::now());
        reply = m_Reply;
        splitAt = m_SplitAt;
    }
    switch (m_Mode.load())
    {
    case Mode::Silence:
        std::this_thread::sleep_for(std::chrono::seconds(5));
        return;
    case Mode::Reset:
    {
        linger abort{1, 0};
        setsockopt(connection, SOL_SOCKET, SO_LINGER, reinterpret_cast<const char*>(&abort), sizeof(abort));
        return;
    }
    case Mode::Reply:
        if (splitAt && splitAt < reply.size())
        {
            send(connection, reinterpret_cast<const char*>(reply.data()), static_cast<int>(splitAt), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            send(connection, reinterpret_cast<const char*>(reply.data() + splitAt),
                 static_cast<int>(reply.size() - splitAt), 0);
        }
        else
            send(connection, reinterpret_cast<const char*>(reply.data()), static_cast<int>(reply.size()), 0);
        return;
    }
}

uint8_t ReportTypeOf(const std::vector<uint8_t>& request) { return request.empty() ? 0 : request.back(); }

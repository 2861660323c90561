#include "query/UDPIOCP.h"

#include <condition_variable>
#include <cstring>
#include <gtest/gtest.h>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>
#include <ws2tcpip.h>

namespace
{
// Generous bounds for waiting on other threads; never asserted as durations.
constexpr DWORD WaitMs = 10000;

struct CALL
{
    std::string Kind;
    uint32_t SocketId;
    IO_DATA* IO;
    DWORD Value; // bytes, or the error
};

// A framework on a real completion port that records what its workers hand
// to the handlers. Each recorded call runs the framework's own behaviour.
class CRecordingIOCP final : public CUDPIOCP
{
public:
    explicit CRecordingIOCP(IIOBufferPool* pool) : CUDPIOCP(pool) { m_Port.Create(0); }

    ~CRecordingIOCP() override
    {
        EndWorkers();
        for (auto& socket : m_Sockets)
            socket->Close();
        ReclaimRecords(WaitMs);
    }

    // A UDP socket on 127.0.0.1, associated with the port.
    CSocket& AddSocket()
    {
        auto socket = std::make_unique<CSocket>();
        socket->Reset(WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(socket->Handle(), reinterpret_cast<sockaddr*>(&address), sizeof(address));
        m_Port.Associate(reinterpret_cast<HANDLE>(socket->Handle()), reinterpret_cast<ULONG_PTR>(socket.get()));
        m_Sockets.push_back(std::move(socket));
        return *m_Sockets.back();
    }

    void PostPacket(CSocket* socket, IO_DATA* io, DWORD bytes = 0)
    {
        m_Port.Post(bytes, reinterpret_cast<ULONG_PTR>(socket), io ? &io->Overlapped : nullptr);
    }

    void SetMaxFreeSockets(uint16_t count) { m_MaxFreeSockets = count; }
    void SetThreadCount(uint16_t count) { m_ThreadCount = count; }
    void ThrowFromOnSendTo() { m_Throw = true; }
    void CallBaseOnPost(bool call) { m_CallBaseOnPost = call; }

    // Recorded before the call: its completion may run on the other worker
    // before the call returns.
    bool PostRecvFrom(CSocket& socket, IO_DATA& io) override
    {
        Record("PostRecvFrom", socket, io, 0);
        bool issued = m_CallBaseOnPost ? CUDPIOCP::PostRecvFrom(socket, io) : true;
        std::lock_guard<std::mutex> lock(m_Mutex);
        ++m_ReceivesIssued;
        m_Changed.notify_all();
        return issued;
    }
    bool PostSendTo(CSocket& socket, IO_DATA& io) override
    {
        Record("PostSendTo", socket, io, 0);
        return m_CallBaseOnPost ? CUDPIOCP::PostSendTo(socket, io) : true;
    }
    bool OnReceiveFrom(CSocket& socket, IO_DATA& io, DWORD bytes) override
    {
        CUDPIOCP::OnReceiveFrom(socket, io, bytes);
        Record("OnReceiveFrom", socket, io, bytes);
        return true;
    }
    bool OnSendTo(CSocket& socket, IO_DATA& io, DWORD bytes) override
    {
        Record("OnSendTo", socket, io, bytes);
        if (m_Throw)
            throw std::runtime_error("handler failed");
        return CUDPIOCP::OnSendTo(socket, io, bytes);
    }
    void OnError(CSocket& socket, IO_DATA& io, DWORD error) override
    {
        CUDPIOCP::OnError(socket, io, error);
        Record("OnError", socket, io, error);
    }
    void OnDatagramLost(CSocket& socket, IO_DATA& io, DWORD error) override
    {
        Record("OnDatagramLost", socket, io, error);
    }

    // The calls so far, once there are at least count of them.
    std::vector<CALL> WaitForCalls(size_t count)
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        m_Changed.wait_for(lock, std::chrono::milliseconds(WaitMs), [&] { return m_Calls.size() >= count; });
        return m_Calls;
    }

    // Waits until a receive has been handed to Winsock.
    bool WaitForReceiveIssued()
    {
        std::unique_lock<std::mutex> lock(m_Mutex);
        return m_Changed.wait_for(lock, std::chrono::milliseconds(WaitMs), [&] { return m_ReceivesIssued > 0; });
    }

    std::vector<CALL> Calls()
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        return m_Calls;
    }

private:
    void Record(const char* kind, CSocket& socket, IO_DATA& io, DWORD value)
    {
        std::lock_guard<std::mutex> lock(m_Mutex);
        m_Calls.push_back({kind, socket.Id(), &io, value});
        m_Changed.notify_all();
    }

    std::vector<std::unique_ptr<CSocket>> m_Sockets;
    std::mutex m_Mutex;
    std::condition_variable m_Changed;
    std::vector<CALL> m_Calls;
    int m_ReceivesIssued = 0;
    bool m_Throw = false;
    bool m_CallBaseOnPost = true;
};

// Waits until the pool has the given number of running workers.
bool WaitForRunning(const CIOCPThreadPool& pool, uint16_t count)
{
    ULONGLONG deadline = GetTickCount64() + WaitMs;
    while (pool.RunningWorkers() != count && GetTickCount64() < deadline)
        Sleep(1);
    return pool.RunningWorkers() == count;
}

uint16_t PortOf(const CUDPIOCP::CSocket& socket)
{
    sockaddr_in address{};
    int length = sizeof(address);
    getsockname(socket.Handle(), reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

void SendTo(uint16_t port, const std::string& data)
{
    SOCKET client = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(client, data.data(), static_cast<int>(data.size()), 0, reinterpret_cast<sockaddr*>(&address),
           sizeof(address));
    closesocket(client);
}

bool IsOpenSocket(SOCKET handle)
{
    int type = 0;
    int length = sizeof(type);
    return getsockopt(handle, SOL_SOCKET, SO_TYPE, reinterpret_cast<char*>(&type), &length) == 0;
}
} // namespace

TEST(IOCPThreadPool, AQuitPacketEndsExactlyOneWorker)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    EXPECT_EQ(iocp.ThreadCount(), 2);
    ASSERT_TRUE(iocp.StartThreads());
    ASSERT_TRUE(WaitForRunning(iocp, 2));

    iocp.PostPacket(nullptr, nullptr);
    ASSERT_TRUE(WaitForRunning(iocp, 1));
    EXPECT_FALSE(iocp.WorkersEnded());

    // The other worker still dispatches.
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    IO_DATA* io = pool.GetIOData();
    io->Operation = IO_SEND_ISSUED;
    iocp.PostPacket(&socket, io, 21);
    auto calls = iocp.WaitForCalls(1);
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].Kind, "OnSendTo");
    EXPECT_EQ(calls[0].Value, 21u);
    EXPECT_EQ(iocp.RunningWorkers(), 1);

    iocp.PostPacket(nullptr, nullptr);
    EXPECT_TRUE(iocp.WaitForWorkers(WaitMs));
    EXPECT_TRUE(iocp.WorkersEnded());
    pool.ReleaseIOData(io);
}

TEST(IOCPThreadPool, QuitPacketsForEveryWorkerEndThemAll)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    ASSERT_TRUE(iocp.StartThreads());
    iocp.PostQuitPackets();
    EXPECT_TRUE(iocp.WaitForWorkers(WaitMs));
    EXPECT_TRUE(iocp.WorkersEnded());
    EXPECT_EQ(iocp.RunningWorkers(), 0);
}

TEST(IOCPThreadPool, AHandlerThatThrowsDoesNotEndItsWorker)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    iocp.ThrowFromOnSendTo();
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    ASSERT_TRUE(iocp.StartThreads());
    std::vector<IO_DATA*> records;
    for (int i = 0; i < 6; ++i)
    {
        records.push_back(pool.GetIOData());
        records.back()->Operation = IO_SEND_ISSUED;
        iocp.PostPacket(&socket, records.back());
    }
    EXPECT_EQ(iocp.WaitForCalls(6).size(), 6u);
    EXPECT_EQ(iocp.RunningWorkers(), 2);
    for (IO_DATA* io : records)
        pool.ReleaseIOData(io);
}

TEST(UDPIOCP, TheDispatcherRoutesEachPacketByItsOperation)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    iocp.CallBaseOnPost(false);
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    struct Case
    {
        uint32_t Operation;
        DWORD Bytes, Error;
        const char* Kind; // nullptr: no call
        DWORD Value;
    };
    const Case cases[] = {
        {IO_RECEIVE_QUEUED, 0, 0, "PostRecvFrom", 0},
        {IO_RECEIVE_ISSUED, 33, 0, "OnReceiveFrom", 33},
        {IO_SEND_QUEUED, 0, 0, "PostSendTo", 0},
        {IO_SEND_ISSUED, 44, 0, "OnSendTo", 44},
        {IO_IDLE, 5, 0, nullptr, 0},
        {7, 5, 0, nullptr, 0},
        // A failed receive is still handed on, with the packet's byte count.
        {IO_RECEIVE_ISSUED, 0, ERROR_OPERATION_ABORTED, "OnReceiveFrom", 0},
        {IO_RECEIVE_ISSUED, 0, ERROR_CONNECTION_ABORTED, "OnReceiveFrom", 0},
        // A lost datagram is not an error of the socket.
        {IO_RECEIVE_ISSUED, 4096, ERROR_MORE_DATA, "OnDatagramLost", WSAEMSGSIZE},
        {IO_RECEIVE_ISSUED, 0, ERROR_PORT_UNREACHABLE, "OnDatagramLost", WSAECONNRESET},
        {IO_SEND_ISSUED, 0, ERROR_PORT_UNREACHABLE, "OnDatagramLost", WSAECONNRESET},
        {IO_SEND_ISSUED, 0, WSAEMSGSIZE, "OnDatagramLost", WSAEMSGSIZE},
    };
    IO_DATA* io = pool.GetIOData();
    for (const auto& c : cases)
    {
        size_t before = iocp.Calls().size();
        io->Operation = c.Operation;
        io->Used = 0;
        iocp.OnCompletion({c.Bytes, reinterpret_cast<ULONG_PTR>(&socket), &io->Overlapped, c.Error});
        auto calls = iocp.Calls();
        if (!c.Kind)
        {
            EXPECT_EQ(calls.size(), before) << c.Operation;
            continue;
        }
        ASSERT_EQ(calls.size(), before + 1) << c.Operation << " " << c.Error;
        EXPECT_EQ(calls.back().Kind, c.Kind) << c.Operation << " " << c.Error;
        EXPECT_EQ(calls.back().Value, c.Value) << c.Operation << " " << c.Error;
        EXPECT_EQ(calls.back().IO, io);
        EXPECT_EQ(calls.back().SocketId, socket.Id());
    }
    // A packet with key 0 names no socket and is left alone.
    size_t before = iocp.Calls().size();
    io->Operation = IO_RECEIVE_ISSUED;
    iocp.OnCompletion({8, 0, &io->Overlapped, 0});
    EXPECT_EQ(iocp.Calls().size(), before);
    pool.ReleaseIOData(io);
}

TEST(UDPIOCP, AReceiveThatFailsIsStillDispatchedWithZeroBytes)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    ASSERT_TRUE(iocp.StartThreads());
    IO_DATA* io = pool.GetIOData();
    ASSERT_TRUE(iocp.PostReceive(socket, *io));
    ASSERT_TRUE(iocp.WaitForReceiveIssued());

    // Closing the socket fails the pending receive.
    closesocket(socket.Take());
    auto calls = iocp.WaitForCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Kind, "OnReceiveFrom");
    EXPECT_EQ(calls[1].IO, io);
    EXPECT_EQ(calls[1].Value, 0u);
    EXPECT_EQ(io->Used, 0u);
    pool.ReleaseIOData(io);
}

TEST(UDPIOCP, PostReceiveOnARecordWithDataReceivesIntoItsTail)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    IO_DATA* io = pool.GetIOData();
    std::memcpy(io->Buffer.Get(), "HELLO", 5);
    io->Used = 5;
    ASSERT_TRUE(iocp.PostReceive(socket, *io));
    EXPECT_EQ(reinterpret_cast<uint8_t*>(io->WsaBuf.buf), io->Buffer.Get() + 5);
    EXPECT_EQ(io->WsaBuf.len, io->Capacity - 5);
    EXPECT_TRUE(io->Address);

    ASSERT_TRUE(iocp.StartThreads());
    ASSERT_TRUE(iocp.WaitForReceiveIssued());
    SendTo(PortOf(socket), "abc");
    auto calls = iocp.WaitForCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[1].Kind, "OnReceiveFrom");
    EXPECT_EQ(calls[1].Value, 3u);
    EXPECT_EQ(io->Used, 8u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(io->Buffer.Get()), 8), "HELLOabc");
    pool.ReleaseIOData(io);
}

TEST(UDPIOCP, PostSendSendsTheUsedBytesToTheRecordsDestination)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    ASSERT_TRUE(iocp.StartThreads());

    SOCKET peer = ::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in peerAddress{};
    peerAddress.sin_family = AF_INET;
    peerAddress.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(peer, reinterpret_cast<sockaddr*>(&peerAddress), sizeof(peerAddress));
    int length = sizeof(peerAddress);
    getsockname(peer, reinterpret_cast<sockaddr*>(&peerAddress), &length);
    DWORD timeout = WaitMs;
    setsockopt(peer, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));

    IO_DATA* io = pool.GetIOData();
    ASSERT_TRUE(EnsureIOAddress(*io));
    std::memcpy(&io->Address.Get()->To, &peerAddress, sizeof(peerAddress));
    std::memcpy(io->Buffer.Get(), "reply-bytes", 11);
    io->Used = 5;
    ASSERT_TRUE(iocp.PostSend(socket, *io));
    char received[64] = {};
    EXPECT_EQ(recv(peer, received, sizeof(received), 0), 5);
    EXPECT_EQ(std::string(received, 5), "reply");
    auto calls = iocp.WaitForCalls(2);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].Kind, "PostSendTo");
    EXPECT_EQ(calls[1].Kind, "OnSendTo");
    EXPECT_EQ(calls[1].Value, 5u);
    closesocket(peer);
    pool.ReleaseIOData(io);
}

// Datagrams already waiting make the receives succeed inside the Winsock call.
// Each must reach its handler exactly once, with its own byte count, whether
// the worker handles it at once or the port brings it.
TEST(UDPIOCP, ReceivesThatSucceedAtOnceAreHandledOnceEach)
{
    CIOBufferPool pool(4096);
    CRecordingIOCP iocp(&pool);
    iocp.SetThreadCount(1);
    CUDPIOCP::CSocket& socket = iocp.AddSocket();
    ASSERT_TRUE(CUDPIOCP::SkipPortOnSuccess(socket));
    ASSERT_TRUE(socket.SkipsPortOnSuccess());
    const std::vector<std::string> datagrams = {"one", "three", "seven!!"};
    for (const auto& datagram : datagrams)
        SendTo(PortOf(socket), datagram);
    std::vector<IO_DATA*> records;
    for (size_t i = 0; i < datagrams.size() + 1; ++i)
    {
        records.push_back(pool.GetIOData());
        ASSERT_TRUE(iocp.PostReceive(socket, *records.back()));
    }
    ASSERT_TRUE(iocp.StartThreads());
    // The last receive waits; the marker completes it through the port, after
    // any packet the earlier ones might wrongly have left there.
    SendTo(PortOf(socket), "marker");
    std::vector<CALL> received;
    for (const CALL& call : iocp.WaitForCalls(2 * records.size()))
        if (call.Kind == "OnReceiveFrom")
            received.push_back(call);
    ASSERT_EQ(received.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i)
    {
        const std::string expected = i < datagrams.size() ? datagrams[i] : "marker";
        EXPECT_EQ(received[i].IO, records[i]);
        EXPECT_EQ(received[i].Value, expected.size());
        EXPECT_EQ(std::string(reinterpret_cast<char*>(records[i]->Buffer.Get()), records[i]->Used), expected);
    }
    EXPECT_EQ(iocp.Calls().size(), 2 * records.size());
    socket.Reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
    EXPECT_FALSE(socket.SkipsPortOnSuccess());
    for (IO_DATA* io : records)
        pool.ReleaseIOData(io);
}

namespace
{
int DestroyedSockets = 0;

class CCountedSocket final : public CUDPIOCP::CSocket
{
public:
    ~CCountedSocket() override { ++DestroyedSockets; }
};

class CCountingIOCP final : public CUDPIOCP
{
public:
    using CUDPIOCP::CUDPIOCP;
    std::unique_ptr<CSocket> CreateSocket() override
    {
        ++Created;
        return std::make_unique<CCountedSocket>();
    }
    void SetMaxFreeSockets(uint16_t count) { m_MaxFreeSockets = count; }
    int Created = 0;
};
} // namespace

TEST(UDPIOCP, ReleaseSocketClosesAndKeepsAtMostTen)
{
    CIOBufferPool pool(4096);
    CCountingIOCP iocp(&pool);
    DestroyedSockets = 0;
    std::vector<std::unique_ptr<CUDPIOCP::CSocket>> sockets;
    std::vector<SOCKET> handles;
    for (int i = 0; i < 11; ++i)
    {
        sockets.push_back(iocp.GetSocket());
        sockets.back()->Reset(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        handles.push_back(sockets.back()->Handle());
        ASSERT_TRUE(IsOpenSocket(handles.back()));
    }
    EXPECT_EQ(iocp.Created, 11);
    for (auto& socket : sockets)
        iocp.ReleaseSocket(std::move(socket));
    EXPECT_EQ(DestroyedSockets, 1);
    for (SOCKET handle : handles)
        EXPECT_FALSE(IsOpenSocket(handle));

    // Kept sockets come back first in, first out, without a handle.
    std::unique_ptr<CUDPIOCP::CSocket> reused = iocp.GetSocket();
    EXPECT_EQ(iocp.Created, 11);
    EXPECT_FALSE(reused->IsValid());
    uint32_t firstId = reused->Id();
    iocp.ReleaseSocket(std::move(reused));
    EXPECT_EQ(DestroyedSockets, 1);
    EXPECT_NE(iocp.GetSocket()->Id(), firstId);
}

TEST(UDPIOCP, WithoutALimitEveryReleasedSocketIsKept)
{
    CIOBufferPool pool(4096);
    CCountingIOCP iocp(&pool);
    iocp.SetMaxFreeSockets(0);
    DestroyedSockets = 0;
    for (int i = 0; i < 15; ++i)
        iocp.ReleaseSocket(iocp.CreateSocket());
    EXPECT_EQ(DestroyedSockets, 0);
}

TEST(UDPIOCP, SocketIdsComeFromOneProcessWideCounter)
{
    CUDPIOCP::CSocket first;
    CUDPIOCP::CSocket second;
    EXPECT_EQ(second.Id(), first.Id() + 1);
    EXPECT_GE(first.Id(), 1u);
    int context = 0;
    EXPECT_EQ(first.GetContext(), nullptr);
    first.SetContext(&context);
    EXPECT_EQ(first.GetContext(), &context);
}

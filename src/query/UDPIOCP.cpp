#include "query/UDPIOCP.h"

#include "query/InlineCompletions.h"

#include <mswsock.h>

namespace
{
std::atomic<uint32_t> LastSocketId{0};

constexpr uint16_t DefaultThreadCount = 2;
} // namespace

CUDPIOCP::CSocket::CSocket() : m_Id(++LastSocketId) {}

void CUDPIOCP::CSocket::Reset(SOCKET handle)
{
    m_SkipsPort.store(false);
    CUDPSocket::Reset(handle);
}

CUDPIOCP::CUDPIOCP(IIOBufferPool* pool) : m_Pool(pool) { m_ThreadCount = DefaultThreadCount; }

CUDPIOCP::~CUDPIOCP() { EndWorkers(); }

std::unique_ptr<CIOCPThreadPool::CWorker> CUDPIOCP::CreateWorker() { return std::make_unique<CWorker>(*this); }

void CUDPIOCP::OnCompletion(const COMPLETION_PACKET& packet)
{
    CInlineCompletions completedAtOnce(m_Port);
    HandlePacket(packet);
    COMPLETION_PACKET next;
    for (int handled = 0; handled < MaxCompletedAtOncePerPacket && completedAtOnce.Take(next); ++handled)
        HandlePacket(next);
}

void CUDPIOCP::HandlePacket(const COMPLETION_PACKET& packet)
{
    if (packet.Key == 0 || !packet.Overlapped)
        return;
    auto& socket = *reinterpret_cast<CSocket*>(packet.Key);
    IO_DATA& io = *IODataFrom(packet.Overlapped);
    --m_Outstanding;
    bool issued = io.Operation == IO_RECEIVE_ISSUED || io.Operation == IO_SEND_ISSUED;
    if (packet.Error && issued)
        if (DWORD code = DatagramLossCode(packet.Error, io.Operation == IO_SEND_ISSUED))
            return OnDatagramLost(socket, io, code);
    switch (io.Operation)
    {
    case IO_RECEIVE_QUEUED:
        PostRecvFrom(socket, io);
        break;
    case IO_RECEIVE_ISSUED:
        OnReceiveFrom(socket, io, packet.Bytes);
        break;
    case IO_SEND_QUEUED:
        PostSendTo(socket, io);
        break;
    case IO_SEND_ISSUED:
        OnSendTo(socket, io, packet.Bytes);
        break;
    default:
        break;
    }
}

std::unique_ptr<CUDPIOCP::CSocket> CUDPIOCP::CreateSocket() { return std::make_unique<CSocket>(); }

bool CUDPIOCP::PostSendTo(CSocket& socket, IO_DATA& io)
{
    io.Operation = IO_SEND_ISSUED;
    if (!io.Address)
        return false;
    io.Address.Get()->ToLength = sizeof(io.Address.Get()->To);
    io.Overlapped = OVERLAPPED{};
    ++m_Outstanding;
    int result =
        WSASendTo(socket.Handle(), &io.WsaBuf, 1, nullptr, 0, reinterpret_cast<sockaddr*>(&io.Address.Get()->To),
                  io.Address.Get()->ToLength, &io.Overlapped, nullptr);
    return Issued(socket, io, result);
}

bool CUDPIOCP::PostRecvFrom(CSocket& socket, IO_DATA& io)
{
    io.Operation = IO_RECEIVE_ISSUED;
    if (!io.Address)
        return false;
    io.Address.Get()->FromLength = sizeof(io.Address.Get()->From);
    io.Overlapped = OVERLAPPED{};
    DWORD flags = 0;
    ++m_Outstanding;
    int result = WSARecvFrom(socket.Handle(), &io.WsaBuf, 1, nullptr, &flags,
                             reinterpret_cast<sockaddr*>(&io.Address.Get()->From), &io.Address.Get()->FromLength,
                             &io.Overlapped, nullptr);
    return Issued(socket, io, result);
}

bool CUDPIOCP::Issued(CSocket& socket, IO_DATA& io, int result)
{
    if (result == 0)
    {
        if (socket.SkipsPortOnSuccess())
            CompletedAtOnce(socket, io);
        return true;
    }
    DWORD error = WSAGetLastError();
    // A datagram larger than the buffer completes the operation with a
    // warning, not an error: its packet still comes through the port, and
    // releasing the record here would let that packet find it reused. A
    // socket that skips the port on success skips it for warnings too.
    if (error == WSA_IO_PENDING || (error == WSAEMSGSIZE && !socket.SkipsPortOnSuccess()))
        return true;
    --m_Outstanding;
    if (DWORD code = DatagramLossCode(error, io.Operation == IO_SEND_ISSUED))
    {
        OnDatagramLost(socket, io, code);
        return true;
    }
    OnError(socket, io, error);
    socket.Close();
    return false;
}

void CUDPIOCP::CompletedAtOnce(CSocket& socket, IO_DATA& io)
{
    DWORD bytes = 0;
    DWORD flags = 0;
    COMPLETION_PACKET packet;
    packet.Key = reinterpret_cast<ULONG_PTR>(&socket);
    packet.Overlapped = &io.Overlapped;
    if (!WSAGetOverlappedResult(socket.Handle(), &io.Overlapped, &bytes, FALSE, &flags))
        packet.Error = WSAGetLastError();
    packet.Bytes = bytes;
    if (!CInlineCompletions::Add(m_Port, packet))
        --m_Outstanding; // the port is closed: nothing will take the record back
}

// Only where the provider's sockets are the system's own file handles: a
// layered provider may complete an operation without the system seeing it,
// and the packet it skipped would then never come.
bool CUDPIOCP::SkipPortOnSuccess(CSocket& socket)
{
    WSAPROTOCOL_INFOW info{};
    int length = sizeof(info);
    if (getsockopt(socket.Handle(), SOL_SOCKET, SO_PROTOCOL_INFOW, reinterpret_cast<char*>(&info), &length) != 0 ||
        !(info.dwServiceFlags1 & XP1_IFS_HANDLES))
        return false;
    if (!SetFileCompletionNotificationModes(reinterpret_cast<HANDLE>(socket.Handle()),
                                            FILE_SKIP_COMPLETION_PORT_ON_SUCCESS))
        return false;
    socket.m_SkipsPort.store(true);
    return true;
}

bool CUDPIOCP::OnSendTo(CSocket& /*socket*/, IO_DATA& io, DWORD /*bytes*/)
{
    io.Operation = IO_IDLE;
    return true;
}

bool CUDPIOCP::OnReceiveFrom(CSocket& /*socket*/, IO_DATA& io, DWORD bytes)
{
    io.Used += bytes;
    io.Operation = IO_IDLE;
    return true;
}

void CUDPIOCP::OnError(CSocket& /*socket*/, IO_DATA& io, DWORD /*error*/) { io.Operation = IO_IDLE; }

void CUDPIOCP::OnDatagramLost(CSocket& socket, IO_DATA& io, DWORD /*error*/)
{
    bool wasReceive = io.Operation == IO_RECEIVE_ISSUED;
    io.Operation = IO_IDLE;
    if (!wasReceive)
        return ReleaseIOData(&io);
    // The same record takes the lost datagram's place, through the port so
    // that a run of losses cannot recurse.
    io.Used = 0;
    if (!PostReceive(socket, io))
        ReleaseIOData(&io);
}

IO_DATA* CUDPIOCP::GetIOData() { return m_Pool->GetIOData(); }

void CUDPIOCP::ReleaseIOData(IO_DATA* io) { m_Pool->ReleaseIOData(io); }

std::unique_ptr<CUDPIOCP::CSocket> CUDPIOCP::GetSocket()
{
    {
        CLock lock(m_SocketLock);
        if (!m_FreeSockets.empty())
        {
            std::unique_ptr<CSocket> socket = std::move(m_FreeSockets.front());
            m_FreeSockets.pop_front();
            return socket;
        }
    }
    return CreateSocket();
}

void CUDPIOCP::ReleaseSocket(std::unique_ptr<CSocket> socket)
{
    if (!socket)
        return;
    socket->Close();
    CLock lock(m_SocketLock);
    if (m_MaxFreeSockets != 0 && m_FreeSockets.size() >= m_MaxFreeSockets)
        return; // destroyed on leaving
    m_FreeSockets.push_back(std::move(socket));
}

bool CUDPIOCP::PostSend(CSocket& socket, IO_DATA& io)
{
    PrepareSend(io);
    return Queue(socket, io);
}

bool CUDPIOCP::PostSendStream(CSocket& /*socket*/, IO_DATA& /*io*/) { return false; }

bool CUDPIOCP::PostReceive(CSocket& socket, IO_DATA& io)
{
    if (!EnsureIOAddress(io))
        return false;
    PrepareReceive(io);
    return Queue(socket, io);
}

bool CUDPIOCP::PostReceiveStream(CSocket& /*socket*/, IO_DATA& /*io*/) { return false; }

bool CUDPIOCP::ReceiveNow(CSocket& socket, IO_DATA& io)
{
    if (!EnsureIOAddress(io))
    {
        OnError(socket, io, ERROR_NOT_ENOUGH_MEMORY);
        return false;
    }
    PrepareReceive(io);
    return PostRecvFrom(socket, io);
}

bool CUDPIOCP::SendNow(CSocket& socket, IO_DATA& io)
{
    PrepareSend(io);
    return PostSendTo(socket, io);
}

void CUDPIOCP::PrepareReceive(IO_DATA& io)
{
    io.Operation = IO_RECEIVE_QUEUED;
    // A record that already holds data receives into its free tail.
    io.WsaBuf.buf = reinterpret_cast<char*>(io.Buffer.Get()) + io.Used;
    io.WsaBuf.len = io.Capacity - io.Used;
}

void CUDPIOCP::PrepareSend(IO_DATA& io)
{
    io.Operation = IO_SEND_QUEUED;
    io.WsaBuf.buf = reinterpret_cast<char*>(io.Buffer.Get());
    io.WsaBuf.len = io.Used;
}

bool CUDPIOCP::Queue(CSocket& socket, IO_DATA& io)
{
    ++m_Outstanding;
    if (m_Port.Post(0, reinterpret_cast<ULONG_PTR>(&socket), &io.Overlapped))
        return true;
    --m_Outstanding;
    return false;
}

DWORD CUDPIOCP::DatagramLossCode(DWORD error, bool send)
{
    switch (error)
    {
    case WSAEMSGSIZE:
    case ERROR_MORE_DATA: // the same, as a completion packet reports it
        return WSAEMSGSIZE;
    case WSAECONNRESET:
    case ERROR_PORT_UNREACHABLE:
        return WSAECONNRESET;
    case WSAENETRESET:
        return WSAENETRESET;
    // Failures of the socket itself: nothing more can be received or sent.
    case WSAENOTSOCK:
    case WSAEBADF:
    case WSAESHUTDOWN:
    case WSANOTINITIALISED:
    case ERROR_INVALID_HANDLE:
    case WSA_OPERATION_ABORTED:
        return 0;
    default:
        // A send fails for its destination (a source address of port 0, an
        // unreachable network, no route): only this reply is lost. A receive
        // that fails otherwise would fail again, so it ends the socket rather
        // than spin.
        return send ? error : 0;
    }
}

void CUDPIOCP::ReclaimRecords(DWORD timeoutMs)
{
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (m_Outstanding.load() > 0)
    {
        ULONGLONG now = GetTickCount64();
        COMPLETION_PACKET packet;
        if (now >= deadline || !m_Port.Dequeue(packet, static_cast<DWORD>(deadline - now)))
            return;
        if (packet.Key == 0 || !packet.Overlapped)
            continue;
        --m_Outstanding;
        ReleaseIOData(IODataFrom(packet.Overlapped));
    }
}

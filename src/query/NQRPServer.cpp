#include "query/NQRPServer.h"

#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identity/AddressList.h"
#include "identity/Stream.h"
#include "platform/FileVersionInfo.h"
#include "query/SiblingAgent.h"

#include <mswsock.h>
#include <ws2tcpip.h>

namespace
{
// Records still in Winsock when the sockets close complete at once; the
// bound only keeps a broken stack from holding up the shutdown.
constexpr DWORD ReclaimTimeoutMs = 5000;

std::wstring ProgramDirectory(const std::wstring& path)
{
    size_t slash = path.rfind(L'\\');
    return slash == std::wstring::npos ? path : path.substr(0, slash);
}

std::wstring SystemDirectory()
{
    wchar_t buffer[MAX_PATH] = {};
    UINT length = GetSystemDirectoryW(buffer, MAX_PATH);
    std::wstring directory(buffer, length < MAX_PATH ? length : 0);
    while (!directory.empty() && directory.back() == L'\\')
        directory.pop_back();
    return directory;
}

void LogSocketError(const wchar_t* format, DWORD error)
{
    LogPrintf(LOG_ERROR, format, CErrorText(error).Text(), static_cast<long>(error));
}
} // namespace

CNQRPServer::CNQRPServer(std::unique_ptr<IQueryOwner> owner, IIOBufferPool* pool, uint16_t port)
    : CUDPIOCP(pool), m_Owner(std::move(owner)), m_ListenPort(port)
{
}

CNQRPServer::~CNQRPServer()
{
    // No handler may run while the sockets and records go away.
    EndWorkers();
    LogQueriesLeftOut(m_QueryLogLimit.TakeLeftOut());
    LogMessage(L"Shutting down NQRP server socket ...");
    m_Socket4.Close();
    m_Socket6.Close();
    ReclaimRecords(ReclaimTimeoutMs);
    m_Version.clear();
}

bool CNQRPServer::Start()
{
    if (m_Port.IsValid() || !m_Port.Create(0))
        return false;
    ReadInstallation();
    if (!OpenSocket(m_Socket4, AF_INET,
                    L"[!] CNQRPServer::Start: Failed to handle socket IO operations.\r\n%s. "
                    L"Error code = %ld"))
        return false;
    SOCKET socket6 = WSASocketW(AF_INET6, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    if (socket6 == INVALID_SOCKET)
    {
        LogSocketError(L"[*] CNQRPServer::Start: No IPv6 socket; answering on IPv4 only.\r\n%s. Error code = %ld",
                       WSAGetLastError());
        return true;
    }
    m_Socket6.Reset(socket6);
    if (!Bind(m_Socket6, AF_INET6))
        return false;
    DisableConnectionReset(m_Socket6);
    Associate(m_Socket6, L"[!] CNQRPServer::Start: Failed to handle v6 socket IO operations.\r\n%s. Error code = %ld");
    return true;
}

// The version and directories the NQRP Query reports; read once, before any
// worker runs.
void CNQRPServer::ReadInstallation()
{
    std::wstring program = ProgramFilePath();
    DWORD handle = 0;
    CFileVersionInfo info;
    if (info.Read(program.c_str(), GetFileVersionInfoSizeW(program.c_str(), &handle)))
        m_Version = L"UA " + info.FileVersion;
    m_Host.ProgramDirectory = ProgramDirectory(program);
    m_Host.SystemDirectory = SystemDirectory();
}

bool CNQRPServer::OpenSocket(CSocket& socket, int family, const wchar_t* associateFailure)
{
    socket.Reset(WSASocketW(family, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED));
    if (!socket.IsValid())
    {
        LogSocketError(L"[!] CNQRPServer::Start: Failed to create socket.\r\n%s. Error code = %ld", WSAGetLastError());
        return false;
    }
    if (!Bind(socket, family))
        return false;
    DisableConnectionReset(socket);
    Associate(socket, associateFailure);
    return true;
}

bool CNQRPServer::Bind(CSocket& socket, int family)
{
    SOCKADDR_STORAGE address{};
    int length = 0;
    if (family == AF_INET)
    {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(m_ListenPort);
        length = sizeof(v4);
    }
    else
    {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(m_ListenPort);
        length = sizeof(v6);
    }
    if (bind(socket.Handle(), reinterpret_cast<sockaddr*>(&address), length) == 0)
        return true;
    DWORD error = WSAGetLastError();
    LogPrintf(LOG_ERROR, L"[!] CNQRPServer::Start: Failed to bind %s socket to port %u.\r\n%s. Error code = %ld",
              family == AF_INET ? L"v4" : L"v6", static_cast<unsigned>(m_ListenPort), CErrorText(error).Text(),
              static_cast<long>(error));
    return false;
}

void CNQRPServer::Associate(CSocket& socket, const wchar_t* failure)
{
    if (!m_Port.Associate(reinterpret_cast<HANDLE>(socket.Handle()), reinterpret_cast<ULONG_PTR>(&socket)))
    {
        LogSocketError(failure, GetLastError());
        return;
    }
    // Under load a receive mostly finds its datagram waiting, and a reply goes
    // out at once: both are then handled without a trip through the port.
    SkipPortOnSuccess(socket);
}

// An ICMP "port unreachable" for a reply to a querier that went away would
// otherwise fail a later receive on the socket.
void CNQRPServer::DisableConnectionReset(CSocket& socket)
{
    BOOL report = FALSE;
    DWORD returned = 0;
    if (WSAIoctl(socket.Handle(), SIO_UDP_CONNRESET, &report, sizeof(report), nullptr, 0, &returned, nullptr,
                 nullptr) != 0)
        LogSocketError(L"[!] CNQRPServer::Start: Failed to turn off connection reset reports.\r\n%s. Error code = %ld",
                       WSAGetLastError());
}

bool CNQRPServer::StartReceiving()
{
    if (!PostInitialReceives(m_Socket4, L"[!] CNQRPServer::Start: Failed to get IO buffer",
                             L"[!] CNQRPServer::Start: Failed to post receive"))
        return false;
    if (!m_Socket6.IsValid())
        return true;
    return PostInitialReceives(m_Socket6, L"[!] CNQRPServer::Start: Failed to get IO buffer (v6)",
                               L"[!] CNQRPServer::Start: Failed to post receive (v6)");
}

// Queued to the workers, so that every Winsock call is made on a worker.
bool CNQRPServer::PostInitialReceives(CSocket& socket, const wchar_t* bufferFailure, const wchar_t* postFailure)
{
    for (int i = 0; i < ReceivesPerSocket; ++i)
    {
        IO_DATA* io = GetIOData();
        if (!io)
        {
            LogMessage(bufferFailure);
            return false;
        }
        if (!PostReceive(socket, *io))
        {
            LogMessage(postFailure);
            ReleaseIOData(io);
            return false;
        }
    }
    return true;
}

bool CNQRPServer::OnReceiveFrom(CSocket& socket, IO_DATA& io, DWORD bytes)
{
    io.Used += bytes;
    io.Operation = IO_IDLE;
    bool replied = false;
    if (io.Used >= NQRP_MIN_REQUEST)
        replied = DispatchGuarded(socket, io, bytes);
    IO_DATA* next = &io;
    if (replied)
    {
        // Without a fresh record this socket keeps one receive fewer.
        next = GetIOData();
        if (!next)
            return true;
    }
    else
        io.Used = 0;
    // Issued here, on the worker, rather than queued: one trip through the
    // port less for every datagram.
    if (!ReceiveNow(socket, *next))
        LogMessage(L"[!] CNQRPServer::OnReceiveFrom: Failed to post receive");
    return true;
}

// A handler that throws (out of memory while taking the snapshot, say) has not
// handed the record to a send yet: that happens last, and nothing after it
// throws. The query goes unanswered and the record serves the next receive,
// so the socket keeps all its receives.
bool CNQRPServer::DispatchGuarded(CSocket& socket, IO_DATA& io, DWORD bytes)
{
    try
    {
        STREAM request(io.Buffer.Get(), io.Used, STREAM::StreamTerminated);
        return Dispatch(socket, io, request, bytes);
    }
    catch (...)
    {
        LogMessage(L"[!] CNQRPServer::OnReceiveFrom: Exception caught; the query is dropped");
        return false;
    }
}

bool CNQRPServer::Dispatch(CSocket& socket, IO_DATA& io, STREAM& request, DWORD bytes)
{
    switch (request.ReadU16())
    {
    case NQRP_QUERY:
        LogQuery(L"CNQRPServer::OnReceiveFrom: NQRP Query; Bytes=%lu", bytes);
        return DoNQRPQuery(socket, io, request);
    case LOGON_USER_QUERY:
        LogQuery(L"CNQRPServer::OnReceiveFrom: Logon User Query; Bytes=%lu", bytes);
        return DoLogonUserQuery(socket, io, request);
    case LOGON_USER_QUERY_EX:
        LogQuery(L"CNQRPServer:OnRecieveFrom: Logon User Query (NextGen); Bytes=%lu", bytes);
        return DoLogonUserQueryEx(socket, io, request);
    default:
        return false;
    }
}

// Anyone may send queries, as fast as they like: past a few a second they are
// counted instead of each costing a line flushed to disk.
void CNQRPServer::LogQuery(const wchar_t* format, DWORD bytes)
{
    DWORD leftOut = 0;
    if (!m_QueryLogLimit.Admit(GetTickCount64(), leftOut))
        return;
    LogQueriesLeftOut(leftOut);
    LogPrintf(LOG_QUERY, format, bytes);
}

void CNQRPServer::LogQueriesLeftOut(DWORD leftOut)
{
    if (leftOut != 0)
        LogPrintf(LOG_QUERY, L"CNQRPServer: %lu queries not logged (more than %lu a second)", (unsigned long)leftOut,
                  (unsigned long)QueryLinesPerSecond);
}

bool CNQRPServer::OnSendTo(CSocket& /*socket*/, IO_DATA& io, DWORD /*bytes*/)
{
    ReleaseIOData(&io);
    return true;
}

void CNQRPServer::OnError(CSocket& /*socket*/, IO_DATA& io, DWORD error)
{
    LogPrintf(LOG_ERROR, L"[!] CNQRPServer::OnError; Error=%lu", error);
    ReleaseIOData(&io);
}

void CNQRPServer::OnDatagramLost(CSocket& socket, IO_DATA& io, DWORD error)
{
    LogPrintf(LOG_ERROR, L"[!] CNQRPServer::OnDatagramLost; Error=%lu", error);
    CUDPIOCP::OnDatagramLost(socket, io, error);
}

bool CNQRPServer::DoNQRPQuery(CSocket& socket, IO_DATA& io, STREAM& request)
{
    const wchar_t* handler = L"DoNQRPQuery";
    NQRP_REQUEST fields;
    if (!AcceptRequest(io, request, handler, false, fields))
        return false;
    IDENTITY identity = Snapshot();
    NQRP_HOST_INFO host = m_Host;
    host.AgentVersion = AgentVersion();
    auto write = [&](STREAM& reply)
    { WriteNQRPQueryReply(reply, fields.RequestId, m_Owner->EffectiveNetworkType(), identity.Computer, host); };
    if (!WriteReply(io, io.Capacity, handler, L"Failed to serialize response", write))
        return false;
    return SendReply(socket, io, handler);
}

bool CNQRPServer::DoLogonUserQuery(CSocket& socket, IO_DATA& io, STREAM& request)
{
    const wchar_t* handler = L"DoLogonUserQuery";
    NQRP_REQUEST fields;
    if (!AcceptRequest(io, request, handler, false, fields))
        return false;
    IDENTITY identity = Snapshot();
    auto write = [&](STREAM& reply)
    { WriteLogonUserReply(reply, fields.RequestId, m_Owner->EffectiveNetworkType(), identity); };
    if (!WriteReply(io, io.Capacity, handler, L"Failed to serialize response", write))
        return false;
    return SendReply(socket, io, handler);
}

bool CNQRPServer::DoLogonUserQueryEx(CSocket& socket, IO_DATA& io, STREAM& request)
{
    const wchar_t* handler = L"DoLogonUserQueryEx";
    NQRP_REQUEST fields;
    if (!AcceptRequest(io, request, handler, true, fields))
        return false;
    IDENTITY identity = Snapshot();
    if (io.Capacity < NEXTGEN_BUFFER_SIZE && !ReplaceIOBuffer(io, NEXTGEN_BUFFER_SIZE))
    {
        LogMessage(L"[!] CNQRPServer::DoLogonUserQueryEx: Unable to allocate 64KB stream IO buffer");
        // The record keeps its page; the caller takes a fresh one all the same.
        ReleaseIOData(&io);
        return true;
    }
    uint32_t mask = NextGenReplyMask(identity, fields.FieldMask);
    const CAddressList& addresses = Addresses();
    uint32_t size = NextGenReplySize(identity, mask, addresses);
    if (size > io.Capacity)
    {
        LogPrintf(LOG_ERROR,
                  L"[!] CNQRPServer::DoLogonUserQueryEx: Calculated request size larger than supplied buffer size; "
                  L"CalcSize=%lu, BufSize=%lu",
                  size, io.Capacity);
        return false;
    }
    // Bounded by the computed size: the address list may have grown since.
    auto write = [&](STREAM& reply) { WriteNextGenReply(reply, fields.RequestId, mask, identity, addresses); };
    if (!WriteReply(io, size, handler, L"Failed to complete response buffer", write))
        return false;
    return SendReply(socket, io, handler);
}

// Reads the request's fields after the function code and checks that the
// record can carry a reply; logs why not.
bool CNQRPServer::AcceptRequest(IO_DATA& io, STREAM& request, const wchar_t* handler, bool withMask,
                                NQRP_REQUEST& fields)
{
    try
    {
        fields.RequestId = request.ReadU32();
        request.ReadU16();
        if (withMask)
            fields.FieldMask = request.ReadU32();
    }
    catch (const CException&)
    {
        LogPrintf(LOG_ERROR, L"[!] CNQRPServer::%s: Failed to deserialize request", handler);
        return false;
    }
    if (!io.Address)
    {
        LogPrintf(LOG_ERROR, L"[!] CNQRPServer::%s: NULL IO_DATA", handler);
        return false;
    }
    return true;
}

// Writes the reply from the start of the record's buffer, over the request;
// false, logged, when it does not fit the size.
bool CNQRPServer::WriteReply(IO_DATA& io, uint32_t size, const wchar_t* handler, const wchar_t* failure,
                             const std::function<void(STREAM&)>& write)
{
    try
    {
        STREAM reply(io.Buffer.Get(), size, STREAM::StreamTerminated);
        write(reply);
        io.Used = reply.Produced();
        return true;
    }
    catch (const CException&)
    {
        LogPrintf(LOG_ERROR, L"[!] CNQRPServer::%s: %s", handler, failure);
        return false;
    }
}

IDENTITY CNQRPServer::Snapshot() const { return m_Owner->Snapshot(); }

const CAddressList& CNQRPServer::Addresses() const { return m_Owner->Addresses(); }

// Looked up on every query: the sibling agent may start or stop at any time.
std::wstring CNQRPServer::AgentVersion() const
{
    std::wstring sibling;
    return ReadSiblingAgentVersion(sibling) ? sibling : m_Version;
}

bool CNQRPServer::SendReply(CSocket& socket, IO_DATA& io, const wchar_t* handler)
{
    uint32_t limit = io.Address.Get()->From.ss_family == AF_INET6 ? MAX_DATAGRAM_IPV6 : MAX_DATAGRAM_IPV4;
    if (io.Used > limit)
    {
        // Winsock would refuse it, and a reply cut short would mislead.
        LogPrintf(LOG_ERROR, L"[!] CNQRPServer::%s: Response larger than one datagram; Size=%lu, MaxSize=%lu", handler,
                  io.Used, limit);
        return false;
    }
    io.Address.Get()->To = io.Address.Get()->From;
    // Issued on this worker rather than queued to one, like the receives.
    if (SendNow(socket, io))
        return true;
    LogPrintf(LOG_ERROR, L"[!] CNQRPServer::%s: Failed to post send", handler);
    // The failed post has already handed the record back through OnError.
    return true;
}

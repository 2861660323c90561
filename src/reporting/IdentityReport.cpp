#include "common/Format.h"
#include "common/StringConvert.h"
#include "common/UniqueResource.h"
#include "diag/ErrorText.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "platform/Socket.h"
#include "reporting/Identity.h"
#include "reporting/ReportProtocol.h"

#include <memory>
#include <vector>
#include <ws2tcpip.h>

namespace
{
constexpr DWORD ReportTimeoutMs = 3000;

namespace Release
{
inline void FreeAddrInfo(addrinfo* info) { ::freeaddrinfo(info); }
} // namespace Release
using CAddrInfo = CUniqueResource<addrinfo*, Release::FreeAddrInfo>;

// A transport failure: the socket error, with the system's words for it.
CException SocketError(const wchar_t* format, int error)
{
    return CException(static_cast<DWORD>(error),
                      FormatString(format, CErrorText(static_cast<DWORD>(error)).Text(), (long)error));
}

void SetTimeout(SOCKET socket, int option, const wchar_t* failure)
{
    DWORD timeout = ReportTimeoutMs;
    if (setsockopt(socket, SOL_SOCKET, option, reinterpret_cast<const char*>(&timeout), sizeof(timeout)) != 0)
        throw SocketError(failure, WSAGetLastError());
}

// The first IPv4 address the name resolves to; false when resolution failed,
// zero when it gave no IPv4 address.
bool ResolveIPv4(const std::wstring& name, in_addr& address)
{
    address.s_addr = 0;
    addrinfo hints{};
    hints.ai_flags = AI_CANONNAME;
    CAddrInfo results;
    if (getaddrinfo(WideToAnsi(name).c_str(), nullptr, &hints, results.Put()) != 0)
        return false;
    for (const addrinfo* result = results.Get(); result; result = result->ai_next)
        if (result->ai_family == AF_INET && result->ai_addr)
        {
            address = reinterpret_cast<const sockaddr_in*>(result->ai_addr)->sin_addr;
            return true;
        }
    return true;
}

void SendAll(SOCKET socket, const uint8_t* data, uint32_t length)
{
    uint32_t sent = 0;
    while (sent < length)
    {
        int result = send(socket, reinterpret_cast<const char*>(data + sent), static_cast<int>(length - sent), 0);
        if (result == SOCKET_ERROR)
            throw SocketError(L"[!] CIdentity::Report: Failed to send report data. %s. Error code = %ld.",
                              WSAGetLastError());
        if (result == 0)
            return;
        sent += static_cast<uint32_t>(result);
    }
}

namespace Release
{
inline void WSACloseEvent(WSAEVENT event) { ::WSACloseEvent(event); }
} // namespace Release
using CWsaEvent = CUniqueResource<WSAEVENT, Release::WSACloseEvent>;

// The socket's error, or 0 once the connection is made.
int FinishConnect(SOCKET socket, WSAEVENT connected)
{
    WSANETWORKEVENTS events{};
    if (WSAEnumNetworkEvents(socket, connected, &events) != 0)
        return WSAGetLastError();
    return (events.lNetworkEvents & FD_CONNECT) ? events.iErrorCode[FD_CONNECT_BIT] : WSAETIMEDOUT;
}

// Connects within the system's own time-out, but gives up at once when the
// agent stops (WSAEINTR): a server that drops the connection attempt would
// otherwise hold the stop for minutes. Returns the socket error, 0 when
// connected; the socket is blocking again afterwards, for the time-outs of
// the exchange.
int ConnectUnlessStopped(SOCKET socket, const sockaddr_in& server, HANDLE stopEvent)
{
    const auto* address = reinterpret_cast<const sockaddr*>(&server);
    if (!stopEvent)
        return connect(socket, address, sizeof(server)) == 0 ? 0 : WSAGetLastError();
    CWsaEvent connected(WSACreateEvent());
    if (!connected || WSAEventSelect(socket, connected.Get(), FD_CONNECT) != 0)
        return WSAGetLastError();
    int error = connect(socket, address, sizeof(server)) == 0 ? 0 : WSAGetLastError();
    if (error == WSAEWOULDBLOCK)
    {
        HANDLE waitSet[] = {connected.Get(), stopEvent};
        DWORD result = WaitForMultipleObjects(2, waitSet, FALSE, INFINITE);
        if (result == WAIT_OBJECT_0)
            error = FinishConnect(socket, connected.Get());
        else
            error = result == WAIT_OBJECT_0 + 1 ? WSAEINTR : static_cast<int>(GetLastError());
    }
    u_long blocking = 0;
    if (WSAEventSelect(socket, nullptr, 0) != 0 || ioctlsocket(socket, FIONBIO, &blocking) != 0)
        return error ? error : WSAGetLastError();
    return error;
}

uint32_t ReceiveReply(SOCKET socket, uint8_t* buffer, uint32_t size)
{
    int received = recv(socket, reinterpret_cast<char*>(buffer), static_cast<int>(size), 0);
    if (received == SOCKET_ERROR)
    {
        int error = WSAGetLastError();
        throw CException(static_cast<DWORD>(error),
                         FormatString(L"[!] CIdentity::Report: Failed to receive report data response; WSAError=%lu",
                                      (unsigned long)error));
    }
    if (received == 0)
        throw CException(0, L"[!] CIdentity::Report: Received zero-byte report data response");
    return static_cast<uint32_t>(received);
}
} // namespace

bool CIdentity::IdentServerLookup()
{
    std::wstring name;
    {
        CLock lock(m_IdentityLock);
        name = m_ServerName;
        if (name.empty() || m_ServerAddress.sin_addr.s_addr != 0)
            return true;
    }
    in_addr address{};
    if (!ParseAddressLiteral(name, address))
    {
        if (!ResolveIPv4(name, address))
            return false;
        if (address.s_addr == 0)
        {
            LogMessage(L"[!] CIdentity::IdentServerLookup: Failed to obtain any IP addresses for Identification "
                       L"Server");
            return true;
        }
    }
    if (address.s_addr == 0)
        return false;
    StoreServerAddress(name, address);
    return true;
}

// Stored only while the name is still the configured one: a name changed in
// the meantime has cleared the address and is resolved on its own.
void CIdentity::StoreServerAddress(const std::wstring& forName, const in_addr& address)
{
    CLock lock(m_IdentityLock);
    if (m_ServerName != forName)
        return;
    m_ServerAddress.sin_family = AF_INET;
    m_ServerAddress.sin_port = htons(IDENTIFICATION_SERVER_PORT);
    m_ServerAddress.sin_addr = address;
}

bool CIdentity::HasServerAddress()
{
    CLock lock(m_IdentityLock);
    return m_ServerAddress.sin_addr.s_addr != 0;
}

sockaddr_in CIdentity::ServerAddress()
{
    CLock lock(m_IdentityLock);
    return m_ServerAddress;
}

void CIdentity::Report(uint8_t reportType, const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer,
                       const USER_IDENTITY& user)
{
    try
    {
        CTCPSocket socket(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED));
        if (!socket.IsValid())
            throw SocketError(L"[!] CIdentity::Report: Failed to create socket. %s. Error code = %ld.",
                              WSAGetLastError());
        SetTimeout(socket.Handle(), SO_RCVTIMEO,
                   L"[!] CIdentity::Report: Failed to set socket receive time-out. %s. Error code = %ld.");
        SetTimeout(socket.Handle(), SO_SNDTIMEO,
                   L"[!] CIdentity::Report: Failed to set socket send time-out. %s. Error code = %ld.");

        sockaddr_in server = ServerAddress();
        if (int error = ConnectUnlessStopped(socket.Handle(), server, m_StopEvent.load()))
            throw SocketError(L"[!] CIdentity::Report: Failed to connect to identification server.\r\n    %s. Error "
                              L"code = %ld.",
                              error);
        SOCKADDR_STORAGE local{};
        int localLength = sizeof(local);
        if (getsockname(socket.Handle(), reinterpret_cast<sockaddr*>(&local), &localLength) != 0)
            throw SocketError(L"[!] CIdentity::Report: Failed to get socket name. %s. Error code = %ld.",
                              WSAGetLastError());

        // One buffer for request and reply; on the heap, since reports also run
        // on threads with small stacks.
        std::vector<uint8_t> buffer(REPORT_BUFFER_SIZE);
        uint32_t length = MakeReportRequest(buffer.data(), REPORT_BUFFER_SIZE, reinterpret_cast<sockaddr*>(&local),
                                            reportType, agent, computer, user, m_IPAddresses);
        SendAll(socket.Handle(), buffer.data(), length);
        uint32_t received = ReceiveReply(socket.Handle(), buffer.data(), REPORT_BUFFER_SIZE);
        CheckReportReply(buffer.data(), received);
    }
    catch (const CException& exception)
    {
        LogException(L"[!] CIdentity::Report: Failed to report (v3).", exception);
        throw;
    }
}

#pragma once

#include "diag/LogRateLimit.h"
#include "query/NQRPProtocol.h"
#include "query/NQRPReplies.h"
#include "query/QueryOwner.h"
#include "query/UDPIOCP.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

struct STREAM;

// Answers the appliance's identity queries on UDP port 1305, over IPv4 and
// IPv6, from a snapshot of the agent's identity. After Start nothing in the
// server changes: the handlers on both workers only read it.
class CNQRPServer final : public CUDPIOCP
{
public:
    static constexpr int ReceivesPerSocket = 10;
    // Query lines written a second at most; the rest are counted.
    static constexpr DWORD QueryLinesPerSecond = 10;

    // port 0 lets the system choose a port for each socket.
    CNQRPServer(std::unique_ptr<IQueryOwner> owner, IIOBufferPool* pool, uint16_t port);
    ~CNQRPServer() override;

    // Creates the completion port, reads the agent's version and binds both
    // sockets; false when the server cannot serve.
    bool Start();
    // Posts the initial receives on each socket.
    bool StartReceiving();

    bool OnSendTo(CSocket& socket, IO_DATA& io, DWORD bytes) override;
    bool OnReceiveFrom(CSocket& socket, IO_DATA& io, DWORD bytes) override;
    void OnError(CSocket& socket, IO_DATA& io, DWORD error) override;
    void OnDatagramLost(CSocket& socket, IO_DATA& io, DWORD error) override;

    // True when the reply went out and the record belongs to the send; false
    // when nothing was sent and the caller keeps the record.
    bool DoNQRPQuery(CSocket& socket, IO_DATA& io, STREAM& request);
    bool DoLogonUserQuery(CSocket& socket, IO_DATA& io, STREAM& request);
    bool DoLogonUserQueryEx(CSocket& socket, IO_DATA& io, STREAM& request);

    const CSocket& Socket4() const { return m_Socket4; }
    const CSocket& Socket6() const { return m_Socket6; }
    uint16_t Port() const { return m_ListenPort; }
    const std::wstring& Version() const { return m_Version; }

private:
    void ReadInstallation();
    bool OpenSocket(CSocket& socket, int family, const wchar_t* associateFailure);
    bool Bind(CSocket& socket, int family);
    void Associate(CSocket& socket, const wchar_t* failure);
    void DisableConnectionReset(CSocket& socket);
    bool PostInitialReceives(CSocket& socket, const wchar_t* bufferFailure, const wchar_t* postFailure);
    bool DispatchGuarded(CSocket& socket, IO_DATA& io, DWORD bytes);
    bool Dispatch(CSocket& socket, IO_DATA& io, STREAM& request, DWORD bytes);
    void LogQuery(const wchar_t* format, DWORD bytes);
    void LogQueriesLeftOut(DWORD leftOut);
    bool AcceptRequest(IO_DATA& io, STREAM& request, const wchar_t* handler, bool withMask, NQRP_REQUEST& fields);
    bool WriteReply(IO_DATA& io, uint32_t size, const wchar_t* handler, const wchar_t* failure,
                    const std::function<void(STREAM&)>& write);
    IDENTITY Snapshot() const;
    const CAddressList& Addresses() const;
    std::wstring AgentVersion() const;
    bool SendReply(CSocket& socket, IO_DATA& io, const wchar_t* handler);

    std::unique_ptr<IQueryOwner> m_Owner;
    CSocket m_Socket4;
    CSocket m_Socket6; // stays invalid when IPv6 is unavailable
    const uint16_t m_ListenPort;
    std::wstring m_Version;
    NQRP_HOST_INFO m_Host;
    CLogRateLimit m_QueryLogLimit{QueryLinesPerSecond, 1000};
};

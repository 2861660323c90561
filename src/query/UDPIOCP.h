#pragma once

#include "common/CriticalSection.h"
#include "platform/Socket.h"
#include "query/IOBufferPool.h"
#include "query/IOCPThreadPool.h"
#include "query/IOData.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>

// Overlapped UDP receives and sends on a completion port, with their
// completions dispatched to overridable handlers on the worker threads.
class CUDPIOCP : public CIOCPThreadPool
{
public:
    // The socket the framework associates with the port; its address is the
    // completion key.
    class CSocket : public CUDPSocket
    {
    public:
        CSocket();
        uint32_t Id() const { return m_Id; }
        virtual void* GetContext() const { return m_Context.load(); }
        virtual void SetContext(void* context) { m_Context.store(context); }
        // Whether an operation that succeeds at once gets no packet.
        bool SkipsPortOnSuccess() const { return m_SkipsPort.load(); }
        // A new socket starts with the port's packets for every operation.
        void Reset(SOCKET handle = INVALID_SOCKET) override;

    private:
        friend class CUDPIOCP;
        const uint32_t m_Id;
        std::atomic<void*> m_Context{nullptr};
        std::atomic<bool> m_SkipsPort{false};
    };

    static constexpr uint16_t DefaultMaxFreeSockets = 10;
    // Operations that succeeded at once handled after one packet, at most; the
    // rest wait in the port behind the other packets. Kept small: a worker
    // that rarely comes back to the port leaves the other packets waiting,
    // which lengthens the slowest answers more than it shortens the rest.
    static constexpr int MaxCompletedAtOncePerPacket = 4;

    explicit CUDPIOCP(IIOBufferPool* pool);
    ~CUDPIOCP() override;

    std::unique_ptr<CWorker> CreateWorker() override;
    void OnCompletion(const COMPLETION_PACKET& packet) override;
    virtual std::unique_ptr<CSocket> CreateSocket();
    // Issue the Winsock call; only on a worker thread. False when the post
    // failed: the record went through OnError and the socket is closed.
    virtual bool PostSendTo(CSocket& socket, IO_DATA& io);
    virtual bool PostRecvFrom(CSocket& socket, IO_DATA& io);
    // Completions; true when the handler is done with the record.
    virtual bool OnSendTo(CSocket& socket, IO_DATA& io, DWORD bytes);
    virtual bool OnReceiveFrom(CSocket& socket, IO_DATA& io, DWORD bytes);
    virtual void OnError(CSocket& socket, IO_DATA& io, DWORD error);
    virtual IO_DATA* GetIOData();
    virtual void ReleaseIOData(IO_DATA* io);
    virtual std::unique_ptr<CSocket> GetSocket();
    virtual void ReleaseSocket(std::unique_ptr<CSocket> socket);
    // Queue the operation to a worker; any thread.
    virtual bool PostSend(CSocket& socket, IO_DATA& io);
    // Stream operations, which a datagram socket does not have.
    virtual bool PostSendStream(CSocket& socket, IO_DATA& io);
    virtual bool PostReceive(CSocket& socket, IO_DATA& io);
    virtual bool PostReceiveStream(CSocket& socket, IO_DATA& io);
    // One datagram was lost (a truncated receive, an ICMP report of an
    // earlier send, a reply that cannot go to where the query came from): the
    // socket and its other operations are unaffected. error is the Windows
    // Sockets code.
    virtual void OnDatagramLost(CSocket& socket, IO_DATA& io, DWORD error);

    // Set up the record as PostReceive/PostSend do, then issue the Winsock
    // call at once; for handlers, which already run on a worker, to spare
    // the extra trip through the port.
    bool ReceiveNow(CSocket& socket, IO_DATA& io);
    bool SendNow(CSocket& socket, IO_DATA& io);

    // Operations on the socket that succeed at once are then handled by the
    // worker that issued them, without a packet; false when the socket's
    // provider does not allow it, which changes nothing. Before the socket's
    // first operation.
    static bool SkipPortOnSuccess(CSocket& socket);

    // The Windows Sockets code of a lost datagram, or 0 when the error of a
    // failed receive or send leaves the socket itself unusable.
    static DWORD DatagramLossCode(DWORD error, bool send);

protected:
    // Takes back, within timeoutMs, the records of the operations still in
    // the port or in Winsock; for destructors, after the workers have ended
    // and the sockets are closed.
    void ReclaimRecords(DWORD timeoutMs);

    uint16_t m_MaxFreeSockets = DefaultMaxFreeSockets;

private:
    static void PrepareReceive(IO_DATA& io);
    static void PrepareSend(IO_DATA& io);
    bool Queue(CSocket& socket, IO_DATA& io);
    bool Issued(CSocket& socket, IO_DATA& io, int result);
    void HandlePacket(const COMPLETION_PACKET& packet);
    void CompletedAtOnce(CSocket& socket, IO_DATA& io);

    IIOBufferPool* m_Pool;
    std::deque<std::unique_ptr<CSocket>> m_FreeSockets;
    CCriticalSection m_SocketLock; // guards m_FreeSockets only
    // Records handed to the port or to Winsock whose packet has not been
    // dispatched yet.
    std::atomic<long> m_Outstanding{0};
};

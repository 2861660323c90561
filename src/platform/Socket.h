#pragma once

#include <atomic>
#include <winsock2.h>

// Owner of one Winsock socket; INVALID_SOCKET means none. The handle is
// atomic because a worker that sees a post fail closes the socket while
// another worker may be about to use it.
class CSocket
{
public:
    CSocket() = default;
    explicit CSocket(SOCKET handle) : m_Handle(handle) {}
    virtual ~CSocket() { Close(); }
    CSocket(const CSocket&) = delete;
    CSocket& operator=(const CSocket&) = delete;

    SOCKET Handle() const { return m_Handle.load(); }
    bool IsValid() const { return Handle() != INVALID_SOCKET; }

    // Replaces the held socket, closing the old one first.
    virtual void Reset(SOCKET handle = INVALID_SOCKET);

    // Hands ownership on to the caller.
    SOCKET Take() { return m_Handle.exchange(INVALID_SOCKET); }

    // Closes without disturbing the caller's last error, which usually
    // belongs to the failure that made us close. Only one of several racing
    // callers closes the handle.
    void Close() { Reset(); }

private:
    std::atomic<SOCKET> m_Handle{INVALID_SOCKET};
};

class CUDPSocket : public CSocket
{
public:
    using CSocket::CSocket;
};

class CTCPSocket : public CSocket
{
public:
    using CSocket::CSocket;
};

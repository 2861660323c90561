// Linked into the service of the measuring build (KestrinSessionBench): session
// changes on demand. Wine's service manager never delivers
// SERVICE_CONTROL_SESSIONCHANGE, so a thread of this file's own receives
// trigger datagrams on a loopback UDP port and hands each to the agent exactly
// as the service control handler hands that control on. Terminal services'
// ready event, which Windows creates, is created here as well, so that the
// agent asks the wtsapi32 stand-in for its sessions.
//
// A trigger is the text "<event type> <session id> [tag]" (event types as in
// WTSSESSION_NOTIFICATION: 5 logon, 6 logoff); the datagram is sent back
// unchanged once the agent has handled the event, which includes its report.
#include "agent/UserAgent.h"
#include "common/Handle.h"
#include "common/UniqueResource.h"
#include "platform/Socket.h"
#include "platform/Thread.h"

#include <cstdio>
#include <winsock2.h>
#include <wtsapi32.h>

namespace
{
constexpr u_short SessionTriggerPort = 41307;
constexpr DWORD TriggerThreadStopMs = 10000;

namespace Release
{
inline void WSACleanup(int) { ::WSACleanup(); }
inline void WSACloseEvent(WSAEVENT event) { ::WSACloseEvent(event); }
} // namespace Release
// Holds one WSAStartup of its own; -1 when it failed.
using CWinsock = CUniqueResource<int, Release::WSACleanup, -1>;
using CWsaEvent = CUniqueResource<WSAEVENT, Release::WSACloseEvent>;

int StartWinsock()
{
    WSADATA data{};
    return WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
}

class CSessionTriggerThread final : public CThread
{
public:
    CSessionTriggerThread()
        : CThread(L"CSessionTriggerThread"), m_StopEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
          m_ReadyEvent(CreateEventW(nullptr, TRUE, TRUE, L"Global\\TermSrvReadyEvent"))
    {
        Start();
    }

    ~CSessionTriggerThread() override
    {
        SetEvent(m_StopEvent.Get());
        Join(TriggerThreadStopMs);
    }

protected:
    DWORD ThreadProc() override
    {
        CWinsock winsock(StartWinsock());
        if (!winsock)
            return 1;
        CUDPSocket socket(::socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP));
        CWsaEvent readable(WSACreateEvent());
        if (!socket.IsValid() || !readable || !Bind(socket.Handle()) ||
            WSAEventSelect(socket.Handle(), readable.Get(), FD_READ) != 0)
            return 1;
        HANDLE waitSet[] = {m_StopEvent.Get(), readable.Get()};
        while (WaitForMultipleObjects(2, waitSet, FALSE, INFINITE) == WAIT_OBJECT_0 + 1)
        {
            WSAResetEvent(readable.Get());
            while (HandleTrigger(socket.Handle()))
            {
            }
        }
        return 0;
    }

private:
    static bool Bind(SOCKET socket)
    {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(SessionTriggerPort);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) == 0;
    }

    // False once no datagram is waiting.
    static bool HandleTrigger(SOCKET socket)
    {
        char text[256] = {};
        sockaddr_in sender{};
        int senderLength = sizeof(sender);
        int length = recvfrom(socket, text, sizeof(text) - 1, 0, reinterpret_cast<sockaddr*>(&sender), &senderLength);
        if (length == SOCKET_ERROR)
            return WSAGetLastError() == WSAEMSGSIZE || WSAGetLastError() == WSAECONNRESET;
        unsigned long eventType = 0, sessionId = 0;
        if (std::sscanf(text, "%lu %lu", &eventType, &sessionId) == 2)
        {
            WTSSESSION_NOTIFICATION notification{};
            notification.cbSize = sizeof(notification);
            notification.dwSessionId = sessionId;
            ForwardSessionChange(eventType, &notification);
        }
        sendto(socket, text, length, 0, reinterpret_cast<const sockaddr*>(&sender), senderLength);
        return true;
    }

    CHandle m_StopEvent;
    CHandle m_ReadyEvent;
};

CSessionTriggerThread SessionTriggerThread;
} // namespace

// A minimal I/O-completion-port UDP echo server, the benchmark's baseline for
// many requests in flight: two workers, ten receives outstanding, and each
// worker sends the echo and re-issues its receive directly, with no packet
// queued to itself in between.
//
//   EchoCompletionPort.exe PORT
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <winsock2.h>

namespace
{
constexpr int Workers = 2;
constexpr int Receives = 10;

struct OPERATION
{
    OVERLAPPED Overlapped;
    bool Receive;
    WSABUF Buffer;
    sockaddr_storage Peer;
    int PeerLength;
    char Data[4096];
};

SOCKET Server = INVALID_SOCKET;
HANDLE Port = nullptr;

void IssueReceive(OPERATION* operation)
{
    std::memset(&operation->Overlapped, 0, sizeof(operation->Overlapped));
    operation->Receive = true;
    operation->Buffer = {sizeof(operation->Data), operation->Data};
    operation->PeerLength = sizeof(operation->Peer);
    DWORD flags = 0;
    if (WSARecvFrom(Server, &operation->Buffer, 1, nullptr, &flags, reinterpret_cast<sockaddr*>(&operation->Peer),
                    &operation->PeerLength, &operation->Overlapped, nullptr) != 0 &&
        WSAGetLastError() != WSA_IO_PENDING && WSAGetLastError() != WSAEMSGSIZE)
        std::fwprintf(stderr, L"EchoCompletionPort: receive failed, error %d\n", WSAGetLastError());
}

void IssueEcho(const OPERATION& received, DWORD bytes)
{
    auto* echo = new OPERATION;
    std::memset(&echo->Overlapped, 0, sizeof(echo->Overlapped));
    echo->Receive = false;
    std::memcpy(echo->Data, received.Data, bytes);
    echo->Buffer = {bytes, echo->Data};
    if (WSASendTo(Server, &echo->Buffer, 1, nullptr, 0, reinterpret_cast<const sockaddr*>(&received.Peer),
                  received.PeerLength, &echo->Overlapped, nullptr) != 0 &&
        WSAGetLastError() != WSA_IO_PENDING && WSAGetLastError() != WSAEMSGSIZE)
        delete echo;
}

DWORD WINAPI Worker(void*)
{
    for (;;)
    {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        BOOL ok = GetQueuedCompletionStatus(Port, &bytes, &key, &overlapped, INFINITE);
        if (!overlapped)
            return 0;
        auto* operation = reinterpret_cast<OPERATION*>(overlapped);
        if (!operation->Receive)
        {
            delete operation;
            continue;
        }
        if (ok)
            IssueEcho(*operation, bytes);
        IssueReceive(operation);
    }
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fwprintf(stderr, L"usage: EchoCompletionPort.exe PORT\n");
        return 2;
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    Server = WSASocketW(AF_INET, SOCK_DGRAM, IPPROTO_UDP, nullptr, 0, WSA_FLAG_OVERLAPPED);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::wcstoul(argv[1], nullptr, 10)));
    Port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 0);
    if (Server == INVALID_SOCKET || bind(Server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        !Port || !CreateIoCompletionPort(reinterpret_cast<HANDLE>(Server), Port, 1, 0))
    {
        std::fwprintf(stderr, L"EchoCompletionPort: cannot set up, error %d\n", WSAGetLastError());
        return 1;
    }
    for (int i = 0; i < Receives; ++i)
        IssueReceive(new OPERATION);
    HANDLE threads[Workers];
    for (auto& thread : threads)
        thread = CreateThread(nullptr, 0, Worker, nullptr, 0, nullptr);
    std::wprintf(L"EchoCompletionPort: ready\n");
    std::fflush(stdout);
    WaitForMultipleObjects(Workers, threads, TRUE, INFINITE);
    return 0;
}

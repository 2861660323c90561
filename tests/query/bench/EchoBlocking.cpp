// A minimal blocking Winsock UDP echo server, the benchmark's baseline for
// one request in flight: every datagram is sent back as it came.
//
//   EchoBlocking.exe PORT
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <winsock2.h>

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
    {
        std::fwprintf(stderr, L"usage: EchoBlocking.exe PORT\n");
        return 2;
    }
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
        return 1;
    SOCKET server = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(std::wcstoul(argv[1], nullptr, 10)));
    if (server == INVALID_SOCKET || bind(server, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0)
    {
        std::fwprintf(stderr, L"EchoBlocking: cannot bind, error %d\n", WSAGetLastError());
        return 1;
    }
    std::wprintf(L"EchoBlocking: ready\n");
    std::fflush(stdout);
    static char buffer[65536];
    for (;;)
    {
        sockaddr_storage from{};
        int fromLength = sizeof(from);
        int received = recvfrom(server, buffer, sizeof(buffer), 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received > 0)
            sendto(server, buffer, received, 0, reinterpret_cast<sockaddr*>(&from), fromLength);
    }
}

#include "platform/Socket.h"

void CSocket::Reset(SOCKET handle)
{
    SOCKET old = m_Handle.exchange(handle);
    if (old == INVALID_SOCKET)
        return;
    int lastError = WSAGetLastError();
    closesocket(old);
    WSASetLastError(lastError);
}

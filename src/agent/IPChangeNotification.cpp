#include "agent/IPChangeNotification.h"

#include "diag/Log.h"

#include <iphlpapi.h>

CIPChangeNotification::CIPChangeNotification() : m_Event(WSACreateEvent())
{
    if (m_Event == WSA_INVALID_EVENT)
        LogPrintf(LOG_ERROR, L"[!] CUserAgent: Failed to create IP address change notification event; WSALastError=%lu",
                  (unsigned long)WSAGetLastError());
    m_Overlapped.hEvent = m_Event;
}

CIPChangeNotification::~CIPChangeNotification()
{
    if (m_Pending)
        CancelIPChangeNotify(&m_Overlapped);
    if (m_Event != WSA_INVALID_EVENT)
        WSACloseEvent(m_Event);
}

void CIPChangeNotification::Arm(const wchar_t* failureFormat)
{
    if (!IsValid())
        return;
    DWORD result = NotifyAddrChange(&m_Handle, &m_Overlapped);
    m_Pending = result == NO_ERROR || result == ERROR_IO_PENDING;
    if (!m_Pending)
        LogPrintf(LOG_ERROR, failureFormat, (unsigned long)result, (unsigned long)WSAGetLastError());
}

void CIPChangeNotification::Complete()
{
    m_Pending = false;
    DWORD transferred = 0;
    if (!GetOverlappedResult(m_Handle, &m_Overlapped, &transferred, FALSE))
        LogPrintf(LOG_ERROR, L"[!] CUserAgent: Failed to get overlapped result; LastError=0x%lx", GetLastError());
}

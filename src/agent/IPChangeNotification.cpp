#include "agent/IPChangeNotification.h"

#include "diag/Log.h"

#include <iphlpapi.h>

namespace
{
// A cancelled request completes at once; the bound only keeps a broken stack
// from holding up the shutdown.
constexpr DWORD CancelWaitMs = 5000;
} // namespace

CIPChangeNotification::REQUEST::REQUEST() : Event(WSACreateEvent()) { Overlapped.hEvent = Event; }

CIPChangeNotification::REQUEST::~REQUEST()
{
    if (Event != WSA_INVALID_EVENT)
        WSACloseEvent(Event);
}

CIPChangeNotification::CIPChangeNotification() : m_Request(std::make_unique<REQUEST>())
{
    if (!IsValid())
        LogPrintf(LOG_ERROR, L"[!] CUserAgent: Failed to create IP address change notification event; WSALastError=%lu",
                  (unsigned long)WSAGetLastError());
}

CIPChangeNotification::~CIPChangeNotification()
{
    if (!m_Pending || CancelAndWait())
        return;
    LogMessage(L"[!] CUserAgent: IP address change notification could not be cancelled; its request is left in place");
    static_cast<void>(m_Request.release());
}

bool CIPChangeNotification::CancelAndWait()
{
    if (!CancelIPChangeNotify(&m_Request->Overlapped))
        return false;
    if (WaitForSingleObject(m_Request->Event, CancelWaitMs) != WAIT_OBJECT_0)
        return false;
    m_Pending = false;
    return true;
}

void CIPChangeNotification::Arm(const wchar_t* failureFormat)
{
    if (!IsValid())
        return;
    DWORD result = NotifyAddrChange(&m_Handle, &m_Request->Overlapped);
    m_Pending = result == NO_ERROR || result == ERROR_IO_PENDING;
    if (!m_Pending)
        LogPrintf(LOG_ERROR, failureFormat, (unsigned long)result, (unsigned long)WSAGetLastError());
}

void CIPChangeNotification::Complete()
{
    m_Pending = false;
    DWORD transferred = 0;
    if (!GetOverlappedResult(m_Handle, &m_Request->Overlapped, &transferred, FALSE))
        LogPrintf(LOG_ERROR, L"[!] CUserAgent: Failed to get overlapped result; LastError=0x%lx", GetLastError());
}

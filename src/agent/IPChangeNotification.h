#pragma once

#include <windows.h>

#include <winsock2.h>

// One outstanding "an IP address changed" notification, completed through a
// WinSock event. The notification is cancelled before the record it writes
// into goes away.
class CIPChangeNotification
{
public:
    CIPChangeNotification();
    ~CIPChangeNotification();
    CIPChangeNotification(const CIPChangeNotification&) = delete;
    CIPChangeNotification& operator=(const CIPChangeNotification&) = delete;

    // False when the event could not be created (logged).
    bool IsValid() const { return m_Event != WSA_INVALID_EVENT; }
    HANDLE Event() const { return m_Event; }

    // Asks for the next change; the failure line names the first request or a
    // renewal.
    void Arm(const wchar_t* failureFormat);
    // Collects the completed notification.
    void Complete();

private:
    WSAEVENT m_Event;
    OVERLAPPED m_Overlapped{};
    HANDLE m_Handle = nullptr;
    bool m_Pending = false;
};

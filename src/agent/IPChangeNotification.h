#pragma once

#include <windows.h>

#include <memory>
#include <winsock2.h>

// One outstanding "an IP address changed" notification, completed through a
// WinSock event. The system writes into the request's record until the
// request completes, so the record lives on the heap: on destruction the
// request is cancelled and its completion awaited, and a record whose request
// cannot be seen to end is left in place rather than freed under the system.
class CIPChangeNotification
{
public:
    CIPChangeNotification();
    ~CIPChangeNotification();
    CIPChangeNotification(const CIPChangeNotification&) = delete;
    CIPChangeNotification& operator=(const CIPChangeNotification&) = delete;

    // False when the event could not be created (logged).
    bool IsValid() const { return m_Request->Event != WSA_INVALID_EVENT; }
    HANDLE Event() const { return m_Request->Event; }

    // Asks for the next change; the failure line names the first request or a
    // renewal.
    void Arm(const wchar_t* failureFormat);
    // Collects the completed notification.
    void Complete();

private:
    struct REQUEST
    {
        REQUEST();
        ~REQUEST();
        REQUEST(const REQUEST&) = delete;
        REQUEST& operator=(const REQUEST&) = delete;

        OVERLAPPED Overlapped{};
        WSAEVENT Event;
    };

    bool CancelAndWait();

    std::unique_ptr<REQUEST> m_Request;
    HANDLE m_Handle = nullptr;
    bool m_Pending = false;
};

#pragma once

#include <windows.h>

// Where the logon events of the System Event Notification Service go: the
// identity, which owns their sink.
class ILogonEventSink
{
public:
    virtual ~ILogonEventSink() = default;
    virtual void OnSensLogon() = 0;
    // sessionId is 0xFFFFFFFF when the event names no session.
    virtual void OnSensLogoff(DWORD sessionId) = 0;
};

#pragma once

#include <windows.h>

// Where the log takes its time from. The system clock in the program; tests
// set their own to cross midnight without waiting for it.
class ILogClock
{
public:
    virtual ~ILogClock() = default;
    virtual void Now(SYSTEMTIME& local, SYSTEMTIME& utc) = 0;
};

class CSystemLogClock : public ILogClock
{
public:
    void Now(SYSTEMTIME& local, SYSTEMTIME& utc) override
    {
        GetSystemTime(&utc);
        SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local);
    }
};

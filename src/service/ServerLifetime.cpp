#include "agent/UserAgent.h"
#include "diag/Log.h"
#include "service/ConsoleWindow.h"
#include "service/ServiceControl.h"

#include <objbase.h>
#include <winsock2.h>

namespace
{
// A thread that outlived its stop keeps everything it reaches: the agent is
// then left in place, and the end of the process ends that thread.
void FreeAgent(CUserAgent* agent)
{
    if (!agent)
        return;
    if (agent->CanBeFreed())
        delete agent;
    else
        LogMessage(L"[!] SvrUninitialize: Threads of the User Agent Instance still running; instance left in place");
}
} // namespace

bool SvrInitialize()
{
    LogMessage(L"SvrInitialize Begin");
    LogMessage(L"Initializing COM");
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
    {
        LogMessage(L"[!] SvrInitialize: Error initializing COM; Exiting");
        return false;
    }
    LogMessage(L"Initializing WinSock 2.2");
    WSADATA data{};
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0)
    {
        LogMessage(L"[!] SvrInitialize: Error initializing WinSock; Exiting");
        return false;
    }
    CUserAgent* agent = TheAgent();
    if (!agent || !agent->Initialize())
    {
        LogMessage(L"[!] SvrInitialize: Error initializing agent; Exiting");
        return false;
    }
    LogMessage(L"SvrInitialize End");
    return true;
}

bool SvrUninitialize(CUserAgent* agent)
{
    LogMessage(L"SvrUninitialize Begin");
    // Unpublished before anything is torn down: both calls wait for a control
    // handler that is using the agent or its stop event to finish.
    PublishConsoleStopEvent(nullptr);
    SetTheAgent(nullptr);
    LogMessage(L"Uninitializing User Agent Instance");
    if (agent)
        agent->Uninitialize();
    LogMessage(L"Uninitializing WinSock");
    WSACleanup();
    LogMessage(L"Uninitializing COM");
    CoUninitialize();
    LogMessage(L"Freeing User Agent Instance");
    FreeAgent(agent);
    LogMessage(L"SvrUninitialize End");
    return true;
}

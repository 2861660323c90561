#include "agent/UserAgent.h"
#include "diag/Log.h"
#include "service/ConsoleWindow.h"
#include "service/ServiceControl.h"

#include <objbase.h>
#include <winsock2.h>

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
    LogMessage(L"Uninitializing User Agent Instance");
    if (agent)
        agent->Uninitialize();
    LogMessage(L"Uninitializing WinSock");
    WSACleanup();
    LogMessage(L"Uninitializing COM");
    CoUninitialize();
    LogMessage(L"Freeing User Agent Instance");
    // Unpublished first, so that no control handler reaches a freed agent.
    PublishConsoleStopEvent(nullptr);
    SetTheAgent(nullptr);
    delete agent;
    LogMessage(L"SvrUninitialize End");
    return true;
}

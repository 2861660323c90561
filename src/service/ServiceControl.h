#pragma once

#include "config/ServiceName.h"

#include <windows.h>

class CUserAgent;

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// COM, WinSock and the agent, in that order; shared by both roles.
bool SvrInitialize();
// Tears everything down, frees the agent and clears the process's pointer.
bool SvrUninitialize(CUserAgent* agent);

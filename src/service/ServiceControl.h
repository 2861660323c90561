#pragma once

#include <windows.h>

class CUserAgent;

constexpr wchar_t ServiceName[] = L"Kestrin";

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);
DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// COM, WinSock and the agent, in that order; shared by both roles.
bool SvrInitialize();
// Tears everything down, frees the agent and clears the process's pointer.
bool SvrUninitialize(CUserAgent* agent);

#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>
#include <wtsapi32.h>

// One session as a test scripted it under WTS\Sessions\<id>.
struct SCRIPTED_SESSION
{
    DWORD SessionId = 0;
    WTS_CONNECTSTATE_CLASS State = WTSActive;
    USHORT Protocol = WTS_PROTOCOL_TYPE_CONSOLE;
    std::wstring WinStationName;
    std::wstring UserName;
    std::wstring DomainName;
    std::optional<DWORD> QueryError;
    std::optional<DWORD> QueryErrorClass; // only this class fails with QueryError
    std::optional<DWORD> TokenError;
};

// The error WTSEnumerateSessionsW is scripted to fail with; none when zero.
std::optional<DWORD> ScriptedEnumerateError();

// Without a "Sessions" key a test scripts no sessions, and Wine's own
// functions answer.
bool SessionsAreScripted();

// In ascending order of session id.
std::vector<SCRIPTED_SESSION> ReadScriptedSessions();
std::optional<SCRIPTED_SESSION> ReadScriptedSession(DWORD sessionId);

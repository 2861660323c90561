// The exported functions of the wtsapi32.dll stand-in. With sessions scripted
// they answer from the script as Windows documents; without, Wine's own
// wtsapi32 answers.
#include "shared/BuiltinModule.h"
#include "shared/Holders.h"
#include "wtsapi32/ScriptedSessions.h"
#include "wtsapi32/SessionInfo.h"
#include "wtsapi32/WtsMemory.h"

#include <windows.h>

#include <cstring>
#include <new>
#include <wtsapi32.h>

namespace
{
const char* const ForwardedFunctions[] = {"WTSEnumerateSessionsW", "WTSQuerySessionInformationW", "WTSFreeMemory",
                                          "WTSQueryUserToken"};
CBuiltinModule BuiltinWtsApi(L"wtsapi32.dll", ForwardedFunctions);

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// The stand-in exports no WTSOpenServer, so the local server is the only one.
bool IsLocalServer(HANDLE server) { return server == WTS_CURRENT_SERVER_HANDLE; }

DWORD ResolveSessionId(DWORD sessionId)
{
    DWORD current = 0;
    if (sessionId == WTS_CURRENT_SESSION && ProcessIdToSessionId(GetCurrentProcessId(), &current))
        return current;
    return sessionId;
}

// Windows keeps a user's token while the user is logged on, connected or not.
bool HasLoggedOnUser(const SCRIPTED_SESSION& session)
{
    return !session.UserName.empty() && (session.State == WTSActive || session.State == WTSDisconnected);
}

bool FailsQuery(const SCRIPTED_SESSION& session, WTS_INFO_CLASS infoClass)
{
    return session.QueryError &&
           (!session.QueryErrorClass || *session.QueryErrorClass == static_cast<DWORD>(infoClass));
}

// One buffer holds the array and, behind it, the names it points to, so that
// one WTSFreeMemory frees everything.
BOOL EnumerateScriptedSessions(PWTS_SESSION_INFOW* result, DWORD* count)
{
    std::vector<SCRIPTED_SESSION> sessions = ReadScriptedSessions();
    size_t size = sessions.size() * sizeof(WTS_SESSION_INFOW);
    for (const SCRIPTED_SESSION& session : sessions)
        size += (session.WinStationName.size() + 1) * sizeof(wchar_t);
    auto* info = static_cast<WTS_SESSION_INFOW*>(AllocateWtsMemory(size));
    if (!info)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    auto* names = reinterpret_cast<wchar_t*>(info + sessions.size());
    for (size_t i = 0; i < sessions.size(); ++i)
    {
        const std::wstring& name = sessions[i].WinStationName;
        std::memcpy(names, name.c_str(), (name.size() + 1) * sizeof(wchar_t));
        info[i].SessionId = sessions[i].SessionId;
        info[i].pWinStationName = names;
        info[i].State = sessions[i].State;
        names += name.size() + 1;
    }
    *result = info;
    *count = static_cast<DWORD>(sessions.size());
    return TRUE;
}

BOOL QueryScriptedSession(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer, DWORD* bytes)
{
    if (!IsLocalServer(server))
        return Fail(ERROR_INVALID_HANDLE);
    if (!buffer || !bytes)
        return Fail(ERROR_INVALID_PARAMETER);
    std::optional<SCRIPTED_SESSION> session = ReadScriptedSession(ResolveSessionId(sessionId));
    if (!session)
        return Fail(ERROR_FILE_NOT_FOUND);
    if (FailsQuery(*session, infoClass))
        return Fail(*session->QueryError);
    std::vector<BYTE> data;
    if (DWORD error = EncodeSessionInfo(*session, infoClass, data))
        return Fail(error);
    void* memory = AllocateWtsMemory(data.size());
    if (!memory)
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    std::memcpy(memory, data.data(), data.size());
    *buffer = static_cast<LPWSTR>(memory);
    *bytes = static_cast<DWORD>(data.size());
    return TRUE;
}

// Wine has one account, so the user's token is a primary copy of the caller's.
BOOL DuplicateProcessToken(PHANDLE token)
{
    CHandleHolder processToken;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE | TOKEN_QUERY, processToken.Put()))
        return FALSE;
    return DuplicateTokenEx(processToken.Get(), TOKEN_ALL_ACCESS, nullptr, SecurityImpersonation, TokenPrimary, token);
}

BOOL QueryScriptedToken(ULONG sessionId, PHANDLE token)
{
    if (!token)
        return Fail(ERROR_INVALID_PARAMETER);
    std::optional<SCRIPTED_SESSION> session = ReadScriptedSession(sessionId);
    if (!session)
        return Fail(ERROR_FILE_NOT_FOUND);
    if (session->TokenError)
        return Fail(*session->TokenError);
    if (!HasLoggedOnUser(*session))
        return Fail(ERROR_NO_TOKEN);
    return DuplicateProcessToken(token);
}

// No C++ exception may leave an exported function.
template <typename Call> BOOL Guarded(Call call)
{
    try
    {
        return call();
    }
    catch (const std::bad_alloc&)
    {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

// Wine's own function, or the loader's error when it cannot be had.
template <typename Function, typename... Args> BOOL CallBuiltin(const char* name, Args... args)
{
    auto function = BuiltinWtsApi.Get<Function>(name);
    return function ? function(args...) : FALSE;
}
} // namespace

BOOL WINAPI WTSEnumerateSessionsW(HANDLE server, DWORD reserved, DWORD version, PWTS_SESSION_INFOW* sessions,
                                  DWORD* count)
{
    return Guarded(
        [&]
        {
            if (std::optional<DWORD> error = ScriptedEnumerateError())
                return Fail(*error);
            if (!SessionsAreScripted())
                return CallBuiltin<decltype(&::WTSEnumerateSessionsW)>("WTSEnumerateSessionsW", server, reserved,
                                                                       version, sessions, count);
            if (!IsLocalServer(server))
                return Fail(ERROR_INVALID_HANDLE);
            if (reserved != 0 || version != 1 || !sessions || !count)
                return Fail(ERROR_INVALID_PARAMETER);
            return EnumerateScriptedSessions(sessions, count);
        });
}

BOOL WINAPI WTSQuerySessionInformationW(HANDLE server, DWORD sessionId, WTS_INFO_CLASS infoClass, LPWSTR* buffer,
                                        DWORD* bytes)
{
    return Guarded(
        [&]
        {
            if (!SessionsAreScripted())
                return CallBuiltin<decltype(&::WTSQuerySessionInformationW)>("WTSQuerySessionInformationW", server,
                                                                             sessionId, infoClass, buffer, bytes);
            return QueryScriptedSession(server, sessionId, infoClass, buffer, bytes);
        });
}

VOID WINAPI WTSFreeMemory(PVOID memory)
{
    if (!memory || FreeWtsMemory(memory))
        return;
    if (auto free = BuiltinWtsApi.Get<decltype(&::WTSFreeMemory)>("WTSFreeMemory"))
        free(memory);
}

BOOL WINAPI WTSQueryUserToken(ULONG sessionId, PHANDLE token)
{
    return Guarded(
        [&]
        {
            if (!SessionsAreScripted())
                return CallBuiltin<decltype(&::WTSQueryUserToken)>("WTSQueryUserToken", sessionId, token);
            return QueryScriptedToken(sessionId, token);
        });
}

#include "wtsapi32/ScriptedSessions.h"

#include "shared/ScriptKey.h"
#include "shared/ScriptNames.h"

namespace
{
// A scripted error of zero means "no error", as ERROR_SUCCESS would.
std::optional<DWORD> ReadError(const CScriptKey& key, const wchar_t* name)
{
    std::optional<DWORD> error = key.ReadDword(name);
    if (error && *error == ERROR_SUCCESS)
        return std::nullopt;
    return error;
}

SCRIPTED_SESSION ReadSession(const CScriptKey& key, DWORD sessionId)
{
    SCRIPTED_SESSION session;
    session.SessionId = sessionId;
    session.State = static_cast<WTS_CONNECTSTATE_CLASS>(key.ReadDword(ScriptNames::State).value_or(WTSActive));
    session.Protocol = static_cast<USHORT>(key.ReadDword(ScriptNames::Protocol).value_or(WTS_PROTOCOL_TYPE_CONSOLE));
    session.WinStationName = key.ReadString(ScriptNames::WinStationName);
    session.UserName = key.ReadString(ScriptNames::UserName);
    session.DomainName = key.ReadString(ScriptNames::DomainName);
    session.QueryError = ReadError(key, ScriptNames::QueryError);
    session.QueryErrorClass = key.ReadDword(ScriptNames::QueryErrorClass);
    session.TokenError = ReadError(key, ScriptNames::TokenError);
    return session;
}
} // namespace

std::optional<DWORD> ScriptedEnumerateError()
{
    return ReadError(CScriptKey(ScriptNames::WtsKey), ScriptNames::EnumerateError);
}

bool SessionsAreScripted() { return CScriptKey(ScriptNames::SessionsKey).Exists(); }

std::vector<SCRIPTED_SESSION> ReadScriptedSessions()
{
    CScriptKey sessions(ScriptNames::SessionsKey);
    std::vector<SCRIPTED_SESSION> result;
    for (DWORD sessionId : sessions.NumberedSubkeys())
    {
        CScriptKey key(sessions, std::to_wstring(sessionId));
        // A session removed since the listing is simply gone.
        if (key.Exists())
            result.push_back(ReadSession(key, sessionId));
    }
    return result;
}

std::optional<SCRIPTED_SESSION> ReadScriptedSession(DWORD sessionId)
{
    CScriptKey key(CScriptKey(ScriptNames::SessionsKey), std::to_wstring(sessionId));
    if (!key.Exists())
        return std::nullopt;
    return ReadSession(key, sessionId);
}

#include "wtsapi32/SessionInfo.h"

#include <cstring>
#include <string>

namespace
{
static_assert(sizeof(WTS_CONNECTSTATE_CLASS) == sizeof(DWORD), "WTSConnectState returns a DWORD-sized value");

// WTSIsRemoteSession, the last class Windows defines; MinGW's header stops at WTSSessionInfo.
constexpr DWORD LastInfoClass = 29;

template <typename T> DWORD Encode(const T& value, std::vector<BYTE>& data)
{
    data.resize(sizeof(T));
    std::memcpy(data.data(), &value, sizeof(T));
    return ERROR_SUCCESS;
}

// Strings come with their terminating NUL, which the byte count includes.
DWORD Encode(const std::wstring& text, std::vector<BYTE>& data)
{
    const BYTE* bytes = reinterpret_cast<const BYTE*>(text.c_str());
    data.assign(bytes, bytes + (text.size() + 1) * sizeof(wchar_t));
    return ERROR_SUCCESS;
}
} // namespace

DWORD EncodeSessionInfo(const SCRIPTED_SESSION& session, WTS_INFO_CLASS infoClass, std::vector<BYTE>& data)
{
    switch (infoClass)
    {
    case WTSSessionId:
        return Encode(static_cast<ULONG>(session.SessionId), data);
    case WTSUserName:
        return Encode(session.UserName, data);
    case WTSWinStationName:
        return Encode(session.WinStationName, data);
    case WTSDomainName:
        return Encode(session.DomainName, data);
    case WTSConnectState:
        return Encode(session.State, data);
    case WTSClientProtocolType:
        return Encode(session.Protocol, data);
    // A session without a remote client: these are empty or zero.
    case WTSInitialProgram:
    case WTSApplicationName:
    case WTSWorkingDirectory:
    case WTSClientName:
    case WTSClientDirectory:
        return Encode(std::wstring(), data);
    case WTSClientBuildNumber:
    case WTSClientHardwareId:
        return Encode(ULONG{0}, data);
    case WTSClientProductId:
        return Encode(USHORT{0}, data);
    default:
        // Classes Windows has but the stand-in does not emulate say so
        // plainly; values outside the enumeration are a caller's mistake.
        return static_cast<DWORD>(infoClass) <= LastInfoClass ? ERROR_NOT_SUPPORTED : ERROR_INVALID_PARAMETER;
    }
}

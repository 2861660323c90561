#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

// Scripts the wtsapi32.dll and iphlpapi.dll stand-ins from a test running
// under Wine. The stand-ins read the script at every call, in whatever process
// loaded them. Each function throws std::runtime_error when the registry
// refuses a write.

// A session for WTSEnumerateSessionsW, WTSQuerySessionInformationW and
// WTSQueryUserToken.
struct STANDIN_SESSION
{
    DWORD SessionId = 0;
    DWORD State = 0;    // WTS_CONNECTSTATE_CLASS, WTSActive by default
    DWORD Protocol = 0; // client protocol type: 0 console, 1 ICA, 2 RDP
    std::wstring WinStationName;
    std::wstring UserName;
    std::wstring DomainName;
    std::optional<DWORD> QueryError;      // every query of the session fails with it...
    std::optional<DWORD> QueryErrorClass; // ...or only the query of this WTS_INFO_CLASS
    std::optional<DWORD> TokenError;      // WTSQueryUserToken fails with it
};

// An adapter for GetAdaptersAddresses; adapters are listed in ascending Number.
struct STANDIN_ADAPTER
{
    DWORD Number = 0;         // also gives the interface index, Number + 1
    std::wstring AdapterName; // empty: a GUID-like name from the number
    std::wstring Description;
    std::wstring FriendlyName;
    DWORD IfType = 6;                    // 6 Ethernet, 71 IEEE 802.11, 24 loopback, 131 tunnel
    DWORD OperStatus = 1;                // 1 up, 2 down
    std::vector<std::wstring> Addresses; // "192.168.1.10", "fe80::1", "10.0.0.5/8"
};

// Adds the session, or replaces the one with its id. The first session also
// switches the stand-in from Wine's answers to the script.
void ScriptSession(const STANDIN_SESSION& session);
void RemoveScriptedSession(DWORD sessionId);
// A script without any session: enumeration lists none, queries find none.
void ScriptNoSessions();
// WTSEnumerateSessionsW fails with this error; zero or nothing ends that.
void ScriptEnumerateError(std::optional<DWORD> error);

// Adds the adapter, or replaces the one with its number. The first adapter
// also switches the stand-in from Wine's answers to the script.
void ScriptAdapter(const STANDIN_ADAPTER& adapter);
void RemoveScriptedAdapter(DWORD number);
// A script without any adapter: GetAdaptersAddresses returns ERROR_NO_DATA.
void ScriptNoAdapters();
// GetAdaptersAddresses returns this error; zero or nothing ends that.
void ScriptAdaptersError(std::optional<DWORD> error);

// Completes every pending NotifyAddrChange in every process.
void FireAddressChange();

// Deletes the whole script: both stand-ins answer as Wine does again.
void ClearStandinScripts();

// Clears the script when constructed and again when the scope ends.
class CStandinScript
{
public:
    CStandinScript() { ClearStandinScripts(); }
    ~CStandinScript() { ClearStandinScripts(); }
    CStandinScript(const CStandinScript&) = delete;
    CStandinScript& operator=(const CStandinScript&) = delete;
};

// The stand-ins for wtsapi32.dll and iphlpapi.dll, loaded in place of Wine's
// (WINEDLLOVERRIDES=wtsapi32,iphlpapi=n,b), answer as Windows documents.
#include "common/UniqueResource.h"
#include "standins/StandinControl.h"
#include "standins/shared/NetworkHeaders.h"

#include <windows.h>

#include <chrono>
#include <future>
#include <gtest/gtest.h>
#include <iphlpapi.h>
#include <memory>
#include <string>
#include <vector>
#include <wtsapi32.h>

// The program's import table entries, which MinGW's import libraries name.
extern "C" void* __imp_WTSEnumerateSessionsW;
extern "C" void* __imp_GetAdaptersAddresses;

namespace
{
struct WTS_FREE
{
    void operator()(void* memory) const { WTSFreeMemory(memory); }
};
template <typename T> using CWtsBuffer = std::unique_ptr<T, WTS_FREE>;

inline void CloseHandleRelease(HANDLE handle) { CloseHandle(handle); }
using COwnedHandle = CUniqueResource<HANDLE, CloseHandleRelease>;

STANDIN_SESSION Session(DWORD sessionId, WTS_CONNECTSTATE_CLASS state, DWORD protocol, const wchar_t* winStationName,
                        const wchar_t* userName = L"", const wchar_t* domainName = L"")
{
    STANDIN_SESSION session;
    session.SessionId = sessionId;
    session.State = state;
    session.Protocol = protocol;
    session.WinStationName = winStationName;
    session.UserName = userName;
    session.DomainName = domainName;
    return session;
}

STANDIN_ADAPTER Adapter(DWORD number, const wchar_t* name, const wchar_t* description, const wchar_t* friendlyName,
                        DWORD ifType, DWORD operStatus, std::vector<std::wstring> addresses)
{
    STANDIN_ADAPTER adapter;
    adapter.Number = number;
    adapter.AdapterName = name;
    adapter.Description = description;
    adapter.FriendlyName = friendlyName;
    adapter.IfType = ifType;
    adapter.OperStatus = operStatus;
    adapter.Addresses = std::move(addresses);
    return adapter;
}

std::wstring ExeFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder = path;
    return folder.substr(0, folder.rfind(L'\\'));
}

// Each test starts and ends without a script.
class StandinTest : public ::testing::Test
{
protected:
    CStandinScript m_Script;
};
class WtsApi32StandinTest : public StandinTest
{
};
class IpHelperStandinTest : public StandinTest
{
};

// --- wtsapi32 -------------------------------------------------------------------

struct ENUMERATED
{
    DWORD SessionId;
    std::wstring WinStationName;
    WTS_CONNECTSTATE_CLASS State;
    bool operator==(const ENUMERATED& other) const
    {
        return SessionId == other.SessionId && WinStationName == other.WinStationName && State == other.State;
    }
};

void PrintTo(const ENUMERATED& session, std::ostream* out)
{
    *out << session.SessionId << " '" << std::string(session.WinStationName.begin(), session.WinStationName.end())
         << "' state " << session.State;
}

std::vector<ENUMERATED> EnumerateSessions()
{
    PWTS_SESSION_INFOW info = nullptr;
    DWORD count = 0;
    EXPECT_TRUE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) << GetLastError();
    CWtsBuffer<WTS_SESSION_INFOW> buffer(info);
    std::vector<ENUMERATED> sessions;
    for (DWORD i = 0; i < count; ++i)
        sessions.push_back({info[i].SessionId, info[i].pWinStationName, info[i].State});
    return sessions;
}

// The error of a query, or ERROR_SUCCESS with the returned bytes.
DWORD QuerySession(DWORD sessionId, WTS_INFO_CLASS infoClass, std::vector<BYTE>& data,
                   HANDLE server = WTS_CURRENT_SERVER_HANDLE)
{
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!WTSQuerySessionInformationW(server, sessionId, infoClass, &buffer, &bytes))
        return GetLastError();
    CWtsBuffer<WCHAR> owner(buffer);
    data.assign(reinterpret_cast<BYTE*>(buffer), reinterpret_cast<BYTE*>(buffer) + bytes);
    return ERROR_SUCCESS;
}

std::vector<BYTE> Bytes(const std::wstring& text)
{
    const BYTE* data = reinterpret_cast<const BYTE*>(text.c_str());
    return std::vector<BYTE>(data, data + (text.size() + 1) * sizeof(wchar_t));
}

template <typename T> std::vector<BYTE> Bytes(T value)
{
    const BYTE* data = reinterpret_cast<const BYTE*>(&value);
    return std::vector<BYTE>(data, data + sizeof(T));
}

TEST_F(WtsApi32StandinTest, WithoutSessionsScriptedWineAnswers)
{
    EXPECT_TRUE(EnumerateSessions().empty());
    HANDLE token = nullptr;
    ASSERT_TRUE(WTSQueryUserToken(1, &token)) << GetLastError();
    CloseHandle(token);
}

TEST_F(WtsApi32StandinTest, EnumeratesScriptedSessionsInAscendingOrder)
{
    ScriptSession(Session(65536, WTSListen, 2, L"RDP-Tcp"));
    ScriptSession(Session(2, WTSDisconnected, 2, L"RDP-Tcp#3", L"bob"));
    ScriptSession(Session(0, WTSDisconnected, 0, L"Services"));
    ScriptSession(Session(10, WTSActive, 0, L"Console", L"alice", L"CORP"));

    EXPECT_EQ(EnumerateSessions(), (std::vector<ENUMERATED>{{0, L"Services", WTSDisconnected},
                                                            {2, L"RDP-Tcp#3", WTSDisconnected},
                                                            {10, L"Console", WTSActive},
                                                            {65536, L"RDP-Tcp", WTSListen}}));
    RemoveScriptedSession(2);
    EXPECT_EQ(EnumerateSessions().size(), 3u);
    ScriptNoSessions();
    EXPECT_TRUE(EnumerateSessions().empty());
}

TEST_F(WtsApi32StandinTest, EnumerationFailsWithTheScriptedError)
{
    ScriptSession(Session(1, WTSActive, 0, L"Console", L"alice"));
    for (DWORD error : {ERROR_APP_WRONG_OS, RPC_S_INVALID_BINDING, ERROR_ACCESS_DENIED})
    {
        ScriptEnumerateError(error);
        PWTS_SESSION_INFOW info = nullptr;
        DWORD count = 0;
        EXPECT_FALSE(WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count));
        EXPECT_EQ(GetLastError(), error);
    }
    ScriptEnumerateError(std::nullopt);
    EXPECT_EQ(EnumerateSessions().size(), 1u);
}

TEST_F(WtsApi32StandinTest, RejectsOtherServersAndBadArguments)
{
    ScriptSession(Session(1, WTSActive, 0, L"Console", L"alice"));
    struct CASE
    {
        HANDLE Server;
        DWORD Reserved;
        DWORD Version;
        DWORD Error;
    };
    for (const CASE& c : {CASE{reinterpret_cast<HANDLE>(0x1234), 0, 1, ERROR_INVALID_HANDLE},
                          CASE{WTS_CURRENT_SERVER_HANDLE, 1, 1, ERROR_INVALID_PARAMETER},
                          CASE{WTS_CURRENT_SERVER_HANDLE, 0, 2, ERROR_INVALID_PARAMETER}})
    {
        PWTS_SESSION_INFOW info = nullptr;
        DWORD count = 0;
        EXPECT_FALSE(WTSEnumerateSessionsW(c.Server, c.Reserved, c.Version, &info, &count));
        EXPECT_EQ(GetLastError(), c.Error);
    }
    std::vector<BYTE> data;
    EXPECT_EQ(QuerySession(1, WTSUserName, data, reinterpret_cast<HANDLE>(0x1234)), DWORD{ERROR_INVALID_HANDLE});
}

TEST_F(WtsApi32StandinTest, AnswersEachInfoClassInItsDocumentedForm)
{
    ScriptSession(Session(3, WTSDisconnected, 2, L"RDP-Tcp#1", L"alice", L"CORP"));
    struct CASE
    {
        WTS_INFO_CLASS InfoClass;
        std::vector<BYTE> Data;
    };
    for (const CASE& c :
         {CASE{WTSSessionId, Bytes(ULONG{3})}, CASE{WTSUserName, Bytes(std::wstring(L"alice"))},
          CASE{WTSWinStationName, Bytes(std::wstring(L"RDP-Tcp#1"))}, CASE{WTSDomainName, Bytes(std::wstring(L"CORP"))},
          CASE{WTSConnectState, Bytes(DWORD{WTSDisconnected})},
          CASE{WTSClientProtocolType, Bytes(USHORT{WTS_PROTOCOL_TYPE_RDP})},
          CASE{WTSClientName, Bytes(std::wstring())}})
    {
        std::vector<BYTE> data;
        EXPECT_EQ(QuerySession(3, c.InfoClass, data), DWORD{ERROR_SUCCESS}) << c.InfoClass;
        EXPECT_EQ(data, c.Data) << c.InfoClass;
    }
    std::vector<BYTE> data;
    EXPECT_EQ(QuerySession(3, WTSClientAddress, data), DWORD{ERROR_NOT_SUPPORTED});
    EXPECT_EQ(QuerySession(3, static_cast<WTS_INFO_CLASS>(99), data), DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(QuerySession(77, WTSUserName, data), DWORD{ERROR_FILE_NOT_FOUND});
}

TEST_F(WtsApi32StandinTest, CurrentSessionIsTheCallersSession)
{
    DWORD current = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &current));
    ScriptSession(Session(current, WTSActive, 0, L"Console", L"alice"));
    std::vector<BYTE> data;
    ASSERT_EQ(QuerySession(WTS_CURRENT_SESSION, WTSSessionId, data), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(data, Bytes(ULONG{current}));
}

TEST_F(WtsApi32StandinTest, ScriptedQueryErrorsFailTheirQueries)
{
    STANDIN_SESSION everything = Session(4, WTSActive, 0, L"Console", L"alice");
    everything.QueryError = ERROR_ACCESS_DENIED;
    STANDIN_SESSION oneClass = Session(5, WTSActive, 0, L"Console", L"bob");
    oneClass.QueryError = RPC_S_INVALID_BINDING;
    oneClass.QueryErrorClass = WTSConnectState;
    ScriptSession(everything);
    ScriptSession(oneClass);

    std::vector<BYTE> data;
    EXPECT_EQ(QuerySession(4, WTSUserName, data), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(QuerySession(4, WTSConnectState, data), DWORD{ERROR_ACCESS_DENIED});
    EXPECT_EQ(QuerySession(5, WTSConnectState, data), DWORD{RPC_S_INVALID_BINDING});
    EXPECT_EQ(QuerySession(5, WTSUserName, data), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(data, Bytes(std::wstring(L"bob")));
}

TEST_F(WtsApi32StandinTest, UserTokenOnlyForALoggedOnUser)
{
    STANDIN_SESSION refused = Session(6, WTSActive, 0, L"Console", L"frank");
    refused.TokenError = ERROR_ACCESS_DENIED;
    ScriptSession(Session(1, WTSActive, 0, L"Console", L"alice"));
    ScriptSession(Session(2, WTSDisconnected, 2, L"RDP-Tcp#1", L"bob"));
    ScriptSession(Session(3, WTSConnected, 2, L"RDP-Tcp#2", L"carol"));
    ScriptSession(Session(4, WTSActive, 0, L"Console"));
    ScriptSession(Session(5, WTSListen, 2, L"RDP-Tcp"));
    ScriptSession(refused);
    struct CASE
    {
        ULONG SessionId;
        DWORD Error;
    };
    for (const CASE& c :
         {CASE{1, ERROR_SUCCESS}, CASE{2, ERROR_SUCCESS}, CASE{3, ERROR_NO_TOKEN}, CASE{4, ERROR_NO_TOKEN},
          CASE{5, ERROR_NO_TOKEN}, CASE{6, ERROR_ACCESS_DENIED}, CASE{77, ERROR_FILE_NOT_FOUND}})
    {
        HANDLE token = nullptr;
        BOOL ok = WTSQueryUserToken(c.SessionId, &token);
        EXPECT_EQ(ok ? ERROR_SUCCESS : GetLastError(), c.Error) << "session " << c.SessionId;
        if (!ok)
            continue;
        COwnedHandle owner(token);
        TOKEN_TYPE type = TokenImpersonation;
        DWORD size = 0;
        ASSERT_TRUE(GetTokenInformation(token, TokenType, &type, sizeof(type), &size));
        EXPECT_EQ(type, TokenPrimary);
    }
    EXPECT_FALSE(WTSQueryUserToken(1, nullptr));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_PARAMETER});
}

TEST_F(WtsApi32StandinTest, NoTokenVariantLacksWTSQueryUserToken)
{
    // By its full path: a module named wtsapi32.dll is already loaded.
    CModule variant(LoadLibraryExW((ExeFolder() + L"\\standins\\notoken\\wtsapi32.dll").c_str(), nullptr, 0));
    ASSERT_TRUE(variant) << GetLastError();
    EXPECT_EQ(GetProcAddress(variant.Get(), "WTSQueryUserToken"), nullptr);

    auto enumerate = reinterpret_cast<decltype(&WTSEnumerateSessionsW)>(
        reinterpret_cast<void*>(GetProcAddress(variant.Get(), "WTSEnumerateSessionsW")));
    auto free = reinterpret_cast<decltype(&WTSFreeMemory)>(
        reinterpret_cast<void*>(GetProcAddress(variant.Get(), "WTSFreeMemory")));
    ASSERT_TRUE(enumerate && free);
    ScriptSession(Session(1, WTSActive, 0, L"Console", L"alice"));
    PWTS_SESSION_INFOW info = nullptr;
    DWORD count = 0;
    ASSERT_TRUE(enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count));
    EXPECT_EQ(count, 1u);
    free(info);
}

// --- iphlpapi -------------------------------------------------------------------

std::wstring AddressText(const SOCKET_ADDRESS& address)
{
    wchar_t text[64] = {};
    if (address.lpSockaddr->sa_family == AF_INET)
    {
        RtlIpv4AddressToStringW(&reinterpret_cast<SOCKADDR_IN*>(address.lpSockaddr)->sin_addr, text);
        return text;
    }
    auto* ipv6 = reinterpret_cast<SOCKADDR_IN6*>(address.lpSockaddr);
    RtlIpv6AddressToStringW(&ipv6->sin6_addr, text);
    return ipv6->sin6_scope_id ? text + (L"%" + std::to_wstring(ipv6->sin6_scope_id)) : text;
}

// What a test checks of one adapter; addresses as "text/prefix length".
struct LISTED
{
    std::string AdapterName;
    std::wstring FriendlyName;
    IF_INDEX IfIndex;
    IF_INDEX Ipv6IfIndex;
    IFTYPE IfType;
    IF_OPER_STATUS OperStatus;
    std::vector<std::wstring> Addresses;
    bool operator==(const LISTED& other) const
    {
        return AdapterName == other.AdapterName && FriendlyName == other.FriendlyName && IfIndex == other.IfIndex &&
               Ipv6IfIndex == other.Ipv6IfIndex && IfType == other.IfType && OperStatus == other.OperStatus &&
               Addresses == other.Addresses;
    }
};

void PrintTo(const LISTED& adapter, std::ostream* out)
{
    *out << adapter.AdapterName << " if " << adapter.IfIndex << "/" << adapter.Ipv6IfIndex << " type " << adapter.IfType
         << " oper " << adapter.OperStatus << " [";
    for (const std::wstring& address : adapter.Addresses)
        *out << std::string(address.begin(), address.end()) << " ";
    *out << "]";
}

class CAdapterList
{
public:
    // ERROR_SUCCESS, or the error of the call after the size negotiation.
    ULONG Get(ULONG family, ULONG flags = 0)
    {
        ULONG size = 0;
        ULONG result = GetAdaptersAddresses(family, flags, nullptr, nullptr, &size);
        if (result != ERROR_BUFFER_OVERFLOW)
            return result;
        m_Buffer.assign(size, 0xCC);
        return GetAdaptersAddresses(family, flags, nullptr, First(), &size);
    }

    IP_ADAPTER_ADDRESSES* First() { return reinterpret_cast<IP_ADAPTER_ADDRESSES*>(m_Buffer.data()); }

    bool Inside(const void* pointer, size_t size) const
    {
        auto* bytes = static_cast<const BYTE*>(pointer);
        return bytes >= m_Buffer.data() && bytes + size <= m_Buffer.data() + m_Buffer.size();
    }

    // The list as a test compares it, checking on the way that every
    // structure lies inside the buffer.
    std::vector<LISTED> Listed()
    {
        std::vector<LISTED> listed;
        for (IP_ADAPTER_ADDRESSES* a = First(); a; a = a->Next)
        {
            EXPECT_TRUE(Inside(a, sizeof(*a)));
            EXPECT_EQ(a->Length, sizeof(*a));
            EXPECT_TRUE(Inside(a->AdapterName, strlen(a->AdapterName) + 1));
            EXPECT_TRUE(Inside(a->FriendlyName, (wcslen(a->FriendlyName) + 1) * sizeof(wchar_t)));
            EXPECT_TRUE(Inside(a->Description, (wcslen(a->Description) + 1) * sizeof(wchar_t)));
            EXPECT_TRUE(Inside(a->DnsSuffix, sizeof(wchar_t)));
            listed.push_back({a->AdapterName, a->FriendlyName, a->IfIndex, a->Ipv6IfIndex, a->IfType, a->OperStatus,
                              UnicastAddresses(*a)});
        }
        return listed;
    }

private:
    std::vector<std::wstring> UnicastAddresses(const IP_ADAPTER_ADDRESSES& adapter)
    {
        std::vector<std::wstring> addresses;
        for (IP_ADAPTER_UNICAST_ADDRESS* u = adapter.FirstUnicastAddress; u; u = u->Next)
        {
            EXPECT_TRUE(Inside(u, sizeof(*u)));
            EXPECT_TRUE(Inside(u->Address.lpSockaddr, u->Address.iSockaddrLength));
            EXPECT_EQ(static_cast<size_t>(u->Address.iSockaddrLength),
                      u->Address.lpSockaddr->sa_family == AF_INET ? sizeof(SOCKADDR_IN) : sizeof(SOCKADDR_IN6));
            EXPECT_EQ(u->DadState, IpDadStatePreferred);
            addresses.push_back(AddressText(u->Address) + L"/" + std::to_wstring(u->OnLinkPrefixLength));
        }
        return addresses;
    }

    std::vector<BYTE> m_Buffer;
};

// Loopback, Ethernet, an IPv6-only tunnel and a Wi-Fi adapter that is down.
void ScriptFourAdapters()
{
    ScriptAdapter(
        Adapter(0, L"{LOOPBACK}", L"Software Loopback Interface 1", L"Loopback", 24, 1, {L"127.0.0.1", L"::1"}));
    ScriptAdapter(Adapter(1, L"{ETHERNET}", L"Intel(R) Ethernet", L"Ethernet", 6, 1, {L"192.168.1.10", L"fe80::1"}));
    ScriptAdapter(Adapter(5, L"{WIFI}", L"Wireless", L"Wi-Fi", 71, 2, {}));
    ScriptAdapter(Adapter(3, L"{TUNNEL}", L"Teredo", L"Teredo Tunneling", 131, 1, {L"2001:db8::5/32"}));
}

// The module whose function the program's import table holds.
HMODULE ModuleOfImport(void* function)
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(function), &module);
    return module;
}

TEST_F(StandinTest, StandinsStayTheDllsOfTheirNames)
{
    HMODULE wtsapi32 = ModuleOfImport(__imp_WTSEnumerateSessionsW);
    HMODULE iphlpapi = ModuleOfImport(__imp_GetAdaptersAddresses);
    // Wine's own DLLs export these; the stand-ins do not.
    EXPECT_EQ(GetProcAddress(wtsapi32, "WTSOpenServerW"), nullptr);
    EXPECT_EQ(GetProcAddress(iphlpapi, "GetIcmpStatistics"), nullptr);

    // Answering unscripted calls loads Wine's DLLs beside the stand-ins; a
    // load by name, as the program does for WTSQueryUserToken, still finds
    // the stand-ins.
    EXPECT_TRUE(EnumerateSessions().empty());
    EXPECT_EQ(CAdapterList().Get(AF_INET), ULONG{ERROR_SUCCESS});
    CModule byName(LoadLibraryW(L"WtsApi32.dll"));
    EXPECT_EQ(byName.Get(), wtsapi32);
    EXPECT_EQ(GetModuleHandleW(L"iphlpapi.dll"), iphlpapi);
}

TEST_F(IpHelperStandinTest, WithoutAdaptersScriptedWineAnswers)
{
    CAdapterList list;
    ASSERT_EQ(list.Get(AF_INET), ULONG{ERROR_SUCCESS});
    bool loopback = false;
    for (const LISTED& adapter : list.Listed())
        loopback |= adapter.IfType == IF_TYPE_SOFTWARE_LOOPBACK;
    EXPECT_TRUE(loopback);

    // What Wine's own DLLs import from iphlpapi reaches Wine's functions.
    ULONG size = 0;
    ASSERT_EQ(GetIpAddrTable(nullptr, &size, FALSE), DWORD{ERROR_INSUFFICIENT_BUFFER});
    std::vector<BYTE> table(size);
    ASSERT_EQ(GetIpAddrTable(reinterpret_cast<MIB_IPADDRTABLE*>(table.data()), &size, FALSE), DWORD{NO_ERROR});
    EXPECT_GT(reinterpret_cast<MIB_IPADDRTABLE*>(table.data())->dwNumEntries, 0u);
    HMODULE standin = GetModuleHandleW(L"iphlpapi.dll");
    for (const char* name : {"GetIfEntry", "GetAdaptersInfo", "GetBestRoute", "GetIpForwardTable",
                             "ConvertInterfaceLuidToGuid", "ConvertInterfaceNameToLuidW", "GetBestInterface"})
        EXPECT_NE(GetProcAddress(standin, name), nullptr) << name;
}

TEST_F(IpHelperStandinTest, ListsScriptedAdaptersInOrderInsideTheCallersBuffer)
{
    ScriptFourAdapters();
    CAdapterList list;
    ASSERT_EQ(list.Get(AF_UNSPEC), ULONG{ERROR_SUCCESS});
    EXPECT_EQ(list.Listed(),
              (std::vector<LISTED>{
                  {"{LOOPBACK}", L"Loopback", 1, 1, 24, IfOperStatusUp, {L"127.0.0.1/8", L"::1/128"}},
                  {"{ETHERNET}", L"Ethernet", 2, 2, 6, IfOperStatusUp, {L"192.168.1.10/24", L"fe80::1%2/64"}},
                  {"{TUNNEL}", L"Teredo Tunneling", 0, 4, 131, IfOperStatusUp, {L"2001:db8::5/32"}},
                  {"{WIFI}", L"Wi-Fi", 6, 6, 71, IfOperStatusDown, {}}}));
    EXPECT_STREQ(list.First()->Next->Description, L"Intel(R) Ethernet");
}

TEST_F(IpHelperStandinTest, NegotiatesTheBufferSize)
{
    ScriptFourAdapters();
    ULONG required = 0;
    ASSERT_EQ(GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, nullptr, &required), ULONG{ERROR_BUFFER_OVERFLOW});
    ASSERT_GT(required, 4 * sizeof(IP_ADAPTER_ADDRESSES));
    std::vector<BYTE> buffer(required + 64);
    auto* first = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data());
    struct CASE
    {
        ULONG Size;
        ULONG Result;
    };
    for (const CASE& c :
         {CASE{1, ERROR_BUFFER_OVERFLOW}, CASE{sizeof(IP_ADAPTER_ADDRESSES), ERROR_BUFFER_OVERFLOW},
          CASE{required - 1, ERROR_BUFFER_OVERFLOW}, CASE{required, ERROR_SUCCESS}, CASE{required + 64, ERROR_SUCCESS}})
    {
        ULONG size = c.Size;
        EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, first, &size), c.Result) << c.Size;
        EXPECT_EQ(size, c.Result == ERROR_BUFFER_OVERFLOW ? required : c.Size) << c.Size;
    }
    EXPECT_EQ(GetAdaptersAddresses(AF_UNSPEC, 0, nullptr, first, nullptr), ULONG{ERROR_INVALID_PARAMETER});
}

TEST_F(IpHelperStandinTest, FiltersAddressesAndAdaptersByFamily)
{
    ScriptFourAdapters();
    struct CASE
    {
        ULONG Family;
        std::vector<std::vector<std::wstring>> Addresses; // per listed adapter
    };
    for (const CASE& c :
         {CASE{AF_UNSPEC,
               {{L"127.0.0.1/8", L"::1/128"}, {L"192.168.1.10/24", L"fe80::1%2/64"}, {L"2001:db8::5/32"}, {}}},
          CASE{AF_INET, {{L"127.0.0.1/8"}, {L"192.168.1.10/24"}, {}}},
          CASE{AF_INET6, {{L"::1/128"}, {L"fe80::1%2/64"}, {L"2001:db8::5/32"}, {}}}})
    {
        CAdapterList list;
        ASSERT_EQ(list.Get(c.Family), ULONG{ERROR_SUCCESS});
        std::vector<std::vector<std::wstring>> addresses;
        for (const LISTED& adapter : list.Listed())
            addresses.push_back(adapter.Addresses);
        EXPECT_EQ(addresses, c.Addresses) << "family " << c.Family;
    }

    ScriptNoAdapters();
    ScriptAdapter(Adapter(0, L"{ETHERNET}", L"Ethernet", L"Ethernet", 6, 1, {L"10.0.0.5/8"}));
    CAdapterList list;
    EXPECT_EQ(list.Get(AF_INET6), ULONG{ERROR_NO_DATA});
    EXPECT_EQ(list.Get(AF_INET), ULONG{ERROR_SUCCESS});
    EXPECT_EQ(list.Get(99), ULONG{ERROR_INVALID_PARAMETER});
    ScriptNoAdapters();
    EXPECT_EQ(list.Get(AF_UNSPEC), ULONG{ERROR_NO_DATA});
}

TEST_F(IpHelperStandinTest, HonoursTheFlagsThatShapeTheList)
{
    ScriptAdapter(Adapter(0, L"{ETHERNET}", L"Ethernet", L"Ethernet", 6, 1,
                          {L"192.168.1.10/24", L"192.168.1.11/24", L"2001:db8:1::7"}));
    CAdapterList list;
    ASSERT_EQ(list.Get(AF_UNSPEC, GAA_FLAG_SKIP_UNICAST | GAA_FLAG_SKIP_FRIENDLY_NAME), ULONG{ERROR_SUCCESS});
    EXPECT_EQ(list.First()->FirstUnicastAddress, nullptr);
    EXPECT_STREQ(list.First()->FriendlyName, L"");
    EXPECT_EQ(list.First()->FirstPrefix, nullptr);

    ASSERT_EQ(list.Get(AF_UNSPEC, GAA_FLAG_INCLUDE_PREFIX), ULONG{ERROR_SUCCESS});
    std::vector<std::wstring> prefixes;
    for (IP_ADAPTER_PREFIX* p = list.First()->FirstPrefix; p; p = p->Next)
    {
        EXPECT_TRUE(list.Inside(p, sizeof(*p)) && list.Inside(p->Address.lpSockaddr, p->Address.iSockaddrLength));
        prefixes.push_back(AddressText(p->Address) + L"/" + std::to_wstring(p->PrefixLength));
    }
    EXPECT_EQ(prefixes, (std::vector<std::wstring>{L"192.168.1.0/24", L"2001:db8:1::/64"}));
}

TEST_F(IpHelperStandinTest, ReturnsScriptedAndScriptErrors)
{
    ScriptFourAdapters();
    CAdapterList list;
    ScriptAdaptersError(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(list.Get(AF_UNSPEC), ULONG{ERROR_NOT_ENOUGH_MEMORY});
    ScriptAdaptersError(std::nullopt);
    EXPECT_EQ(list.Get(AF_UNSPEC), ULONG{ERROR_SUCCESS});
    // A script's typo fails loudly instead of dropping an address.
    ScriptAdapter(Adapter(1, L"{ETHERNET}", L"Ethernet", L"Ethernet", 6, 1, {L"192.168.1.300"}));
    EXPECT_EQ(list.Get(AF_UNSPEC), ULONG{ERROR_INVALID_DATA});
}

// Writes "Change" from another process, as the end-to-end tests do.
void FireAddressChangeWithReg(DWORD value)
{
    std::wstring command = L"reg.exe add \"HKLM\\SOFTWARE\\Kestrin Test\\IPHelper\" /v Change /t REG_DWORD /d " +
                           std::to_wstring(value) + L" /f";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                               &startup, &process));
    COwnedHandle processHandle(process.hProcess);
    COwnedHandle threadHandle(process.hThread);
    EXPECT_EQ(WaitForSingleObject(process.hProcess, 30000), WAIT_OBJECT_0);
}

TEST_F(IpHelperStandinTest, NotifyAddrChangeCompletesWhenChangeIsWritten)
{
    COwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    for (bool fromAnotherProcess : {false, true})
    {
        OVERLAPPED overlapped{};
        overlapped.hEvent = event.Get();
        HANDLE handle = nullptr;
        ASSERT_EQ(NotifyAddrChange(&handle, &overlapped), DWORD{ERROR_IO_PENDING});
        DWORD bytes = 0;
        EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &bytes, FALSE));
        EXPECT_EQ(GetLastError(), DWORD{ERROR_IO_INCOMPLETE});
        EXPECT_EQ(NotifyAddrChange(&handle, &overlapped), DWORD{ERROR_INVALID_PARAMETER}); // a duplicate request

        // Scripting adapters is not an address change; writing "Change" is.
        ScriptAdapter(Adapter(0, L"{ETHERNET}", L"Ethernet", L"Ethernet", 6, 1, {L"10.0.0.5"}));
        EXPECT_EQ(WaitForSingleObject(event.Get(), 300), DWORD{WAIT_TIMEOUT});
        if (fromAnotherProcess)
            FireAddressChangeWithReg(GetTickCount());
        else
            FireAddressChange();
        ASSERT_EQ(WaitForSingleObject(event.Get(), 10000), WAIT_OBJECT_0);
        EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, FALSE)) << GetLastError();
    }
}

TEST_F(IpHelperStandinTest, NotifyAddrChangeWithoutAnEventSignalsItsHandle)
{
    OVERLAPPED overlapped{};
    HANDLE handle = nullptr;
    ASSERT_EQ(NotifyAddrChange(&handle, &overlapped), DWORD{ERROR_IO_PENDING});
    FireAddressChange();
    DWORD bytes = 0;
    EXPECT_EQ(WaitForSingleObject(handle, 10000), WAIT_OBJECT_0);
    EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &bytes, TRUE)) << GetLastError();
}

TEST_F(IpHelperStandinTest, SynchronousNotifyAddrChangeBlocksUntilAChange)
{
    auto waiting = std::async(std::launch::async, [] { return NotifyAddrChange(nullptr, nullptr); });
    EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(300)), std::future_status::timeout);
    FireAddressChange();
    bool completed = waiting.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!completed)
        FireAddressChange(); // never leave the thread blocked behind the test
    ASSERT_TRUE(completed);
    EXPECT_EQ(waiting.get(), DWORD{NO_ERROR});
}

TEST_F(IpHelperStandinTest, CancelIPChangeNotifyCompletesTheRequestAsAborted)
{
    COwnedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED overlapped{};
    overlapped.hEvent = event.Get();
    HANDLE handle = nullptr;
    ASSERT_EQ(NotifyAddrChange(&handle, &overlapped), DWORD{ERROR_IO_PENDING});
    EXPECT_TRUE(CancelIPChangeNotify(&overlapped));
    EXPECT_EQ(WaitForSingleObject(event.Get(), 0), WAIT_OBJECT_0);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(handle, &overlapped, &bytes, FALSE));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_FALSE(CancelIPChangeNotify(&overlapped));
    EXPECT_EQ(NotifyAddrChange(&handle, nullptr), DWORD{ERROR_INVALID_PARAMETER});
}
} // namespace

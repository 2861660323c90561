#include "query/NQRPServer.h"

#include "LogCapture.h"
#include "QueryBytes.h"
#include "platform/FileVersionInfo.h"
#include "query/SiblingAgent.h"
#include "reporting/Identity.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <ws2tcpip.h>

// The query server in this process on ports the system chooses, answering
// real UDP queries from a real identity object.

namespace
{
// Generous bounds for waiting on the server; never asserted as durations.
constexpr DWORD ReplyWaitMs = 10000;
// How long a datagram that must not be answered is given to show up anyway.
constexpr DWORD SilenceWaitMs = 300;

class CTestOwner final : public IQueryOwner
{
public:
    CTestOwner(CIdentity* identity, DWORD networkType, long failures = 0)
        : m_Identity(identity), m_NetworkType(networkType), m_Failures(failures)
    {
    }
    IDENTITY Snapshot() const override
    {
        IDENTITY identity;
        if (m_Identity)
            m_Identity->GetIdentity(identity);
        return identity;
    }
    const CAddressList& Addresses() const override
    {
        static const CAddressList None;
        return m_Identity ? m_Identity->IPAddresses() : None;
    }
    // The first failures calls run out of memory, as a handler may.
    DWORD EffectiveNetworkType() const override
    {
        if (m_Failures.fetch_sub(1) > 0)
            throw std::bad_alloc();
        return m_NetworkType;
    }

private:
    CIdentity* m_Identity;
    DWORD m_NetworkType;
    mutable std::atomic<long> m_Failures;
};

uint16_t LocalPort(SOCKET handle)
{
    SOCKADDR_STORAGE address{};
    int length = sizeof(address);
    getsockname(handle, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(address).sin6_port
                                               : reinterpret_cast<sockaddr_in&>(address).sin_port);
}

SOCKADDR_STORAGE Loopback(int family, uint16_t port)
{
    SOCKADDR_STORAGE address{};
    if (family == AF_INET)
    {
        auto& v4 = reinterpret_cast<sockaddr_in&>(address);
        v4.sin_family = AF_INET;
        v4.sin_port = htons(port);
        v4.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    else
    {
        auto& v6 = reinterpret_cast<sockaddr_in6&>(address);
        v6.sin6_family = AF_INET6;
        v6.sin6_port = htons(port);
        v6.sin6_addr = in6addr_loopback;
    }
    return address;
}

// A querier: one UDP socket on the loopback address of its family.
class CQueryClient
{
public:
    explicit CQueryClient(int family) : m_Family(family), m_Socket(::socket(family, SOCK_DGRAM, IPPROTO_UDP))
    {
        SOCKADDR_STORAGE local = Loopback(family, 0);
        bind(m_Socket, reinterpret_cast<sockaddr*>(&local), sizeof(local));
    }
    ~CQueryClient() { closesocket(m_Socket); }
    CQueryClient(const CQueryClient&) = delete;
    CQueryClient& operator=(const CQueryClient&) = delete;

    void Send(uint16_t port, const Bytes& datagram)
    {
        SOCKADDR_STORAGE server = Loopback(m_Family, port);
        sendto(m_Socket, reinterpret_cast<const char*>(datagram.data()), static_cast<int>(datagram.size()), 0,
               reinterpret_cast<sockaddr*>(&server), sizeof(server));
    }

    // The next datagram within the wait, and the port it came from; empty
    // when none came.
    Bytes Receive(DWORD waitMs, uint16_t* fromPort = nullptr)
    {
        DWORD timeout = waitMs;
        setsockopt(m_Socket, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        Bytes buffer(65536);
        SOCKADDR_STORAGE from{};
        int fromLength = sizeof(from);
        int received = recvfrom(m_Socket, reinterpret_cast<char*>(buffer.data()), static_cast<int>(buffer.size()), 0,
                                reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (received <= 0)
            return {};
        if (fromPort)
            *fromPort = ntohs(reinterpret_cast<sockaddr_in&>(from).sin_port);
        buffer.resize(static_cast<size_t>(received));
        return buffer;
    }

    Bytes Query(uint16_t port, const Bytes& datagram)
    {
        Send(port, datagram);
        return Receive(ReplyWaitMs);
    }

    SOCKET Handle() const { return m_Socket; }

private:
    int m_Family;
    SOCKET m_Socket;
};

Bytes Request(uint16_t function, uint32_t requestId) { return Cat({U16(function), U32(requestId), U16(0)}); }

Bytes NextGenRequest(uint32_t requestId, uint32_t mask) { return Cat({Request(0x0F10, requestId), U32(mask)}); }

uint32_t ReplyId(const Bytes& reply)
{
    return reply.size() < 6 ? 0 : reply[2] | reply[3] << 8 | reply[4] << 16 | static_cast<uint32_t>(reply[5]) << 24;
}

IDENTITY SomeIdentity()
{
    IDENTITY identity;
    identity.Agent = AgentVersionFrom(L"2.1.14.0");
    identity.Computer.Flags = COMPUTER_OS_VALID | COMPUTER_NAME_VALID;
    identity.Computer.OSMajor = 6;
    identity.Computer.OSMinor = 1;
    identity.Computer.OSBuild = 7601;
    identity.Computer.OSCode = 7;
    identity.Computer.Name = L"PC-7";
    identity.Computer.Domain = L"corp";
    identity.User.Flags = USER_NAME_VALID | USER_DN_VALID | USER_GROUPS_VALID;
    identity.User.Name = L"bob";
    identity.User.Domain = L"CORP";
    identity.User.OU = L"Sales";
    identity.User.Groups = {{L"Staff", L"CN=Staff,DC=corp"}};
    return identity;
}

// Enough groups that a NextGen reply with their names needs more than one
// datagram, but fits the reply buffer.
std::vector<USER_GROUP> ManyGroups(size_t count, size_t nameLength)
{
    std::vector<USER_GROUP> groups;
    for (size_t i = 0; i < count; ++i)
    {
        std::wstring name = std::to_wstring(i);
        name.resize(nameLength, L'g');
        groups.push_back({name, L"CN=" + name});
    }
    return groups;
}

std::wstring ProgramFolder()
{
    std::wstring path = ProgramFilePath();
    return path.substr(0, path.rfind(L'\\'));
}

std::wstring SystemFolder()
{
    wchar_t buffer[MAX_PATH] = {};
    GetSystemDirectoryW(buffer, MAX_PATH);
    std::wstring folder = buffer;
    while (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    return folder;
}

bool HasLine(const std::vector<std::string>& lines, const std::string& text)
{
    return std::find(lines.begin(), lines.end(), text) != lines.end();
}

bool StartsWith(const std::string& line, const std::string& prefix) { return line.rfind(prefix, 0) == 0; }

// A socket bound to a port the system chose on every address of the family.
SOCKET BindAny(int family, uint16_t port = 0)
{
    SOCKET handle = ::socket(family, SOCK_DGRAM, IPPROTO_UDP);
    SOCKADDR_STORAGE any{};
    any.ss_family = static_cast<ADDRESS_FAMILY>(family);
    reinterpret_cast<sockaddr_in&>(any).sin_port = htons(port);
    if (bind(handle, reinterpret_cast<sockaddr*>(&any), sizeof(any)) != 0)
    {
        closesocket(handle);
        return INVALID_SOCKET;
    }
    return handle;
}

// A started server with its identity and pool, answering on two ports the
// system chose.
class QueryServer : public ::testing::Test
{
protected:
    void SetUp() override { Identity.GetIdentity(Snapshot, nullptr, &Known.Computer, &Known.User); }

    void TearDown() override
    {
        if (Server)
            Server->PostQuitPackets();
        Server.reset();
        // Every record is back: none lost, none released twice.
        EXPECT_EQ(Pool.GetAllocatedCount() - Pool.FreedCount(), Pool.FreeCount());
    }

    void StartServer(DWORD networkType = 1, bool receive = true, long ownerFailures = 0)
    {
        Server = std::make_unique<CNQRPServer>(std::make_unique<CTestOwner>(&Identity, networkType, ownerFailures),
                                               &Pool, 0);
        ASSERT_TRUE(Server->Start());
        ASSERT_TRUE(Server->Socket6().IsValid());
        Port4 = LocalPort(Server->Socket4().Handle());
        Port6 = LocalPort(Server->Socket6().Handle());
        ASSERT_TRUE(Server->StartThreads());
        if (receive)
        {
            ASSERT_TRUE(Server->StartReceiving());
        }
    }

    void SetUser(const USER_IDENTITY& user)
    {
        IDENTITY ignored;
        Identity.GetIdentity(ignored, nullptr, nullptr, &user);
    }

    std::vector<std::string> LogLines() { return Log.Lines(); }

    // The number of log lines that match, once there are at least count of
    // them: a handler may still be writing its line when a later query has
    // been answered by the other worker.
    long WaitForLines(const std::function<bool(const std::string&)>& match, long count)
    {
        ULONGLONG deadline = GetTickCount64() + ReplyWaitMs;
        for (;;)
        {
            auto lines = LogLines();
            long found = static_cast<long>(std::count_if(lines.begin(), lines.end(), match));
            if (found >= count || GetTickCount64() >= deadline)
                return found;
            Sleep(10);
        }
    }

    // Records neither pooled nor freed: those of the outstanding receives and
    // of replies still being sent.
    long RecordsInUse()
    {
        return static_cast<long>(Pool.GetAllocatedCount()) - static_cast<long>(Pool.FreedCount()) -
               static_cast<long>(Pool.FreeCount());
    }

    long WaitForRecordsInUse(long count)
    {
        ULONGLONG deadline = GetTickCount64() + ReplyWaitMs;
        while (RecordsInUse() != count && GetTickCount64() < deadline)
            Sleep(10);
        return RecordsInUse();
    }

    long WaitForLines(const std::string& text, long count)
    {
        return WaitForLines([&](const std::string& line) { return line == text; }, count);
    }

    CLogCapture Log;
    IDENTITY Known = SomeIdentity();
    IDENTITY Snapshot;
    CIdentity Identity{nullptr};
    CIOBufferPool Pool{SystemPageSize()};
    std::unique_ptr<CNQRPServer> Server;
    uint16_t Port4 = 0;
    uint16_t Port6 = 0;
};
} // namespace

TEST_F(QueryServer, AnswersEachQueryByteExactlyOverIPv4AndIPv6)
{
    Identity.IPAddresses().Clear();
    AddIPv4(Identity.IPAddresses(), "10.20.30.40");
    StartServer();
    NQRP_HOST_INFO host{Server->Version(), ProgramFolder(), SystemFolder()};
    for (int family : {AF_INET, AF_INET6})
    {
        uint16_t port = family == AF_INET ? Port4 : Port6;
        CQueryClient client(family);
        Bytes nqrp = Cat({U16(0x0002), U32(0x11), U16(1), U16(30), U32(6), U32(1), U32(7601), U32(0), U32(0),
                          Wide(L"CORP\\PC-7"), Wide(host.AgentVersion), Wide(L""), Wide(host.ProgramDirectory),
                          Wide(host.SystemDirectory)});
        EXPECT_EQ(client.Query(port, Request(0x0000, 0x11)), nqrp) << family;

        Bytes logonUser = Cat({U16(0x0F02), U32(0x22), U16(0), U16(1), Wide(L"corp\\PC-7"), Wide(L"CORP\\bob"),
                               Wide(L"Sales"), Wide(L"staff"), U16(0)});
        EXPECT_EQ(client.Query(port, Request(0x0F00, 0x22)), logonUser) << family;

        Bytes nextGen = Cat({U16(0x0F12), U32(0x33), U16(0), U32(0x248), U8(1), U16(16), Bytes(16, 0), U16(1),
                             Bytes{4, 10, 20, 30, 40}, Narrow("corp\\PC-7"), Narrow("CORP\\bob"), U16(1), U8(0),
                             Narrow("CORP\\Staff")});
        EXPECT_EQ(client.Query(port, NextGenRequest(0x33, 0x248)), nextGen) << family;
    }
    auto lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CNQRPServer::OnReceiveFrom: NQRP Query; Bytes=8"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CNQRPServer::OnReceiveFrom: Logon User Query; Bytes=8"), 2);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "CNQRPServer:OnRecieveFrom: Logon User Query (NextGen); Bytes=12"),
              2);
}

TEST_F(QueryServer, LongerRequestsAreAcceptedAndTheRestIgnored)
{
    StartServer();
    CQueryClient client(AF_INET);
    Bytes reply = client.Query(Port4, Cat({Request(0x0F00, 0x44), Bytes(40, 0x5A)}));
    ASSERT_FALSE(reply.empty());
    EXPECT_EQ(ReplyId(reply), 0x44u);
    EXPECT_TRUE(HasLine(LogLines(), "CNQRPServer::OnReceiveFrom: Logon User Query; Bytes=48"));
}

TEST_F(QueryServer, TheReplyGoesToTheSenderFromThePortTheQueryCameIn)
{
    StartServer();
    for (int family : {AF_INET, AF_INET6})
    {
        uint16_t port = family == AF_INET ? Port4 : Port6;
        CQueryClient first(family);
        CQueryClient second(family);
        first.Send(port, Request(0x0F00, 1));
        second.Send(port, Request(0x0F00, 2));
        uint16_t from = 0;
        EXPECT_EQ(ReplyId(second.Receive(ReplyWaitMs, &from)), 2u) << family;
        EXPECT_EQ(from, port) << family;
        EXPECT_EQ(ReplyId(first.Receive(ReplyWaitMs, &from)), 1u) << family;
        EXPECT_EQ(from, port) << family;
    }
}

TEST_F(QueryServer, ShortDatagramsAndUnknownCodesGetNoReplyAndKeepTheirRecords)
{
    StartServer();
    uint32_t allocated = Pool.GetAllocatedCount();
    EXPECT_EQ(allocated, 2u * CNQRPServer::ReceivesPerSocket);
    CQueryClient client(AF_INET);
    const Bytes ignored[] = {
        Bytes{0x00, 0x0F, 1, 2, 3, 4, 5},   // seven bytes
        Bytes{},                            // empty
        Cat({U16(0x1234), U32(9), U16(0)}), // unknown function code
        Cat({U16(0x0F12), U32(9), U16(0)}), // a reply code
        Cat({U16(0x0002), U32(9), U16(0)}), // another reply code
    };
    for (const Bytes& datagram : ignored)
        for (int i = 0; i < 15; ++i)
            client.Send(Port4, datagram);
    // Answered in order behind them: nothing came before this reply.
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0x55))), 0x55u);
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
    // Ignored datagrams reused their records; the reply took at most one
    // fresh one (none when its own came back to the pool first), and every
    // receive is outstanding again.
    EXPECT_LE(Pool.GetAllocatedCount(), allocated + 1);
    EXPECT_EQ(WaitForRecordsInUse(2 * CNQRPServer::ReceivesPerSocket), 2 * CNQRPServer::ReceivesPerSocket);
    auto lines = LogLines();
    EXPECT_FALSE(
        std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return StartsWith(line, "["); }));
}

// More failing handlers than a socket has receives: each one's record must
// serve the next receive, or the socket would end up deaf.
TEST_F(QueryServer, AHandlerThatThrowsDropsItsQueryAndKeepsItsReceive)
{
    constexpr long Failures = CNQRPServer::ReceivesPerSocket + 2;
    StartServer(1, true, Failures);
    CQueryClient client(AF_INET);
    for (long i = 0; i < Failures; ++i)
        client.Send(Port4, Request(0x0F00, static_cast<uint32_t>(i)));
    EXPECT_EQ(WaitForLines("[!] CNQRPServer::OnReceiveFrom: Exception caught; the query is dropped", Failures),
              Failures);
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0F00, 0x77))), 0x77u);
    EXPECT_EQ(WaitForRecordsInUse(2 * CNQRPServer::ReceivesPerSocket), 2 * CNQRPServer::ReceivesPerSocket);
}

TEST_F(QueryServer, AShortNextGenRequestFailsToDeserialize)
{
    StartServer();
    CQueryClient client(AF_INET);
    for (size_t length : {8, 9, 11})
    {
        Bytes request = NextGenRequest(0x66, 0x7FE);
        request.resize(length);
        client.Send(Port4, request);
    }
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0x67))), 0x67u);
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
    EXPECT_EQ(WaitForLines("[!] CNQRPServer::DoLogonUserQueryEx: Failed to deserialize request", 3), 3);
}

TEST_F(QueryServer, ANextGenReplyLargerThanADatagramIsNotSent)
{
    USER_IDENTITY user = Known.User;
    user.Groups = ManyGroups(3000, 30); // about 210,000 bytes of group names and DNs
    SetUser(user);
    StartServer();
    for (int family : {AF_INET, AF_INET6})
    {
        uint16_t port = family == AF_INET ? Port4 : Port6;
        CQueryClient client(family);
        client.Send(port, NextGenRequest(0x77, 0x7FE));
        // The next query is answered, and nothing came before it.
        EXPECT_EQ(ReplyId(client.Query(port, NextGenRequest(0x78, 0x008))), 0x78u) << family;
        EXPECT_TRUE(client.Receive(SilenceWaitMs).empty()) << family;
    }
    const std::string prefix = "[!] CNQRPServer::DoLogonUserQueryEx: Response larger than one datagram; Size=";
    for (const char* limit : {", MaxSize=65507", ", MaxSize=65527"})
        EXPECT_EQ(WaitForLines([&](const std::string& line)
                               { return StartsWith(line, prefix) && line.find(limit) != std::string::npos; },
                               1),
                  1)
            << limit;
}

TEST_F(QueryServer, ANextGenReplyLargerThanItsBufferIsRefusedWithTheSizes)
{
    USER_IDENTITY user = Known.User;
    user.Groups = ManyGroups(4000, 40); // more than 262,144 bytes with DNs
    SetUser(user);
    StartServer();
    CQueryClient client(AF_INET);
    client.Send(Port4, NextGenRequest(0x79, 0x7FE));
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0x7A))), 0x7Au);
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
    EXPECT_EQ(WaitForLines(
                  [](const std::string& line)
                  {
                      return StartsWith(line, "[!] CNQRPServer::DoLogonUserQueryEx: Calculated request size larger "
                                              "than supplied buffer size; CalcSize=") &&
                             line.find(", BufSize=262144") != std::string::npos;
                  },
                  1),
              1);
}

TEST_F(QueryServer, AReplyLargerThanAPageIsNotSent)
{
    USER_IDENTITY user = Known.User;
    user.OU.assign(3000, L'o');
    SetUser(user);
    StartServer();
    CQueryClient client(AF_INET);
    client.Send(Port4, Request(0x0F00, 0x81));
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0x82))), 0x82u);
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
    EXPECT_EQ(WaitForLines("[!] CNQRPServer::DoLogonUserQuery: Failed to serialize response", 1), 1);
}

TEST_F(QueryServer, ADatagramLargerThanItsBufferIsLostAndTheSocketKeepsAnswering)
{
    StartServer();
    CQueryClient client(AF_INET);
    Bytes large = Cat({Request(0x0000, 0x91), Bytes(SystemPageSize() + 1000, 0x33)});
    // Each followed by a query, so that no burst overruns the socket's buffer.
    for (uint32_t i = 0; i < 3 * CNQRPServer::ReceivesPerSocket; ++i)
    {
        client.Send(Port4, large);
        EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0x100 + i))), 0x100 + i);
    }
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
    EXPECT_EQ(WaitForLines("[!] CNQRPServer::OnDatagramLost; Error=10040", 3 * CNQRPServer::ReceivesPerSocket),
              3 * CNQRPServer::ReceivesPerSocket);
    auto lines = LogLines();
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(),
                             [](const std::string& line) { return StartsWith(line, "[!] CNQRPServer::OnError"); }));
    // Every lost datagram's record went back to receiving: the sockets keep
    // their receives, and nothing else holds a record once the replies are out.
    EXPECT_EQ(WaitForRecordsInUse(2 * CNQRPServer::ReceivesPerSocket), 2 * CNQRPServer::ReceivesPerSocket);
}

TEST_F(QueryServer, ADatagramWaitingBeforeTheFirstReceiveIsLostCleanly)
{
    StartServer(1, false);
    CQueryClient client(AF_INET);
    // Queued before any receive is issued, so the first receive fails at once
    // with the datagram's size.
    client.Send(Port4, Cat({Request(0x0000, 0xA1), Bytes(SystemPageSize() + 1, 0x33)}));
    client.Send(Port4, Cat({Request(0x0000, 0xA2), Bytes(SystemPageSize() + 1, 0x33)}));
    ASSERT_TRUE(Server->StartReceiving());
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0xA3))), 0xA3u);
    EXPECT_EQ(ReplyId(client.Query(Port4, Request(0x0000, 0xA4))), 0xA4u);
    EXPECT_EQ(WaitForLines("[!] CNQRPServer::OnDatagramLost; Error=10040", 2), 2);
}

TEST_F(QueryServer, AQuerierThatWentAwayDoesNotStopTheServer)
{
    StartServer();
    for (int family : {AF_INET, AF_INET6})
    {
        uint16_t port = family == AF_INET ? Port4 : Port6;
        for (int i = 0; i < 3 * CNQRPServer::ReceivesPerSocket; ++i)
        {
            CQueryClient gone(family);
            gone.Send(port, Request(0x0F00, static_cast<uint32_t>(i)));
        }
        CQueryClient client(family);
        EXPECT_EQ(ReplyId(client.Query(port, Request(0x0F00, 0xB1))), 0xB1u) << family;
    }
    auto lines = LogLines();
    EXPECT_FALSE(std::any_of(lines.begin(), lines.end(),
                             [](const std::string& line) { return StartsWith(line, "[!] CNQRPServer::OnError"); }));
}

TEST_F(QueryServer, ManyQueriesInFlightAreEachAnsweredOnce)
{
    StartServer();
    CQueryClient client(AF_INET);
    constexpr uint32_t Count = 200;
    std::vector<int> answers(Count);
    for (uint32_t id = 0; id < Count; ++id)
    {
        client.Send(Port4, Request(0x0F00, id));
        if (id >= 16)
        {
            Bytes reply = client.Receive(ReplyWaitMs);
            ASSERT_FALSE(reply.empty());
            ++answers.at(ReplyId(reply));
        }
    }
    for (uint32_t i = 0; i < 16; ++i)
    {
        Bytes reply = client.Receive(ReplyWaitMs);
        ASSERT_FALSE(reply.empty());
        ++answers.at(ReplyId(reply));
    }
    EXPECT_TRUE(std::all_of(answers.begin(), answers.end(), [](int count) { return count == 1; }));
    EXPECT_TRUE(client.Receive(SilenceWaitMs).empty());
}

TEST_F(QueryServer, StartFailsWhenEitherPortIsTaken)
{
    for (int family : {AF_INET, AF_INET6})
    {
        SOCKET blocker = BindAny(family);
        ASSERT_NE(blocker, INVALID_SOCKET);
        uint16_t taken = LocalPort(blocker);
        {
            CNQRPServer server(std::make_unique<CTestOwner>(&Identity, 1), &Pool, taken);
            EXPECT_FALSE(server.Start()) << family;
        }
        closesocket(blocker);
        std::string expected = std::string("[!] CNQRPServer::Start: Failed to bind ") +
                               (family == AF_INET ? "v4" : "v6") + " socket to port " + std::to_string(taken) + ".";
        auto lines = LogLines();
        EXPECT_TRUE(std::any_of(lines.begin(), lines.end(),
                                [&](const std::string& line) { return StartsWith(line, expected); }))
            << family;
    }
}

TEST_F(QueryServer, StartsCleanlyAndOnlyOnce)
{
    StartServer();
    // Connection reset reports turned off, both sockets on the port.
    auto lines = LogLines();
    EXPECT_FALSE(
        std::any_of(lines.begin(), lines.end(), [](const std::string& line) { return StartsWith(line, "["); }));
    EXPECT_FALSE(Server->Start());
}

TEST_F(QueryServer, DestructionEndsTheWorkersClosesBothSocketsAndReturnsEveryRecord)
{
    StartServer();
    CQueryClient client(AF_INET);
    EXPECT_FALSE(client.Query(Port4, Request(0x0F00, 1)).empty());
    uint16_t port4 = Port4;
    uint16_t port6 = Port6;
    Server.reset();
    EXPECT_TRUE(HasLine(LogLines(), "Shutting down NQRP server socket ..."));
    EXPECT_EQ(Pool.GetAllocatedCount() - Pool.FreedCount(), Pool.FreeCount());
    for (auto [family, port] : {std::pair<int, uint16_t>{AF_INET, port4}, {AF_INET6, port6}})
    {
        SOCKET again = BindAny(family, port);
        EXPECT_NE(again, INVALID_SOCKET) << family;
        closesocket(again);
    }
}

TEST_F(QueryServer, WithoutAnIdentityTheRepliesAreEmpty)
{
    Server = std::make_unique<CNQRPServer>(std::make_unique<CTestOwner>(nullptr, 1), &Pool, 0);
    ASSERT_TRUE(Server->Start());
    ASSERT_TRUE(Server->StartThreads());
    ASSERT_TRUE(Server->StartReceiving());
    CQueryClient client(AF_INET);
    Bytes expected = Cat({U16(0x0F12), U32(5), U16(0), U32(0), U8(1), U16(16), Bytes(16, 0), U16(0)});
    EXPECT_EQ(client.Query(LocalPort(Server->Socket4().Handle()), NextGenRequest(5, 0x7FE)), expected);
}

TEST(SiblingAgent, ImagePathBecomesTheFileName)
{
    const std::pair<const wchar_t*, const wchar_t*> cases[] = {
        {L"C:\\Dorn\\agent.exe", L"C:\\Dorn\\agent.exe"},
        {L"\"C:\\Program Files\\Dorn\\agent.exe\"", L"C:\\Program Files\\Dorn\\agent.exe"},
        {L"\"C:\\Dorn\\agent.exe\"\\\\", L"C:\\Dorn\\agent.exe"},
        {L"C:\\Dorn\\\"agent\".exe\\", L"C:\\Dorn\\agent.exe"},
        {L"\\\\", L""},
        {L"", L""},
    };
    for (const auto& [imagePath, file] : cases)
        EXPECT_EQ(SiblingImageFile(imagePath), file);
}

#include "reporting/ReportProtocol.h"

#include "LogCapture.h"
#include "diag/Exception.h"
#include "identity/AddressList.h"
#include "reporting/Identity.h"
#include "reporting/TestPeer.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <string>
#include <vector>

namespace
{
using Bytes = std::vector<uint8_t>;

sockaddr_in Local(const char* text)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(49152);
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

GUID SampleUuid()
{
    GUID uuid;
    CLSIDFromString(L"{00112233-4455-6677-8899-AABBCCDDEEFF}", &uuid);
    return uuid;
}

Bytes Request(const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user,
              const CAddressList& addresses, uint8_t type = REPORT_USER, const char* local = "10.0.0.9")
{
    std::vector<uint8_t> buffer(REPORT_BUFFER_SIZE);
    sockaddr_in address = Local(local);
    uint32_t length = MakeReportRequest(buffer.data(), REPORT_BUFFER_SIZE, reinterpret_cast<sockaddr*>(&address), type,
                                        agent, computer, user, addresses);
    return Bytes(buffer.begin(), buffer.begin() + length);
}

Bytes Text(const std::string& text)
{
    Bytes bytes;
    bytes.reserve(text.size() + 2);
    bytes.push_back(uint8_t(text.size() >> 8));
    bytes.push_back(uint8_t(text.size()));
    for (char c : text)
        bytes.push_back(static_cast<uint8_t>(c));
    return bytes;
}

void Append(Bytes& to, const Bytes& more)
{
    for (uint8_t byte : more)
        to.push_back(byte);
}

const Bytes UuidBlock{0x00, 0x10, 0x22, 0x33, 0x00, 0x11, 0x44, 0x55, 0x66,
                      0x77, 0x99, 0x88, 0xBB, 0xAA, 0xDD, 0xCC, 0xFF, 0xEE};
} // namespace

TEST(ReportRequest, MinimalRequestByteForByte)
{
    COMPUTER_IDENTITY computer;
    computer.MachineUUID = SampleUuid();
    CAddressList none;
    Bytes request = Request(AGENT_VERSION{}, computer, USER_IDENTITY{}, none, REPORT_NO_USER);

    Bytes expected{0, 0, 0, 3, 0x00, 0x10, 0, 0, 0, 1, 0, 0, 0x08, 0x00, 1};
    Append(expected, UuidBlock);
    Append(expected, {0x00, 0x01, 0x04, 10, 0, 0, 9}); // only the connection's own address
    expected.push_back(REPORT_NO_USER);
    expected[1] = static_cast<uint8_t>(expected.size());
    EXPECT_EQ(request, expected);
}

TEST(ReportRequest, EveryBlockInOrder)
{
    AGENT_VERSION agent = AgentVersionFrom(L"2.1.14.0");
    COMPUTER_IDENTITY computer;
    computer.Flags = COMPUTER_OS_VALID | COMPUTER_NAME_VALID | COMPUTER_DN_VALID;
    computer.OSCode = 7;
    computer.OSMajor = 6;
    computer.OSMinor = 1;
    computer.Name = L"PC-7";
    computer.Domain = L"CORP";
    computer.DN = L"CN=PC-7,OU=Desks,DC=corp";
    computer.OU = L"Desks";
    computer.MachineUUID = SampleUuid();
    USER_IDENTITY user;
    user.Flags = USER_NAME_VALID | USER_DN_VALID | USER_GROUPS_VALID;
    user.Name = L"bob";
    user.Domain = L"CORP";
    user.DN = L"CN=bob,DC=corp";
    user.OU = L"People";
    user.Groups = {{L"Sales", L"CN=Sales,DC=corp"}, {L"Staff", L"CN=Staff,DC=corp"}};
    CAddressList addresses;
    sockaddr_in other = Local("192.168.1.5");
    sockaddr_in same = Local("10.0.0.9");
    addresses.Append(reinterpret_cast<sockaddr*>(&same), sizeof(same));
    addresses.Append(reinterpret_cast<sockaddr*>(&other), sizeof(other));

    Bytes request = Request(agent, computer, user, addresses);
    Bytes expected{0, 0, 0, 3, 0x00, 0x10, 0, 0, 0, 1, 0, 0, 0x0F, 0xFE, 1};
    Append(expected, UuidBlock);
    Append(expected, {0x00, 0x02, 4, 10, 0, 0, 9, 4, 192, 168, 1, 5});
    Append(expected, {16, 2, 1, 14});
    Append(expected, {7, 6, 1});
    Append(expected, Text("CORP\\PC-7"));
    Append(expected, Text("CN=PC-7,OU=Desks,DC=corp"));
    Append(expected, Text("Desks"));
    Append(expected, Text("CORP\\bob"));
    Append(expected, Text("CN=bob,DC=corp"));
    Append(expected, Text("People"));
    Append(expected, {0x00, 0x02, 0x00});
    Append(expected, Text("CORP\\Sales"));
    Append(expected, Text("CN=Sales,DC=corp"));
    Append(expected, Text("CORP\\Staff"));
    Append(expected, Text("CN=Staff,DC=corp"));
    expected.push_back(REPORT_USER);
    expected[0] = static_cast<uint8_t>(expected.size() >> 8);
    expected[1] = static_cast<uint8_t>(expected.size());
    EXPECT_EQ(request, expected);
}

TEST(ReportRequest, NamesWithoutDomainAndAnEmptyGroupList)
{
    COMPUTER_IDENTITY computer;
    computer.Flags = COMPUTER_NAME_VALID;
    computer.Name = L"PC-7";
    USER_IDENTITY user;
    user.Flags = USER_NAME_VALID | USER_GROUPS_VALID;
    user.Name = L"bob";
    CAddressList none;
    Bytes request = Request(AGENT_VERSION{}, computer, user, none);
    Bytes tail;
    Append(tail, Text("PC-7"));
    Append(tail, Text("bob"));
    Append(tail, {0x00, 0x00}); // no zero byte after a zero count
    tail.push_back(REPORT_USER);
    ASSERT_GT(request.size(), tail.size());
    EXPECT_EQ(Bytes(request.end() - tail.size(), request.end()), tail);
    EXPECT_EQ(request[12], 0x0E);
    EXPECT_EQ(request[13], 0x48);
}

TEST(ReportRequest, TooLargeRequestsAreRefusedWithTheirSize)
{
    USER_IDENTITY user;
    user.Flags = USER_NAME_VALID | USER_GROUPS_VALID;
    user.Name = L"bob";
    user.Domain = L"CORP";
    for (int i = 0; i < 3000; ++i)
        user.Groups.push_back({L"Group " + std::to_wstring(i), L"CN=Group " + std::to_wstring(i) + L",DC=corp"});
    CAddressList none;
    try
    {
        Request(AGENT_VERSION{}, COMPUTER_IDENTITY{}, user, none);
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, 0u);
        EXPECT_EQ(exception.Message.find(L"[!] CIdentity::MakeReportRequest: Request of "), 0u);
        EXPECT_NE(exception.Message.find(L"exceeds the largest reportable length of 65535 bytes"), std::wstring::npos);
    }

    std::vector<uint8_t> small(100);
    sockaddr_in local = Local("10.0.0.9");
    try
    {
        MakeReportRequest(small.data(), 100, reinterpret_cast<sockaddr*>(&local), REPORT_USER, AGENT_VERSION{},
                          COMPUTER_IDENTITY{}, user, none);
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, 0u);
        EXPECT_EQ(exception.Message.find(L"[!] CIdentity::MakeReportRequest: Calculated request size larger than "
                                         L"supplied buffer size; CalcSize="),
                  0u);
        EXPECT_NE(exception.Message.find(L", BufSize=100"), std::wstring::npos);
    }
}

TEST(ReportReply, ChecksAndMessages)
{
    struct Case
    {
        Bytes Reply;
        const wchar_t* Message; // null: accepted
    };
    const Case cases[] = {
        {CTestPeer::V3Reply(), nullptr},
        {CTestPeer::V3Reply(0x0010), L"[!] CIdentity::Report: Missing response (v3) flag in response"},
        {CTestPeer::V3Reply(0x8010, 2), L"[!] CIdentity::Report: Mismatch in response (v3) sequence ID: 2"},
        {CTestPeer::V3Reply(0x8010, 1, 5), L"[!] CIdentity::Report: Error in response (v3): 0x5"},
        {{0, 18, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}, nullptr},
        {{0, 18, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0},
         L"[!] CIdentity::Report: Unknown response from a version 1 server!"},
        {{0, 4, 0, 2}, nullptr},
        {{0, 4, 0, 9}, L"[!] CIdentity::Report: Unknown version in response header: 9"},
        {{0, 20, 0, 3, 0x80, 0x10}, L"[!] CIdentity::Report: Response length does not match actual receive length"},
        {{0, 6, 0, 3, 0x80, 0x10}, L"[!] CIdentity::Report: Response (v3) too short: 6 bytes"},
        {{0}, L"[!] CIdentity::Report: Response length does not match actual receive length"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(testing::Message() << "reply of " << c.Reply.size() << " bytes, version "
                                        << int(c.Reply.size() > 3 ? c.Reply[3] : 0));
        if (!c.Message)
        {
            EXPECT_NO_THROW(CheckReportReply(c.Reply.data(), static_cast<uint32_t>(c.Reply.size())));
            continue;
        }
        try
        {
            CheckReportReply(c.Reply.data(), static_cast<uint32_t>(c.Reply.size()));
            ADD_FAILURE() << "accepted";
        }
        catch (const CException& exception)
        {
            EXPECT_EQ(exception.Code, 0u);
            EXPECT_EQ(exception.Message, c.Message);
        }
    }
}

TEST(ReportReply, RetryableCodes)
{
    for (uint32_t code : {10050u, 10051u, 10052u, 10053u, 10054u, 10060u, 10061u, 10064u, 10065u, 11002u})
        EXPECT_TRUE(IsRetryableReportError(code)) << code;
    for (uint32_t code : {0u, 5u, 10038u, 10055u, 11001u, 0x80000100u})
        EXPECT_FALSE(IsRetryableReportError(code)) << code;
}

TEST(ServerAddress, LiteralsAndNames)
{
    struct Case
    {
        const wchar_t* Text;
        bool Literal;
        const char* Address;
    };
    const Case cases[] = {
        {L"10.1", true, "0.0.10.1"},
        {L"1.2.3.4", true, "1.2.3.4"},
        {L"any", true, "0.0.0.0"},
        {L"ANY", true, "0.0.0.0"},
        {L"0.0.0.0", true, "0.0.0.0"},
        {L"256.1.300", true, "0.0.1.44"},
        {L"7", true, "0.0.0.7"},
        {L"1.2.3.4.5", false, nullptr},
        {L".1.2", false, nullptr},
        {L"1.2.", false, nullptr},
        {L"1..2", false, nullptr},
        {L"1234.1", false, nullptr},
        {L"ident.example", false, nullptr},
        {L"", false, nullptr},
        {L"1.-2", false, nullptr},
    };
    for (const auto& c : cases)
    {
        in_addr address{};
        EXPECT_EQ(ParseAddressLiteral(c.Text, address), c.Literal) << std::wstring(c.Text).size();
        if (c.Literal)
        {
            char text[32];
            inet_ntop(AF_INET, &address, text, sizeof(text));
            EXPECT_STREQ(text, c.Address);
        }
    }
}

TEST(ServerAddress, LookupOutcomes)
{
    CLogCapture log;
    CIdentity identity(nullptr);
    EXPECT_TRUE(identity.IdentServerLookup()); // nothing configured
    for (const wchar_t* unusable : {L"0.0.0.0", L"any", L"1.2.3.4.5"})
    {
        identity.SetServerName(unusable);
        EXPECT_FALSE(identity.IdentServerLookup()) << std::wstring(unusable).size();
        EXPECT_FALSE(identity.IdentServerLookup());
    }
    identity.SetServerName(L"127.0.0.5");
    EXPECT_TRUE(identity.IdentServerLookup());
    identity.SetServerName(L"localhost");
    EXPECT_TRUE(identity.IdentServerLookup());
}

TEST(ReportExchange, SuccessSendsTheRequestOnce)
{
    CLogCapture log;
    CTestPeer peer("127.0.0.21");
    CIdentity identity(nullptr);
    identity.SetServerName(L"127.0.0.21");
    ASSERT_TRUE(identity.IdentServerLookup());
    USER_IDENTITY user;
    user.Flags = USER_NAME_VALID;
    user.Name = L"bob";
    EXPECT_NO_THROW(identity.Report(REPORT_USER, AGENT_VERSION{}, COMPUTER_IDENTITY{}, user));
    auto requests = peer.Requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(ReportTypeOf(requests[0]), REPORT_USER);
    // The connection's own address comes first: 127.0.0.x over loopback.
    EXPECT_EQ(requests[0][33], 0x00);
    EXPECT_EQ(requests[0][35], 4);
    EXPECT_EQ(requests[0][36], 127);
}

TEST(ReportExchange, TransportAndProtocolFailures)
{
    struct Case
    {
        const char* Address;
        CTestPeer::Mode Mode;
        Bytes Reply;
        size_t SplitAt;
        uint32_t Code;
        const char* Line;
    };
    const Case cases[] = {
        {"127.0.0.22", CTestPeer::Mode::Reply, CTestPeer::V3Reply(), 6, 0,
         "[!] CIdentity::Report: Response length does not match actual receive length"},
        {"127.0.0.24",
         CTestPeer::Mode::Silence,
         {},
         0,
         10060,
         "[!] CIdentity::Report: Failed to receive report data response; WSAError=10060"},
        {"127.0.0.25", CTestPeer::Mode::Reply, CTestPeer::V3Reply(0x8010, 1, 7), 0, 0,
         "[!] CIdentity::Report: Error in response (v3): 0x7"},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.Address);
        CLogCapture log;
        CTestPeer peer(c.Address, c.Mode);
        peer.SetReply(c.Reply, c.SplitAt);
        CIdentity identity(nullptr);
        std::string address = c.Address;
        identity.SetServerName(std::wstring(address.begin(), address.end()));
        ASSERT_TRUE(identity.IdentServerLookup());
        try
        {
            identity.Report(REPORT_USER, AGENT_VERSION{}, COMPUTER_IDENTITY{}, USER_IDENTITY{});
            ADD_FAILURE() << "no exception";
        }
        catch (const CException& exception)
        {
            EXPECT_EQ(exception.Code, c.Code);
        }
        auto lines = log.Lines();
        ASSERT_EQ(lines.size(), 2u) << log.Text();
        EXPECT_EQ(lines[1], std::string("[!] CIdentity::Report: Failed to report (v3).\r\n    ") + c.Line +
                                ". Error code = " + std::to_string(c.Code));
    }
}

// A peer that resets instead of answering fails the report; under Wine the
// reset sometimes arrives as an orderly close, which fails it just the same.
TEST(ReportExchange, ResetConnectionFailsTheReport)
{
    CLogCapture log;
    CTestPeer peer("127.0.0.23", CTestPeer::Mode::Reset);
    CIdentity identity(nullptr);
    identity.SetServerName(L"127.0.0.23");
    ASSERT_TRUE(identity.IdentServerLookup());
    try
    {
        identity.Report(REPORT_USER, AGENT_VERSION{}, COMPUTER_IDENTITY{}, USER_IDENTITY{});
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        if (exception.Code == 10054u)
            EXPECT_EQ(exception.Message,
                      L"[!] CIdentity::Report: Failed to receive report data response; WSAError=10054");
        else
        {
            EXPECT_EQ(exception.Code, 0u);
            EXPECT_EQ(exception.Message, L"[!] CIdentity::Report: Received zero-byte report data response");
        }
    }
}

TEST(ReportExchange, RefusedConnectionCarriesTheSocketError)
{
    CLogCapture log;
    CIdentity identity(nullptr);
    identity.SetServerName(L"127.0.0.26"); // nobody listens there
    ASSERT_TRUE(identity.IdentServerLookup());
    try
    {
        identity.Report(REPORT_USER, AGENT_VERSION{}, COMPUTER_IDENTITY{}, USER_IDENTITY{});
        FAIL() << "no exception";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, 10061u);
        EXPECT_EQ(exception.Message.find(L"[!] CIdentity::Report: Failed to connect to identification server.\r\n    "),
                  0u);
        EXPECT_NE(exception.Message.find(L". Error code = 10061."), std::wstring::npos);
    }
}

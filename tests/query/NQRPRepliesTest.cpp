#include "query/NQRPReplies.h"

#include "QueryBytes.h"
#include "diag/Exception.h"
#include "identity/AddressList.h"
#include "identity/Stream.h"

#include <functional>
#include <gtest/gtest.h>

namespace
{
const GUID SomeUuid = {0x00112233, 0x4455, 0x6677, {0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}};
const Bytes SomeUuidBytes = {0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                             0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};

// Runs a reply writer on a page-sized stream and returns what it produced.
Bytes Produce(const std::function<void(STREAM&)>& write, uint32_t size = 4096)
{
    Bytes buffer(size, 0xEE);
    STREAM stream(buffer.data(), size, STREAM::StreamTerminated);
    write(stream);
    return Bytes(buffer.begin(), buffer.begin() + stream.Produced());
}

IDENTITY FullIdentity()
{
    IDENTITY identity;
    identity.Agent = AgentVersionFrom(L"2.1.14.0");
    COMPUTER_IDENTITY& computer = identity.Computer;
    computer.Flags = COMPUTER_OS_VALID | COMPUTER_NAME_VALID | COMPUTER_DN_VALID;
    computer.OSMajor = 6;
    computer.OSMinor = 1;
    computer.OSBuild = 7601;
    computer.OSCode = 7;
    computer.Name = L"pc-7";
    computer.Domain = L"corp";
    computer.DN = L"CN=PC-7,OU=Desks,DC=corp";
    computer.OU = L"Desks";
    computer.MachineUUID = SomeUuid;
    USER_IDENTITY& user = identity.User;
    user.Flags = USER_NAME_VALID | USER_DN_VALID | USER_GROUPS_VALID;
    user.Name = L"bob";
    user.Domain = L"CORP";
    user.DN = L"CN=Bob,OU=Sales,DC=corp";
    user.OU = L"Sales";
    user.Groups = {{L"Staff", L"CN=Staff,DC=corp"}, {L"Sales Team", L"CN=Sales Team,DC=corp"}};
    return identity;
}

NQRP_HOST_INFO SomeHost() { return {L"UA 2.1.14.0", L"C:\\Program Files\\Kestrin", L"C:\\windows\\system32"}; }
} // namespace

TEST(NQRPReplies, NetworkTypeCodes)
{
    const std::pair<DWORD, uint16_t> cases[] = {{1, 1}, {2, 2}, {3, 4}, {0, 0}, {4, 0}, {99, 0}};
    for (const auto& [type, code] : cases)
        EXPECT_EQ(NetworkTypeCode(type), code) << type;
}

TEST(NQRPReplies, NQRPQueryReplyLayout)
{
    IDENTITY identity = FullIdentity();
    Bytes expected = Cat({U16(0x0002), U32(0x12345678), U16(1), U16(30), U32(6), U32(1), U32(7601), U32(0), U32(0),
                          Wide(L"CORP\\PC-7"), Wide(L"UA 2.1.14.0"), Wide(L""), Wide(L"C:\\Program Files\\Kestrin"),
                          Wide(L"C:\\windows\\system32")});
    EXPECT_EQ(Produce([&](STREAM& s) { WriteNQRPQueryReply(s, 0x12345678, 1, identity.Computer, SomeHost()); }),
              expected);
}

TEST(NQRPReplies, NQRPQueryReplyCarriesTheNetworkTypeCode)
{
    IDENTITY identity = FullIdentity();
    const std::pair<DWORD, uint16_t> cases[] = {{1, 1}, {2, 2}, {3, 4}, {7, 0}};
    for (const auto& [type, code] : cases)
    {
        Bytes reply = Produce([&](STREAM& s) { WriteNQRPQueryReply(s, 1, type, identity.Computer, SomeHost()); });
        EXPECT_EQ(Bytes(reply.begin() + 6, reply.begin() + 8), U16(code)) << type;
    }
}

TEST(NQRPReplies, NQRPQueryComputerWithoutDomainKeepsTheBackslash)
{
    COMPUTER_IDENTITY computer;
    computer.Name = L"Desk-12";
    Bytes reply = Produce([&](STREAM& s) { WriteNQRPQueryReply(s, 1, 1, computer, SomeHost()); });
    Bytes computerString = Wide(L"\\DESK-12");
    // After the 30 bytes of numbers.
    ASSERT_GE(reply.size(), 30 + computerString.size());
    EXPECT_EQ(Bytes(reply.begin() + 30, reply.begin() + 30 + computerString.size()), computerString);
}

TEST(NQRPReplies, LogonUserReplyLayout)
{
    IDENTITY identity = FullIdentity();
    Bytes expected = Cat({U16(0x0F02), U32(0xCAFEF00D), U16(0), U16(1), Wide(L"corp\\pc-7"), Wide(L"CORP\\bob"),
                          Wide(L"Sales"), Wide(L"staff"), Wide(L"sales team"), U16(0)});
    EXPECT_EQ(Produce([&](STREAM& s) { WriteLogonUserReply(s, 0xCAFEF00D, 1, identity); }), expected);
}

TEST(NQRPReplies, LogonUserStringByNetworkTypeAndDomain)
{
    struct Case
    {
        DWORD NetworkType;
        const wchar_t* Domain;
        const wchar_t* Sent;
        uint16_t Code;
    };
    const Case cases[] = {
        {1, L"CORP", L"CORP\\bob", 1}, // Microsoft qualifies the user
        {1, L"", L"bob", 1},           // unless there is no domain
        {2, L"CORP", L"bob", 2},       // Novell never does
        {3, L"CORP", L"bob", 4},       // nor does LDAP
    };
    for (const auto& c : cases)
    {
        IDENTITY identity = FullIdentity();
        identity.User.Domain = c.Domain;
        identity.User.Groups.clear();
        Bytes expected =
            Cat({U16(0x0F02), U32(9), U16(0), U16(c.Code), Wide(L"corp\\pc-7"), Wide(c.Sent), Wide(L"Sales"), U16(0)});
        EXPECT_EQ(Produce([&](STREAM& s) { WriteLogonUserReply(s, 9, c.NetworkType, identity); }), expected)
            << c.NetworkType << " " << c.Sent;
    }
}

TEST(NQRPReplies, LogonUserWithoutGroupsEndsRightAfterTheOU)
{
    IDENTITY identity = FullIdentity();
    identity.User.Groups.clear();
    Bytes reply = Produce([&](STREAM& s) { WriteLogonUserReply(s, 1, 1, identity); });
    Bytes tail = Cat({Wide(L"Sales"), U16(0)});
    ASSERT_GE(reply.size(), tail.size());
    EXPECT_EQ(Bytes(reply.end() - tail.size(), reply.end()), tail);
}

TEST(NQRPReplies, LogonUserComputerWithoutDomainKeepsTheBackslashAndCase)
{
    IDENTITY identity;
    identity.Computer.Name = L"Desk-12";
    Bytes expected = Cat({U16(0x0F02), U32(1), U16(0), U16(1), Wide(L"\\Desk-12"), Wide(L""), Wide(L""), U16(0)});
    EXPECT_EQ(Produce([&](STREAM& s) { WriteLogonUserReply(s, 1, 1, identity); }), expected);
}

TEST(NQRPReplies, NextGenMaskIsWhatWasAskedAndIsValid)
{
    struct Case
    {
        uint32_t AgentFlags, ComputerFlags, UserFlags, Requested, Mask;
    };
    const Case cases[] = {
        {0, 0, 0, 0x7FE, 0x000},
        {AGENT_VERSION_VALID, 0, 0, 0x7FE, 0x002},
        {0, COMPUTER_OS_VALID, 0, 0x7FE, 0x004},
        {0, COMPUTER_NAME_VALID, 0, 0x7FE, 0x008},
        {0, COMPUTER_DN_VALID, 0, 0x7FE, 0x030},
        {0, 0, USER_NAME_VALID, 0x7FE, 0x040},
        {0, 0, USER_DN_VALID, 0x7FE, 0x180},
        {0, 0, USER_GROUPS_VALID, 0x7FE, 0x600},
        {0x1, 0xE, 0x70, 0x7FE, 0x7FE},
        {0x1, 0xE, 0x70, 0x000, 0x000},
        {0x1, 0xE, 0x70, 0x241, 0x240}, // bit 0x1 is never a field
        {0x1, 0xE, 0x30, 0x200, 0x000}, // groups asked for but not valid
    };
    for (const auto& c : cases)
    {
        IDENTITY identity;
        identity.Agent.Flags = c.AgentFlags;
        identity.Computer.Flags = c.ComputerFlags;
        identity.User.Flags = c.UserFlags;
        EXPECT_EQ(NextGenReplyMask(identity, c.Requested), c.Mask)
            << std::hex << c.AgentFlags << " " << c.ComputerFlags << " " << c.UserFlags << " " << c.Requested;
    }
}

TEST(NQRPReplies, NextGenWithMaskZeroHasOnlyTheFixedPartAndAddresses)
{
    IDENTITY identity = FullIdentity();
    CAddressList addresses;
    AddIPv4(addresses, "10.1.2.3");
    AddIPv6(addresses, "fe80::1");
    Bytes expected = Cat({U16(0x0F12), U32(0x01020304), U16(0), U32(0), U8(1), U16(16), SomeUuidBytes, U16(2),
                          Bytes{4, 10, 1, 2, 3}, Bytes{6, 0xFE, 0x80, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}});
    EXPECT_EQ(Produce([&](STREAM& s) { WriteNextGenReply(s, 0x01020304, 0, identity, addresses); }), expected);
}

TEST(NQRPReplies, NextGenWithEveryField)
{
    IDENTITY identity = FullIdentity();
    CAddressList addresses;
    AddIPv4(addresses, "192.168.5.9");
    Bytes expected = Cat({U16(0x0F12),
                          U32(77),
                          U16(0),
                          U32(0x7FE),
                          U8(1),
                          U16(16),
                          SomeUuidBytes,
                          U16(1),
                          Bytes{4, 192, 168, 5, 9},
                          Bytes{16, 2, 1, 14},
                          Bytes{7, 6, 1},
                          Narrow("corp\\pc-7"),
                          Narrow("CN=PC-7,OU=Desks,DC=corp"),
                          Narrow("Desks"),
                          Narrow("CORP\\bob"),
                          Narrow("CN=Bob,OU=Sales,DC=corp"),
                          Narrow("Sales"),
                          U16(2),
                          U8(0),
                          Narrow("CORP\\Staff"),
                          Narrow("CN=Staff,DC=corp"),
                          Narrow("CORP\\Sales Team"),
                          Narrow("CN=Sales Team,DC=corp")});
    uint32_t mask = NextGenReplyMask(identity, 0x7FE);
    EXPECT_EQ(Produce([&](STREAM& s) { WriteNextGenReply(s, 77, mask, identity, addresses); }), expected);
}

TEST(NQRPReplies, NextGenGroupBlockCarriesOnlyTheAskedGroupFields)
{
    IDENTITY identity = FullIdentity();
    identity.User.Domain = L"";
    CAddressList none;
    Bytes fixed = Cat({U32(5), U16(0)});
    struct Case
    {
        uint32_t Mask;
        Bytes Groups;
    };
    const Case cases[] = {
        {0x200, Cat({U16(2), U8(0), Narrow("Staff"), Narrow("Sales Team")})},
        {0x400, Cat({U16(2), U8(0), Narrow("CN=Staff,DC=corp"), Narrow("CN=Sales Team,DC=corp")})},
    };
    for (const auto& c : cases)
    {
        Bytes reply = Produce([&](STREAM& s) { WriteNextGenReply(s, 5, c.Mask, identity, none); });
        ASSERT_GE(reply.size(), 31u + 2u + c.Groups.size());
        EXPECT_EQ(Bytes(reply.begin() + 33, reply.end()), c.Groups) << c.Mask;
    }
}

TEST(NQRPReplies, NextGenWithGroupsNotValidHasNoGroupBlock)
{
    IDENTITY identity = FullIdentity();
    identity.User.Flags = USER_NAME_VALID;
    CAddressList none;
    uint32_t mask = NextGenReplyMask(identity, 0x240);
    ASSERT_EQ(mask, 0x040u);
    Bytes expected =
        Cat({U16(0x0F12), U32(3), U16(0), U32(0x040), U8(1), U16(16), SomeUuidBytes, U16(0), Narrow("CORP\\bob")});
    EXPECT_EQ(Produce([&](STREAM& s) { WriteNextGenReply(s, 3, mask, identity, none); }), expected);
}

TEST(NQRPReplies, NextGenSizeIsTheDocumentedUpperBound)
{
    IDENTITY identity = FullIdentity();
    CAddressList addresses;
    AddIPv4(addresses, "10.0.0.1");
    AddIPv6(addresses, "2001:db8::7");
    // 31 fixed, 4 + 3 blocks, 2 + 5 + 17 addresses, then each string's bytes
    // + 2, qualified names as two strings and the user name at two bytes a
    // character, and 3 for the group block.
    uint32_t expected = 31 + 4 + 3 + 2 + 22 + (4 + 2) + (5 + 2) + 24 + 2 + 5 + 2 + (6 + 2) + (5 + 2) + 23 + 2 + 5 + 2 +
                        3 + (5 + 2) + (5 + 2) + 16 + 2 + (10 + 2) + (5 + 2) + 21 + 2;
    EXPECT_EQ(NextGenReplySize(identity, 0x7FE, addresses), expected);
    uint32_t produced = static_cast<uint32_t>(
        Produce([&](STREAM& s) { WriteNextGenReply(s, 1, 0x7FE, identity, addresses); }, expected).size());
    EXPECT_LE(produced, expected);
    EXPECT_EQ(NextGenReplySize(identity, 0, addresses), 31u + 2u + 22u);
}

TEST(NQRPReplies, AReplyThatDoesNotFitOverflows)
{
    IDENTITY identity = FullIdentity();
    identity.User.OU.assign(3000, L'x');
    Bytes buffer(4096);
    STREAM stream(buffer.data(), 4096, STREAM::StreamTerminated);
    try
    {
        WriteLogonUserReply(stream, 1, 1, identity);
        FAIL() << "no overflow";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, STREAM_E_OVERFLOW);
    }
}

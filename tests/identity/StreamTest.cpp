#include "identity/Stream.h"

#include "diag/Exception.h"
#include "identity/AddressList.h"

#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include <winsock2.h>
#include <ws2tcpip.h>

namespace
{
using Bytes = std::vector<uint8_t>;

// Runs the writer on a fresh stream of the given size and returns what it
// produced.
Bytes Produce(uint32_t flags, const std::function<void(STREAM&)>& write, uint32_t size = 64)
{
    std::vector<uint8_t> buffer(size, 0xEE);
    STREAM stream(buffer.data(), size, flags);
    write(stream);
    return Bytes(buffer.begin(), buffer.begin() + stream.Produced());
}

// Expects an overflow that leaves the cursor where it was.
void ExpectOverflow(STREAM& stream, const std::function<void(STREAM&)>& write)
{
    uint8_t* before = stream.Cursor;
    try
    {
        write(stream);
        ADD_FAILURE() << "no overflow";
    }
    catch (const CException& exception)
    {
        EXPECT_EQ(exception.Code, STREAM_E_OVERFLOW);
        EXPECT_EQ(exception.Message, L"");
    }
    EXPECT_EQ(stream.Cursor, before);
}

sockaddr_in IPv4(const char* text)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, text, &address.sin_addr);
    return address;
}

sockaddr_in6 IPv6(const char* text)
{
    sockaddr_in6 address{};
    address.sin6_family = AF_INET6;
    inet_pton(AF_INET6, text, &address.sin6_addr);
    return address;
}

template <typename T> void Add(CAddressList& list, const T& address)
{
    list.Append(reinterpret_cast<const sockaddr*>(&address), sizeof(address));
}
} // namespace

TEST(Stream, IntegersAreLittleEndianAndNeverSwapped)
{
    EXPECT_EQ(Produce(0, [](STREAM& s) { s.WriteU32(1); }), (Bytes{1, 0, 0, 0}));
    EXPECT_EQ(Produce(0, [](STREAM& s) { s.WriteU32(htonl(1)); }), (Bytes{0, 0, 0, 1}));
    EXPECT_EQ(Produce(0, [](STREAM& s) { s.WriteU16(0x1306); }), (Bytes{0x06, 0x13}));
    EXPECT_EQ(Produce(0, [](STREAM& s) { s.WriteU8(0x21); }), (Bytes{0x21}));

    uint8_t data[] = {0x34, 0x12, 0x78, 0x56, 0x34, 0x12};
    STREAM reader(data, sizeof(data), 0);
    EXPECT_EQ(reader.ReadU16(), 0x1234);
    EXPECT_EQ(reader.ReadU32(), 0x12345678u);
    ExpectOverflow(reader, [](STREAM& s) { s.ReadU16(); });
}

TEST(Stream, IntegerOverflowLeavesTheCursorInPlace)
{
    uint8_t buffer[3];
    STREAM stream(buffer, sizeof(buffer), 0);
    stream.WriteU16(7);
    ExpectOverflow(stream, [](STREAM& s) { s.WriteU16(1); });
    ExpectOverflow(stream, [](STREAM& s) { s.WriteU32(1); });
    stream.WriteU8(9);
    EXPECT_EQ(stream.Produced(), 3u);
    EXPECT_EQ(stream.HighWater, stream.Cursor);
}

TEST(Stream, NarrowStringModes)
{
    auto abc = [](STREAM& s) { s.WriteString("abc", 3); };
    EXPECT_EQ(Produce(STREAM::StreamPrefixed, abc), (Bytes{0x00, 0x03, 'a', 'b', 'c'}));
    EXPECT_EQ(Produce(STREAM::StreamTerminated, abc), (Bytes{'a', 'b', 'c', 0}));
    EXPECT_EQ(Produce(STREAM::StreamPrefixed | STREAM::StreamTerminated, abc), (Bytes{0, 3, 'a', 'b', 'c', 0}));
    EXPECT_EQ(Produce(STREAM::StreamPrefixed, [](STREAM& s) { s.WriteString("", 0); }), (Bytes{0, 0}));
    // The prefix is big-endian.
    std::string long300(300, 'x');
    Bytes prefixed = Produce(
        STREAM::StreamPrefixed, [&](STREAM& s) { s.WriteString(long300.data(), 300); }, 400);
    EXPECT_EQ(prefixed[0], 0x01);
    EXPECT_EQ(prefixed[1], 0x2C);
    EXPECT_EQ(prefixed.size(), 302u);
}

TEST(Stream, WideStringModes)
{
    auto ab = [](STREAM& s) { s.WriteWideString(L"ab", 2); };
    EXPECT_EQ(Produce(STREAM::StreamTerminated, ab), (Bytes{'a', 0, 'b', 0, 0, 0}));
    // The wide prefix counts characters, little-endian.
    EXPECT_EQ(Produce(STREAM::StreamPrefixed, ab), (Bytes{2, 0, 'a', 0, 'b', 0}));
}

TEST(Stream, StringThatDoesNotFitWritesNothing)
{
    uint8_t buffer[5];
    STREAM terminated(buffer, sizeof(buffer), STREAM::StreamTerminated);
    terminated.WriteU8(1);
    ExpectOverflow(terminated, [](STREAM& s) { s.WriteString("abcd", 4); });
    ExpectOverflow(terminated, [](STREAM& s) { s.WriteWideString(L"ab", 2); });
    terminated.WriteString("abc", 3);
    EXPECT_EQ(terminated.Free(), 0u);

    // No room for the length prefix: even an empty string fails, rather than
    // leaving the peer without its length.
    STREAM prefixed(buffer, sizeof(buffer), STREAM::StreamPrefixed);
    prefixed.WriteU32(0);
    ExpectOverflow(prefixed, [](STREAM& s) { s.WriteString("", 0); });
    std::string tooLong(0x10000, 'y');
    std::vector<uint8_t> large(0x20000);
    STREAM big(large.data(), static_cast<uint32_t>(large.size()), STREAM::StreamPrefixed);
    ExpectOverflow(big, [&](STREAM& s) { s.WriteString(tooLong.data(), 0x10000); });
}

TEST(Stream, WideFieldsGoOutInTheAnsiCodePage)
{
    Bytes bytes = Produce(STREAM::StreamPrefixed, [](STREAM& s) { s.WriteAnsiString(L"CORP\\b\u00f6b"); });
    Bytes expected{0, 8, 'C', 'O', 'R', 'P', '\\', 'b', static_cast<uint8_t>(GetACP() == 1252 ? 0xF6 : '?'), 'b'};
    EXPECT_EQ(bytes, expected);
    EXPECT_EQ(Produce(STREAM::StreamTerminated, [](STREAM& s) { s.WriteAnsiString(L""); }), (Bytes{0}));
}

TEST(AddressList, SizesAndCount)
{
    CAddressList list;
    EXPECT_EQ(list.AddressListSize(), 0u);
    Add(list, IPv4("10.1.2.3"));
    Add(list, IPv6("fe80::1"));
    Add(list, IPv4("192.168.0.7"));
    EXPECT_EQ(list.AddressListSize(), 5u + 17u + 5u);
    EXPECT_EQ(list.AddressCount(), 3u);
    list.Clear();
    EXPECT_EQ(list.AddressCount(), 0u);
}

TEST(AddressList, EntriesWithAndWithoutTheLocalAddress)
{
    CAddressList list;
    Add(list, IPv4("10.1.2.3"));
    Add(list, IPv6("2001:db8::5"));

    Bytes all = Produce(0, [&](STREAM& s) { EXPECT_EQ(list.WriteAddressList(s), 2); });
    Bytes v6{6, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 5};
    Bytes expected{4, 10, 1, 2, 3};
    expected.insert(expected.end(), v6.begin(), v6.end());
    EXPECT_EQ(all, expected);

    // The local address goes first and only once.
    sockaddr_in local = IPv4("10.1.2.3");
    local.sin_port = htons(50123);
    Bytes withLocal = Produce(0, [&](STREAM& s)
                              { EXPECT_EQ(list.WriteAddressList(s, reinterpret_cast<const sockaddr*>(&local)), 2); });
    EXPECT_EQ(withLocal, expected);

    sockaddr_in6 localV6 = IPv6("2001:db8::5");
    Bytes v6First =
        Produce(0, [&](STREAM& s) { list.WriteAddressList(s, reinterpret_cast<const sockaddr*>(&localV6)); });
    Bytes expectedV6First = v6;
    expectedV6First.insert(expectedV6First.end(), {4, 10, 1, 2, 3});
    EXPECT_EQ(v6First, expectedV6First);
}

TEST(AddressList, EmptyListWithLocalAddressWritesOnlyTheLocalOne)
{
    CAddressList list;
    sockaddr_in6 local = IPv6("::1");
    Bytes bytes = Produce(0, [&](STREAM& s) { list.WriteAddressList(s, reinterpret_cast<const sockaddr*>(&local)); });
    Bytes expected{6, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
    EXPECT_EQ(bytes, expected);
}

TEST(AddressList, OverflowStopsAfterTheLastCompleteAddress)
{
    CAddressList list;
    Add(list, IPv4("10.0.0.1"));
    Add(list, IPv4("10.0.0.2"));
    uint8_t buffer[8];
    STREAM stream(buffer, sizeof(buffer), 0);
    EXPECT_THROW(list.WriteAddressList(stream), CException);
    EXPECT_EQ(stream.Produced(), 5u);
    EXPECT_EQ(Bytes(buffer, buffer + 5), (Bytes{4, 10, 0, 0, 1}));
}

#include "query/InlineCompletions.h"

#include <gtest/gtest.h>

namespace
{
COMPLETION_PACKET PacketFor(size_t n)
{
    COMPLETION_PACKET packet;
    packet.Bytes = static_cast<DWORD>(n);
    packet.Key = 100 + n;
    return packet;
}

// The byte counts of the packets waiting in the port, in order.
std::vector<DWORD> Drain(CIOCompletionPort& port)
{
    std::vector<DWORD> bytes;
    COMPLETION_PACKET packet;
    while (port.Dequeue(packet, 0))
        bytes.push_back(packet.Bytes);
    return bytes;
}
} // namespace

// What is collected comes back in order; what does not fit, what another
// port's operations complete, and what is left at the end all reach the port.
TEST(InlineCompletions, CollectsInOrderAndHandsTheRestToThePort)
{
    CIOCompletionPort port, otherPort;
    ASSERT_TRUE(port.Create(0));
    ASSERT_TRUE(otherPort.Create(0));
    {
        CInlineCompletions collection(port);
        for (size_t n = 0; n < CInlineCompletions::Capacity + 2; ++n)
            EXPECT_TRUE(CInlineCompletions::Add(port, PacketFor(n)));
        EXPECT_TRUE(CInlineCompletions::Add(otherPort, PacketFor(500)));
        EXPECT_EQ(Drain(port), (std::vector<DWORD>{CInlineCompletions::Capacity, CInlineCompletions::Capacity + 1}));
        EXPECT_EQ(Drain(otherPort), std::vector<DWORD>{500});

        COMPLETION_PACKET packet;
        for (size_t n = 0; n < 3; ++n)
        {
            ASSERT_TRUE(collection.Take(packet));
            EXPECT_EQ(packet.Bytes, n);
            EXPECT_EQ(packet.Key, 100 + n);
        }
    }
    std::vector<DWORD> left = Drain(port);
    ASSERT_EQ(left.size(), CInlineCompletions::Capacity - 3);
    EXPECT_EQ(left.front(), 3u);
    // Without a collection on the thread, straight to the port.
    EXPECT_TRUE(CInlineCompletions::Add(port, PacketFor(7)));
    EXPECT_EQ(Drain(port), std::vector<DWORD>{7});
}

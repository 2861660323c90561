#include "common/MD5.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <string>

namespace
{
std::wstring DigestOf(const std::string& data, size_t splitEvery = 0)
{
    CMD5 md5;
    md5.Init();
    if (splitEvery == 0)
        md5.Update(data.data(), data.size());
    else
        for (size_t offset = 0; offset < data.size(); offset += splitEvery)
            md5.Update(data.data() + offset, std::min(splitEvery, data.size() - offset));
    md5.Final();
    uint8_t digest[16];
    md5.GetDigest(digest);
    return Md5ToHex(digest);
}
} // namespace

TEST(MD5, Rfc1321TestSuite)
{
    const std::pair<const char*, const wchar_t*> suite[] = {
        {"", L"D41D8CD98F00B204E9800998ECF8427E"},
        {"a", L"0CC175B9C0F1B6A831C399E269772661"},
        {"abc", L"900150983CD24FB0D6963F7D28E17F72"},
        {"message digest", L"F96B697D7CB7938D525A2F31AAF161D0"},
        {"abcdefghijklmnopqrstuvwxyz", L"C3FCD3D76192E4007DFB496CCA67E13B"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", L"D174AB98D277D9F5A5611C2C9F419D9F"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         L"57EDF4A22BE3C955AC49DA2E2107B67A"},
    };
    for (const auto& [input, digest] : suite)
        EXPECT_EQ(DigestOf(input), digest) << input;
}

TEST(MD5, SplitUpdatesGiveTheSameDigest)
{
    std::string data;
    for (int i = 0; i < 1000; ++i)
        data += static_cast<char>(i * 7 + 3);
    std::wstring whole = DigestOf(data);
    for (size_t split : {1, 3, 55, 63, 64, 65, 127, 999})
        EXPECT_EQ(DigestOf(data, split), whole) << split;
}

// 55 bytes fit the padding into one block; 56 and 64 need another.
TEST(MD5, PaddingBoundaries)
{
    EXPECT_EQ(DigestOf(std::string(55, 'a')), L"EF1772B6DFF9A122358552954AD0DF65");
    EXPECT_EQ(DigestOf(std::string(56, 'a')), L"3B0C8AC703F828B04C6C197006D17218");
    EXPECT_EQ(DigestOf(std::string(64, 'a')), L"014842D480B571495A4A0363793F7367");
}

TEST(MD5, InitStartsOverAndHexIsUpperCase)
{
    CMD5 md5;
    md5.Update("garbage", 7);
    md5.Init();
    md5.Update("abc", 3);
    md5.Final();
    uint8_t digest[16];
    md5.GetDigest(digest);
    EXPECT_EQ(Md5ToHex(digest), L"900150983CD24FB0D6963F7D28E17F72");
    const uint8_t bytes[16] = {0xab, 0xcd, 0xef, 0x01, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff};
    EXPECT_EQ(Md5ToHex(bytes), L"ABCDEF010000000000000000000000FF");
}

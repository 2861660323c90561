#include "common/Version.h"
#include "update/Manifest.h"

#include <gtest/gtest.h>

TEST(Manifest, ReadsTrimmedFieldsAndSkipsShortLines)
{
    auto entries = ParseManifest(L" Kestrin.new | 0123456789abcdef0123456789ABCDEF | 5.1.3 \r\n\r\n"
                                 L"no separator here\nreadme.txt|FEDCBA9876543210FEDCBA9876543210\r"
                                 L"a|b|1.2.3|extra");
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].FileName, L"Kestrin.new");
    EXPECT_EQ(entries[0].Md5, L"0123456789abcdef0123456789ABCDEF");
    EXPECT_EQ(entries[0].Version, L"5.1.3");
    EXPECT_EQ(entries[1].FileName, L"readme.txt");
    EXPECT_EQ(entries[1].Version, L"");
    EXPECT_EQ(entries[2].Version, L"1.2.3");
    EXPECT_TRUE(ParseManifest(L"").empty());
}

TEST(Version, NewerByMajorMinorAndBuildOnly)
{
    const struct
    {
        const wchar_t* available;
        const wchar_t* running;
        bool newer;
    } cases[] = {
        {L"5.1.2", L"5.1.2.7", false}, {L"5.1.3", L"5.1.2.7", true},  {L"6.0.0", L"5.9.9", true},
        {L"5.9.9", L"6.0.0", false},   {L"2.1.14", L"2.1.14", false}, {L"2.1.15.0", L"2.1.14.9", true},
        {L"10.0.0", L"9.99.99", true},
    };
    for (const auto& test : cases)
    {
        unsigned long available[3] = {};
        unsigned long running[3] = {};
        ASSERT_TRUE(ParseVersionTriple(test.available, available)) << test.available;
        ASSERT_TRUE(ParseVersionTriple(test.running, running)) << test.running;
        EXPECT_EQ(IsNewerTriple(available, running), test.newer) << test.available << " vs " << test.running;
    }
    unsigned long parts[3] = {};
    EXPECT_FALSE(ParseVersionTriple(L"5.1", parts));
    EXPECT_FALSE(ParseVersionTriple(L"", parts));
}

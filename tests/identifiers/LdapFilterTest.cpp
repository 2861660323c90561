#include "identifiers/LdapFilter.h"

#include <gtest/gtest.h>

TEST(LdapFilter, EscapesExactlyTheFilterSpecialCharacters)
{
    const struct
    {
        std::wstring value;
        std::wstring escaped;
    } cases[] = {
        {L"alice", L"alice"},
        {L"", L""},
        {L"x)(uid=*", L"x\\29\\28uid=\\2a"},
        {L"star*", L"star\\2a"},
        {L"back\\slash", L"back\\5cslash"},
        {std::wstring(L"nul\0end", 7), L"nul\\00end"},
        // Already escaped text is escaped again: the value is taken literally.
        {L"\\2a", L"\\5c2a"},
        // Other characters, "=" and non-ASCII ones included, stay as they are.
        {L"Jos\u00e9 = &|!~<>", L"Jos\u00e9 = &|!~<>"},
    };
    for (const auto& test : cases)
        EXPECT_EQ(EscapeFilterValue(test.value), test.escaped) << test.escaped;
}

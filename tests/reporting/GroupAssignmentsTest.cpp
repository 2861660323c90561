#include "reporting/GroupAssignments.h"

#include <gtest/gtest.h>

namespace
{
std::vector<USER_GROUP> Groups(std::initializer_list<const wchar_t*> names)
{
    std::vector<USER_GROUP> groups;
    for (const wchar_t* name : names)
        groups.push_back(USER_GROUP{name, std::wstring(L"CN=") + name + L",DC=corp"});
    return groups;
}

std::vector<std::wstring> Names(const std::vector<USER_GROUP>& groups)
{
    std::vector<std::wstring> names;
    for (const auto& group : groups)
        names.push_back(group.Name);
    return names;
}
} // namespace

TEST(GroupAssignments, ParsesDomainNamesAndDistinguishedNames)
{
    const struct
    {
        std::wstring body;
        std::vector<std::wstring> assigned;
    } cases[] = {
        // As sent: the backslash JSON-escaped.
        {LR"(["CORP\\Sales","CN=Staff,OU=Groups"])", {L"Sales", L"Staff"}},
        // The empty array is one piece, a name no group has.
        {L"[]", {L"[]"}},
        // White space around the elements makes pieces of its own.
        {L"[\n\"CORP\\\\Sales\", \"cn=Staff,ou=Groups\"]", {L"[", L"Sales", L",", L"Staff"}},
        // A DN without a comma names nothing.
        {LR"(["CN=Staff"])", {L""}},
        // An escaped comma stays in the name, as the directory's names have it.
        {LR"(["CN=Smith\\, John,OU=Groups"])", {L"Smith, John"}},
    };
    for (const auto& test : cases)
        EXPECT_EQ(ParseGroupAssignments(test.body), test.assigned) << test.body;
}

TEST(GroupAssignments, PruningKeepsAssignedGroupsInTheirOrderInAnyCase)
{
    const struct
    {
        std::vector<std::wstring> assigned;
        std::vector<std::wstring> kept;
    } cases[] = {
        {{L"sales", L"STAFF"}, {L"Staff", L"Sales"}},
        {{}, {}},
        {{L""}, {}},
        {{L"Smith, John"}, {L"Smith, John"}},
    };
    for (const auto& test : cases)
    {
        auto groups = Groups({L"Staff", L"Domain Users", L"Sales", L"Smith, John"});
        PruneToAssignments(groups, test.assigned);
        EXPECT_EQ(Names(groups), test.kept);
    }
}

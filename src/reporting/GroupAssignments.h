#pragma once

#include "identity/IdentityRecords.h"

#include <string>
#include <vector>

// The group names in the server's assignment list: the body of
// "/api/agents/group_assignments", a JSON array of strings, each a DN
// ("CN=Sales,OU=Groups,...": the CN's value) or a domain and name
// ("CORP\\Sales", JSON-escaped: the name).
std::vector<std::wstring> ParseGroupAssignments(const std::wstring& body);

// Removes, keeping the order of the rest, every group whose name is not
// assigned (compared without regard to case).
void PruneToAssignments(std::vector<USER_GROUP>& groups, const std::vector<std::wstring>& assigned);

// Fetches the assignments from the server and prunes the groups to them,
// unless "Disable User Group Pruning" is set. Any failure leaves the groups
// as they were and returns false.
bool GetGroupAssignments(const std::wstring& server, std::vector<USER_GROUP>& groups);

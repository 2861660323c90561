#include "identity/IdentityBlocks.h"

#include "identity/Stream.h"

uint32_t IdentityFieldMask(const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user)
{
    uint32_t mask = 0;
    if (agent.Flags & AGENT_VERSION_VALID)
        mask |= FIELD_AGENT_VERSION;
    if (computer.Flags & COMPUTER_OS_VALID)
        mask |= FIELD_OS;
    if (computer.Flags & COMPUTER_NAME_VALID)
        mask |= FIELD_COMPUTER_NAME;
    if (computer.Flags & COMPUTER_DN_VALID)
        mask |= FIELD_COMPUTER_DN | FIELD_COMPUTER_OU;
    if (user.Flags & USER_NAME_VALID)
        mask |= FIELD_USER_NAME;
    if (user.Flags & USER_DN_VALID)
        mask |= FIELD_USER_DN | FIELD_USER_OU;
    if (user.Flags & USER_GROUPS_VALID)
        mask |= FIELD_GROUP_NAMES | FIELD_GROUP_DNS;
    return mask;
}

std::wstring QualifiedName(const std::wstring& domain, const std::wstring& name)
{
    return domain.empty() ? name : domain + L"\\" + name;
}

void WriteIdentityBlocks(STREAM& stream, uint32_t mask, const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer,
                         const USER_IDENTITY& user)
{
    if (mask & FIELD_AGENT_VERSION)
    {
        stream.WriteU8(agent.Kind);
        stream.WriteU8(agent.Major);
        stream.WriteU8(agent.Minor);
        stream.WriteU8(agent.Build);
    }
    if (mask & FIELD_OS)
    {
        stream.WriteU8(computer.OSCode);
        stream.WriteU8(static_cast<uint8_t>(computer.OSMajor));
        stream.WriteU8(static_cast<uint8_t>(computer.OSMinor));
    }
    if (mask & FIELD_COMPUTER_NAME)
        stream.WriteAnsiString(QualifiedName(computer.Domain, computer.Name));
    if (mask & FIELD_COMPUTER_DN)
        stream.WriteAnsiString(computer.DN);
    if (mask & FIELD_COMPUTER_OU)
        stream.WriteAnsiString(computer.OU);
    if (mask & FIELD_USER_NAME)
        stream.WriteAnsiString(QualifiedName(user.Domain, user.Name));
    if (mask & FIELD_USER_DN)
        stream.WriteAnsiString(user.DN);
    if (mask & FIELD_USER_OU)
        stream.WriteAnsiString(user.OU);
}

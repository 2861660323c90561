#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

// Flags bits: which fields of the records hold valid data.
enum IdentityFlags : uint32_t
{
    AGENT_VERSION_VALID = 0x1,
    COMPUTER_OS_VALID = 0x2,
    COMPUTER_NAME_VALID = 0x4,
    COMPUTER_DN_VALID = 0x8,
    USER_NAME_VALID = 0x10,
    USER_DN_VALID = 0x20,
    USER_GROUPS_VALID = 0x40,
};

constexpr DWORD NO_USER_SESSION = 0x8000FFFF;

struct AGENT_VERSION
{
    uint32_t Flags = 0;
    uint8_t Kind = 0; // 16 once filled
    uint32_t Packed = 0;
    uint8_t Major = 0;
    uint8_t Minor = 0;
    uint8_t Build = 0;
};

struct COMPUTER_IDENTITY
{
    uint32_t Flags = 0;
    uint32_t OSMajor = 0;
    uint32_t OSMinor = 0;
    uint32_t OSBuild = 0;
    uint16_t SuiteMask = 0;
    uint8_t ProductType = 0;
    uint8_t OSCode = 0;
    std::wstring Name;
    std::wstring Domain;
    std::wstring DN;
    std::wstring OU;
    GUID MachineUUID{};
};

// A group of the user; winsock2.h already defines the name GROUP.
struct USER_GROUP
{
    std::wstring Name;
    std::wstring DN;
};

struct USER_IDENTITY
{
    uint32_t Flags = 0;
    std::wstring Name;
    std::wstring OU;
    std::wstring Domain;
    std::wstring DN;
    std::vector<USER_GROUP> Groups;
};

struct IDENTITY
{
    AGENT_VERSION Agent;
    COMPUTER_IDENTITY Computer;
    USER_IDENTITY User;
};

// The agent version from a "FileVersion" text such as "2.1.14.0"; Flags 1 and
// Kind 16 even when the text has fewer than three numbers.
AGENT_VERSION AgentVersionFrom(const std::wstring& fileVersion);

// The one-byte OS family code for a major.minor version and product type.
uint8_t OSCodeFor(DWORD major, DWORD minor, BYTE productType);

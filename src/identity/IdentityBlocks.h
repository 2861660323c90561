#pragma once

#include "identity/IdentityRecords.h"

#include <cstdint>
#include <string>

struct STREAM;

// The optional blocks of an identity on the wire, as the report to the
// Identification Server and the NextGen query reply both carry them; the bits
// name them in both protocols' field masks.
enum IdentityField : uint32_t
{
    FIELD_AGENT_VERSION = 0x002,
    FIELD_OS = 0x004,
    FIELD_COMPUTER_NAME = 0x008,
    FIELD_COMPUTER_DN = 0x010,
    FIELD_COMPUTER_OU = 0x020,
    FIELD_USER_NAME = 0x040,
    FIELD_USER_DN = 0x080,
    FIELD_USER_OU = 0x100,
    FIELD_GROUP_NAMES = 0x200,
    FIELD_GROUP_DNS = 0x400,
};

// The blocks the records' Flags make available.
uint32_t IdentityFieldMask(const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user);

// "DOMAIN\name", or the bare name when there is no domain.
std::wstring QualifiedName(const std::wstring& domain, const std::wstring& name);

// Writes the blocks of the mask from the agent version to the user's OU, in
// wire order; the group block differs between the protocols and is theirs.
void WriteIdentityBlocks(STREAM& stream, uint32_t mask, const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer,
                         const USER_IDENTITY& user);

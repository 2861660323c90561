#include "query/NQRPReplies.h"

#include "common/StringConvert.h"
#include "identity/AddressList.h"
#include "identity/Stream.h"
#include "query/NQRPProtocol.h"

#include <algorithm>

namespace
{
constexpr uint16_t NQRPReplyConstant = 30;
constexpr uint8_t NextGenConstant = 1;
constexpr uint16_t UuidLength = 16;
// Function code, request id, reserved, mask, constant, UUID length and UUID.
constexpr uint64_t NextGenFixedBytes = 31;

std::wstring UpperCase(std::wstring text)
{
    if (!text.empty())
        CharUpperBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

void WriteWide(STREAM& stream, const std::wstring& text)
{
    stream.WriteWideString(text.c_str(), static_cast<uint32_t>(text.size()));
}

// A narrow string on the wire: its bytes and a terminator, and one byte to
// spare.
uint64_t StringBytes(const std::wstring& text) { return WideToAnsi(text).size() + 2; }

// The domain part of a qualified name, counted as a string of its own.
uint64_t DomainBytes(const std::wstring& domain) { return domain.empty() ? 0 : StringBytes(L"\\" + domain); }

uint64_t GroupBytes(const USER_IDENTITY& user, uint32_t mask)
{
    if (!(mask & (FIELD_GROUP_NAMES | FIELD_GROUP_DNS)))
        return 0;
    uint64_t bytes = 3;
    for (const auto& group : user.Groups)
    {
        if (mask & FIELD_GROUP_NAMES)
            bytes += StringBytes(group.Name) + DomainBytes(user.Domain);
        if (mask & FIELD_GROUP_DNS)
            bytes += StringBytes(group.DN);
    }
    return bytes;
}

uint64_t OptionalBytes(const IDENTITY& identity, uint32_t mask)
{
    const COMPUTER_IDENTITY& computer = identity.Computer;
    const USER_IDENTITY& user = identity.User;
    uint64_t bytes = 0;
    if (mask & FIELD_AGENT_VERSION)
        bytes += 4;
    if (mask & FIELD_OS)
        bytes += 3;
    if (mask & FIELD_COMPUTER_NAME)
        bytes += StringBytes(computer.Name) + DomainBytes(computer.Domain);
    if (mask & FIELD_COMPUTER_DN)
        bytes += StringBytes(computer.DN);
    if (mask & FIELD_COMPUTER_OU)
        bytes += StringBytes(computer.OU);
    // The user name is counted at two bytes a character: a multi-byte code
    // page may need that many.
    if (mask & FIELD_USER_NAME)
        bytes += 2 * user.Name.size() + 2 + DomainBytes(user.Domain);
    if (mask & FIELD_USER_DN)
        bytes += StringBytes(user.DN);
    if (mask & FIELD_USER_OU)
        bytes += StringBytes(user.OU);
    return bytes + GroupBytes(user, mask);
}

// The address count goes before the addresses but is only known once they
// are written: the list may change between counting and writing.
void WriteAddresses(STREAM& stream, const CAddressList& addresses)
{
    uint8_t* count = stream.Cursor;
    stream.WriteU16(0);
    uint16_t written = addresses.WriteAddressList(stream);
    count[0] = static_cast<uint8_t>(written);
    count[1] = static_cast<uint8_t>(written >> 8);
}

void WriteGroups(STREAM& stream, const USER_IDENTITY& user, uint32_t mask)
{
    if (!(mask & (FIELD_GROUP_NAMES | FIELD_GROUP_DNS)))
        return;
    stream.WriteU16(static_cast<uint16_t>(user.Groups.size()));
    stream.WriteU8(0);
    for (const auto& group : user.Groups)
    {
        if (mask & FIELD_GROUP_NAMES)
            stream.WriteAnsiString(QualifiedName(user.Domain, group.Name));
        if (mask & FIELD_GROUP_DNS)
            stream.WriteAnsiString(group.DN);
    }
}

void WriteOptionalFields(STREAM& stream, uint32_t mask, const IDENTITY& identity)
{
    WriteIdentityBlocks(stream, mask, identity.Agent, identity.Computer, identity.User);
    WriteGroups(stream, identity.User, mask);
}
} // namespace

uint16_t NetworkTypeCode(DWORD effectiveNetworkType)
{
    switch (effectiveNetworkType)
    {
    case 1:
        return 1;
    case 2:
        return 2;
    case 3:
        return 4;
    default:
        return 0;
    }
}

void WriteNQRPQueryReply(STREAM& stream, uint32_t requestId, DWORD effectiveNetworkType,
                         const COMPUTER_IDENTITY& computer, const NQRP_HOST_INFO& host)
{
    stream.WriteU16(NQRP_QUERY_REPLY);
    stream.WriteU32(requestId);
    stream.WriteU16(NetworkTypeCode(effectiveNetworkType));
    stream.WriteU16(NQRPReplyConstant);
    stream.WriteU32(computer.OSMajor);
    stream.WriteU32(computer.OSMinor);
    stream.WriteU32(computer.OSBuild);
    stream.WriteU32(0);
    stream.WriteU32(0);
    // The backslash stays even without a domain.
    WriteWide(stream, UpperCase(computer.Domain + L"\\" + computer.Name));
    WriteWide(stream, host.AgentVersion);
    WriteWide(stream, L"");
    WriteWide(stream, host.ProgramDirectory);
    WriteWide(stream, host.SystemDirectory);
}

void WriteLogonUserReply(STREAM& stream, uint32_t requestId, DWORD effectiveNetworkType, const IDENTITY& identity)
{
    const USER_IDENTITY& user = identity.User;
    stream.WriteU16(LOGON_USER_QUERY_REPLY);
    stream.WriteU32(requestId);
    stream.WriteU16(0);
    stream.WriteU16(NetworkTypeCode(effectiveNetworkType));
    WriteWide(stream, identity.Computer.Domain + L"\\" + identity.Computer.Name);
    // Only a Microsoft network qualifies the user with the domain.
    bool qualified = effectiveNetworkType == 1 && !user.Domain.empty();
    WriteWide(stream, qualified ? user.Domain + L"\\" + user.Name : user.Name);
    WriteWide(stream, user.OU);
    for (const auto& group : user.Groups)
        WriteWide(stream, LowerCase(group.Name));
    WriteWide(stream, L"");
}

uint32_t NextGenReplyMask(const IDENTITY& identity, uint32_t requested)
{
    return IdentityFieldMask(identity.Agent, identity.Computer, identity.User) & requested;
}

uint32_t NextGenReplySize(const IDENTITY& identity, uint32_t mask, const CAddressList& addresses)
{
    uint64_t size = NextGenFixedBytes + 2 + addresses.AddressListSize() + OptionalBytes(identity, mask);
    return static_cast<uint32_t>(std::min<uint64_t>(size, UINT32_MAX));
}

void WriteNextGenReply(STREAM& stream, uint32_t requestId, uint32_t mask, const IDENTITY& identity,
                       const CAddressList& addresses)
{
    stream.WriteU16(LOGON_USER_QUERY_EX_REPLY);
    stream.WriteU32(requestId);
    stream.WriteU16(0);
    stream.WriteU32(mask);
    stream.WriteU8(NextGenConstant);
    stream.WriteU16(UuidLength);
    // The GUID's bytes as they lie in memory.
    stream.WriteBytes(&identity.Computer.MachineUUID, UuidLength);
    WriteAddresses(stream, addresses);
    WriteOptionalFields(stream, mask, identity);
}

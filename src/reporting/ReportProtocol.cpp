#include "reporting/ReportProtocol.h"

#include "common/Format.h"
#include "common/StringConvert.h"
#include "diag/Exception.h"
#include "diag/Log.h"
#include "identity/AddressList.h"
#include "identity/IdentityBlocks.h"
#include "identity/Stream.h"

#include <cstring>
#include <cwchar>

namespace
{
constexpr uint32_t HeaderSize = 15;
constexpr uint16_t RequestVersion = 3;
constexpr uint16_t RequestCode = 0x0010;
constexpr uint32_t SequenceId = 1;
constexpr uint8_t Marker = 1;
constexpr uint16_t ResponseFlag = 0x8000;
constexpr uint32_t Version1Success = 3;
constexpr uint32_t LargestLength = 0xFFFF;

constexpr uint32_t FIELD_REPORT_TYPE = 0x800;

uint32_t AnsiLength(const std::wstring& text) { return static_cast<uint32_t>(WideToAnsi(text).size()); }

// The size of a domain-qualified string as the upper bound counts it: both
// parts with a prefix each.
uint32_t QualifiedSize(uint32_t nameLength, const std::wstring& domain)
{
    return nameLength + 2 + (domain.empty() ? 0 : AnsiLength(L"\\" + domain) + 2);
}

uint32_t LocalAddressSize(const sockaddr* local)
{
    if (!local)
        return 0;
    return local->sa_family == AF_INET6 ? 17 : local->sa_family == AF_INET ? 5 : 0;
}

uint32_t CalculateSize(uint32_t mask, const sockaddr* local, const COMPUTER_IDENTITY& computer,
                       const USER_IDENTITY& user, const CAddressList& addresses)
{
    uint32_t size = 35 + LocalAddressSize(local) + addresses.AddressListSize() + 1;
    if (mask & FIELD_AGENT_VERSION)
        size += 4;
    if (mask & FIELD_OS)
        size += 3;
    if (mask & FIELD_COMPUTER_NAME)
        size += QualifiedSize(AnsiLength(computer.Name), computer.Domain);
    if (mask & FIELD_COMPUTER_DN)
        size += AnsiLength(computer.DN) + 2;
    if (mask & FIELD_COMPUTER_OU)
        size += AnsiLength(computer.OU) + 2;
    if (mask & FIELD_USER_NAME)
        size += QualifiedSize(2 * static_cast<uint32_t>(user.Name.size()), user.Domain);
    if (mask & FIELD_USER_DN)
        size += AnsiLength(user.DN) + 2;
    if (mask & FIELD_USER_OU)
        size += AnsiLength(user.OU) + 2;
    if (mask & (FIELD_GROUP_NAMES | FIELD_GROUP_DNS))
    {
        size += 3;
        for (const auto& group : user.Groups)
        {
            if (mask & FIELD_GROUP_NAMES)
                size += AnsiLength(QualifiedName(user.Domain, group.Name)) + 2;
            if (mask & FIELD_GROUP_DNS)
                size += AnsiLength(group.DN) + 2;
        }
    }
    return size;
}

void WriteHeader(uint8_t* buffer, uint32_t mask)
{
    STREAM header(buffer, HeaderSize, 0);
    header.WriteU16(0);
    header.WriteU16(htons(RequestVersion));
    header.WriteU16(htons(RequestCode));
    header.WriteU32(htonl(SequenceId));
    header.WriteU32(htonl(mask));
    header.WriteU8(Marker);
}

// Each 16-bit word of the GUID's memory goes out big-endian.
void WriteUuid(STREAM& stream, const GUID& uuid)
{
    stream.WriteU16(htons(16));
    uint8_t bytes[16];
    std::memcpy(bytes, &uuid, sizeof(bytes));
    for (int i = 0; i < 16; i += 2)
    {
        stream.WriteU8(bytes[i + 1]);
        stream.WriteU8(bytes[i]);
    }
}

void WriteAddresses(STREAM& stream, const sockaddr* local, const CAddressList& addresses)
{
    uint8_t* countAt = stream.Cursor;
    stream.WriteU16(0);
    uint16_t count = addresses.WriteAddressList(stream, local);
    countAt[0] = static_cast<uint8_t>(count >> 8);
    countAt[1] = static_cast<uint8_t>(count);
}

void WriteGroups(STREAM& stream, uint32_t mask, const USER_IDENTITY& user)
{
    stream.WriteU16(htons(static_cast<uint16_t>(user.Groups.size())));
    if (user.Groups.empty())
        return;
    stream.WriteU8(0);
    for (const auto& group : user.Groups)
    {
        if (mask & FIELD_GROUP_NAMES)
            stream.WriteAnsiString(QualifiedName(user.Domain, group.Name));
        if (mask & FIELD_GROUP_DNS)
            stream.WriteAnsiString(group.DN);
    }
}

void WriteBody(STREAM& stream, uint32_t mask, const sockaddr* local, uint8_t reportType, const AGENT_VERSION& agent,
               const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user, const CAddressList& addresses)
{
    WriteUuid(stream, computer.MachineUUID);
    WriteAddresses(stream, local, addresses);
    WriteIdentityBlocks(stream, mask, agent, computer, user);
    if (mask & (FIELD_GROUP_NAMES | FIELD_GROUP_DNS))
        WriteGroups(stream, mask, user);
    stream.WriteU8(reportType);
}

uint16_t BigEndian16(const uint8_t* bytes) { return static_cast<uint16_t>(bytes[0] << 8 | bytes[1]); }

uint32_t BigEndian32(const uint8_t* bytes)
{
    return uint32_t(bytes[0]) << 24 | uint32_t(bytes[1]) << 16 | uint32_t(bytes[2]) << 8 | bytes[3];
}

void RequireReplyBytes(uint32_t received, uint32_t needed, uint16_t version)
{
    // A reply too short for its version's fields would have them read from
    // whatever the buffer held before.
    if (received < needed)
        throw CException(0, FormatString(L"[!] CIdentity::Report: Response (v%lu) too short: %lu bytes",
                                         (unsigned long)version, (unsigned long)received));
}
} // namespace

uint32_t ReportFieldMask(const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user)
{
    return IdentityFieldMask(agent, computer, user) | FIELD_REPORT_TYPE;
}

bool ParseAddressLiteral(const std::wstring& text, in_addr& address)
{
    address.s_addr = 0;
    if (_wcsicmp(text.c_str(), L"any") == 0)
        return true;
    if (text.empty() || text.front() == L'.' || text.back() == L'.' || text.find(L"..") != std::wstring::npos)
        return false;
    unsigned parts[4];
    int count = 0;
    size_t start = 0;
    while (start <= text.size())
    {
        size_t dot = text.find(L'.', start);
        std::wstring part = text.substr(start, dot == std::wstring::npos ? std::wstring::npos : dot - start);
        if (count == 4 || part.empty() || part.size() > 3 ||
            part.find_first_not_of(L"0123456789") != std::wstring::npos)
            return false;
        parts[count++] = static_cast<unsigned>(wcstoul(part.c_str(), nullptr, 10)) % 256;
        if (dot == std::wstring::npos)
            break;
        start = dot + 1;
    }
    uint8_t bytes[4] = {};
    for (int i = 0; i < count; ++i)
        bytes[4 - count + i] = static_cast<uint8_t>(parts[i]);
    std::memcpy(&address, bytes, 4);
    return true;
}

uint32_t MakeReportRequest(uint8_t* buffer, uint32_t bufferSize, const sockaddr* local, uint8_t reportType,
                           const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user,
                           const CAddressList& addresses)
{
    uint32_t mask = ReportFieldMask(agent, computer, user);
    uint32_t calculated = CalculateSize(mask, local, computer, user, addresses);
    if (calculated > bufferSize)
        throw CException(0, FormatString(L"[!] CIdentity::MakeReportRequest: Calculated request size larger than "
                                         L"supplied buffer size; CalcSize=%lu, BufSize=%lu",
                                         (unsigned long)calculated, (unsigned long)bufferSize));
    WriteHeader(buffer, mask);
    STREAM stream(buffer, calculated, STREAM::StreamPrefixed);
    stream.Cursor = stream.HighWater = buffer + HeaderSize;
    try
    {
        WriteBody(stream, mask, local, reportType, agent, computer, user, addresses);
    }
    catch (const CException& exception)
    {
        throw CException(0, FormatString(L"[!] CIdentity::MakeReportRequest: Exception caught while streaming "
                                         L"request data; %s",
                                         exception.Message.c_str()));
    }
    uint32_t length = stream.Produced();
    // The length field has 16 bits: a longer request would be misread by the
    // server and corrupt the rest of the connection, so it is never sent.
    if (length > LargestLength)
        throw CException(0, FormatString(L"[!] CIdentity::MakeReportRequest: Request of %lu bytes exceeds the "
                                         L"largest reportable length of %lu bytes",
                                         (unsigned long)length, (unsigned long)LargestLength));
    buffer[0] = static_cast<uint8_t>(length >> 8);
    buffer[1] = static_cast<uint8_t>(length);
    return length;
}

void CheckReportReply(const uint8_t* reply, uint32_t received)
{
    if (received < 4 || BigEndian16(reply) != received)
        throw CException(0, L"[!] CIdentity::Report: Response length does not match actual receive length");
    uint16_t version = BigEndian16(reply + 2);
    switch (version)
    {
    case 3:
        RequireReplyBytes(received, 14, version);
        if (!(BigEndian16(reply + 4) & ResponseFlag))
            throw CException(0, L"[!] CIdentity::Report: Missing response (v3) flag in response");
        if (BigEndian32(reply + 6) != SequenceId)
            throw CException(0, FormatString(L"[!] CIdentity::Report: Mismatch in response (v3) sequence ID: %lu",
                                             (unsigned long)BigEndian32(reply + 6)));
        if (BigEndian32(reply + 10) != 0)
            throw CException(0, FormatString(L"[!] CIdentity::Report: Error in response (v3): 0x%lx",
                                             (unsigned long)BigEndian32(reply + 10)));
        return;
    case 1:
    {
        RequireReplyBytes(received, 18, version);
        uint32_t status =
            uint32_t(reply[14]) | uint32_t(reply[15]) << 8 | uint32_t(reply[16]) << 16 | uint32_t(reply[17]) << 24;
        if (status != Version1Success)
            throw CException(0, L"[!] CIdentity::Report: Unknown response from a version 1 server!");
        return;
    }
    case 2:
        LogMessage(L"[!] CIdentity::Report: Unknown response from a version 2 server!");
        return;
    default:
        throw CException(
            0, FormatString(L"[!] CIdentity::Report: Unknown version in response header: %lu", (unsigned long)version));
    }
}

bool IsRetryableReportError(uint32_t code)
{
    switch (code)
    {
    case WSAENETDOWN:
    case WSAENETUNREACH:
    case WSAENETRESET:
    case WSAECONNABORTED:
    case WSAECONNRESET:
    case WSAETIMEDOUT:
    case WSAECONNREFUSED:
    case WSAEHOSTDOWN:
    case WSAEHOSTUNREACH:
    case WSATRY_AGAIN:
        return true;
    default:
        return false;
    }
}

#pragma once

#include "identity/IdentityRecords.h"

#include <windows.h>

#include <cstdint>
#include <string>

struct STREAM;
class CAddressList;

// The texts of the NQRP Query reply that describe the agent's installation.
struct NQRP_HOST_INFO
{
    std::wstring AgentVersion;
    std::wstring ProgramDirectory;
    std::wstring SystemDirectory;
};

// The network type code every reply carries: 1 Microsoft, 2 Novell, 4 LDAP,
// 0 for anything else.
uint16_t NetworkTypeCode(DWORD effectiveNetworkType);

// The reply writers work on a stream in terminated-string mode and throw
// CException(STREAM_E_OVERFLOW) when the reply does not fit it.
void WriteNQRPQueryReply(STREAM& stream, uint32_t requestId, DWORD effectiveNetworkType,
                         const COMPUTER_IDENTITY& computer, const NQRP_HOST_INFO& host);
void WriteLogonUserReply(STREAM& stream, uint32_t requestId, DWORD effectiveNetworkType, const IDENTITY& identity);

// The fields of a NextGen reply: those asked for that the identity has.
uint32_t NextGenReplyMask(const IDENTITY& identity, uint32_t requested);

// An upper bound of the NextGen reply's size for the mask.
uint32_t NextGenReplySize(const IDENTITY& identity, uint32_t mask, const CAddressList& addresses);

void WriteNextGenReply(STREAM& stream, uint32_t requestId, uint32_t mask, const IDENTITY& identity,
                       const CAddressList& addresses);

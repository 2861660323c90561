#pragma once

#include "identity/IdentityBlocks.h"

#include <cstdint>

// The query port and the numbers of the NQRP query protocol.
constexpr uint16_t NQRP_PORT = 1305;

enum NQRPFunction : uint16_t
{
    NQRP_QUERY = 0x0000,
    NQRP_QUERY_REPLY = 0x0002,
    LOGON_USER_QUERY = 0x0F00,
    LOGON_USER_QUERY_REPLY = 0x0F02,
    LOGON_USER_QUERY_EX = 0x0F10,
    LOGON_USER_QUERY_EX_REPLY = 0x0F12,
};

// The NextGen field mask uses the bits of IdentityField, as the report to the
// Identification Server does.

// Every query begins with the function code, a request id and two reserved
// bytes; shorter datagrams are not queries.
constexpr uint32_t NQRP_MIN_REQUEST = 8;

// The buffer a NextGen reply is built in.
constexpr uint32_t NEXTGEN_BUFFER_SIZE = 0x40000;

// The largest UDP payload of one datagram.
constexpr uint32_t MAX_DATAGRAM_IPV4 = 65507;
constexpr uint32_t MAX_DATAGRAM_IPV6 = 65527;

// The fields of a query after its function code.
struct NQRP_REQUEST
{
    uint32_t RequestId = 0;
    uint32_t FieldMask = 0; // NextGen only
};

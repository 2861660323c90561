#pragma once

#include "identity/IdentityRecords.h"

#include <cstdint>
#include <string>
#include <winsock2.h>

enum ReportType : uint8_t
{
    REPORT_STARTUP = 0x10,
    REPORT_USER = 0x20,
    REPORT_NO_USER = 0x21,
    REPORT_HEARTBEAT = 0x30,
};

constexpr uint16_t IDENTIFICATION_SERVER_PORT = 1306;
constexpr uint32_t REPORT_BUFFER_SIZE = 262144;

class CAddressList;

// The blocks a report carries, from the records' Flags.
uint32_t ReportFieldMask(const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user);

// An IPv4 literal as the server option may hold it ("any", or one to four
// dot-separated decimal parts placed right-aligned); false for anything that
// is to be resolved by name.
bool ParseAddressLiteral(const std::wstring& text, in_addr& address);

// Builds a version-3 report request into buffer; returns its length. Throws
// CException with code 0 when it does not fit.
uint32_t MakeReportRequest(uint8_t* buffer, uint32_t bufferSize, const sockaddr* local, uint8_t reportType,
                           const AGENT_VERSION& agent, const COMPUTER_IDENTITY& computer, const USER_IDENTITY& user,
                           const CAddressList& addresses);

// Checks a reply as received; throws CException with code 0 when it is not an
// acknowledgement.
void CheckReportReply(const uint8_t* reply, uint32_t received);

// Socket errors after which a report is worth sending again.
bool IsRetryableReportError(uint32_t code);

#pragma once

#include "identity/IdentityRecords.h"

#include <windows.h>

class CAddressList;

// Upper-cases the computer's name and gives it its machine UUID: the stored
// one while the name stays the same, a new one when the name changed or no
// valid UUID is stored.
void UpdateMachineUUID(COMPUTER_IDENTITY& computer);

// 0 when "Machine UUID" was read; ERROR_FILE_NOT_FOUND when it is missing;
// another registry error or ERROR_INVALID_DATA when it is malformed. The GUID
// is zero unless it was read.
DWORD ReadMachineUUID(HKEY key, GUID& uuid);

// The machine ID of a computer name: MD5 over the name's first n bytes, as 32
// upper-case hexadecimal digits.
std::wstring MachineIdFor(const std::wstring& upperCaseName);

// Rebuilds the list from the up Ethernet and wireless adapters; returns the
// number of IPv4 addresses.
DWORD UpdateIPAddresses(CAddressList& addresses);

#pragma once

// Winsock's declarations, which iphlpapi.h needs before it, and ntdll's
// conversions between IP addresses and their text. MinGW's mstcpip.h declares
// those without C linkage, so C++ would link against names no DLL exports.
#include <winsock2.h>
#include <ws2ipdef.h>

extern "C"
{
#include <mstcpip.h>
}

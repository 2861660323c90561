#pragma once

#include "shared/NetworkHeaders.h"

#include <windows.h>

#include <iphlpapi.h>
#include <optional>
#include <string>
#include <vector>

// One unicast address of a scripted adapter: "192.168.1.10", "fe80::1%4" or,
// with its on-link prefix length, "10.0.0.5/8".
struct SCRIPTED_ADDRESS
{
    SOCKADDR_INET Address{};
    UINT8 PrefixLength = 0;
};

bool IsLoopback(const SOCKADDR_INET& address);
bool IsLinkLocal(const SOCKADDR_INET& address); // 169.254/16 or fe80::/10

// One adapter as a test scripted it under IPHelper\Adapters\<n>.
struct SCRIPTED_ADAPTER
{
    DWORD Number = 0; // the subkey's number, which also gives the interface index
    std::string AdapterName;
    std::wstring Description;
    std::wstring FriendlyName;
    IFTYPE IfType = IF_TYPE_ETHERNET_CSMACD;
    IF_OPER_STATUS OperStatus = IfOperStatusUp;
    std::vector<SCRIPTED_ADDRESS> Addresses;

    // An adapter runs a protocol when it has an address of its family, or
    // when it has no address at all (both protocols bound, nothing assigned).
    bool HasFamily(ADDRESS_FAMILY family) const;
    IF_INDEX IfIndex() const { return Number + 1; }
};

// The error GetAdaptersAddresses is scripted to return; none when zero.
std::optional<DWORD> ScriptedAdaptersError();

// True once, for the call that finds "AdaptersFault" and removes it: that
// call faults, as a system function reading a broken buffer would.
bool TakeScriptedFault();

// Without an "Adapters" key a test scripts no adapters, and Wine's own
// GetAdaptersAddresses answers.
bool AdaptersAreScripted();

// In ascending order of their numbers. ERROR_SUCCESS, or ERROR_INVALID_DATA
// when a scripted address is not an address.
DWORD ReadScriptedAdapters(std::vector<SCRIPTED_ADAPTER>& adapters);

// Parses the text form of a scripted address; false when it is not one.
bool ParseScriptedAddress(const std::wstring& text, SCRIPTED_ADDRESS& address);

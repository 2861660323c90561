#include "LogCapture.h"
#include "identifiers/ComputerIdentity.h"
#include "identity/AddressList.h"
#include "standins/StandinControl.h"

#include <algorithm>
#include <gtest/gtest.h>

namespace
{
STANDIN_ADAPTER Adapter(DWORD number, DWORD type, DWORD status, std::vector<std::wstring> addresses)
{
    STANDIN_ADAPTER adapter;
    adapter.Number = number;
    adapter.IfType = type;
    adapter.OperStatus = status;
    adapter.Description = L"Adapter " + std::to_wstring(number);
    adapter.FriendlyName = L"Connection " + std::to_wstring(number);
    adapter.Addresses = std::move(addresses);
    return adapter;
}

std::vector<std::string> AddressLines(const std::vector<std::string>& lines)
{
    std::vector<std::string> selected;
    std::copy_if(lines.begin(), lines.end(), std::back_inserter(selected),
                 [](const std::string& line) { return line.rfind("    - IP ADDRESS", 0) == 0; });
    return selected;
}
} // namespace

TEST(IPAddresses, OnlyUpEthernetAndWirelessAdaptersCount)
{
    CLogCapture log;
    CStandinScript script;
    ScriptAdapter(Adapter(1, 24, 1, {L"127.0.0.1", L"::1"}));           // loopback
    ScriptAdapter(Adapter(2, 6, 1, {L"192.168.1.10", L"2001:db8::1"})); // Ethernet, up
    ScriptAdapter(Adapter(3, 6, 2, {L"10.9.9.9"}));                     // Ethernet, down
    ScriptAdapter(Adapter(4, 71, 1, {L"172.16.0.5"}));                  // wireless, up
    ScriptAdapter(Adapter(5, 131, 1, {L"2001:db8::7"}));                // tunnel
    CAddressList addresses;
    EXPECT_EQ(UpdateIPAddresses(addresses), 2u);
    EXPECT_EQ(addresses.AddressCount(), 3u);
    EXPECT_EQ(addresses.AddressListSize(), 5u + 17u + 5u);

    auto lines = log.Lines();
    EXPECT_EQ(AddressLines(lines), (std::vector<std::string>{"    - IP ADDRESS (IPv4) = 192.168.1.10",
                                                             "    - IP ADDRESS (IPv6) = 2001:db8::1",
                                                             "    - IP ADDRESS (IPv4) = 172.16.0.5"}));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[*] IP Address Adapter Info => "), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "    Description: Adapter 4"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "    Friendly name: Connection 2"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "    Description: Adapter 3"), lines.end());
    EXPECT_EQ(std::find(lines.begin(), lines.end(), "[!] No active IP addresses found on machine."), lines.end());
}

TEST(IPAddresses, IPv6OnlyMachineHasAddressesButNoActiveCount)
{
    CLogCapture log;
    CStandinScript script;
    ScriptAdapter(Adapter(1, 6, 1, {L"2001:db8::5", L"fe80::5"}));
    CAddressList addresses;
    EXPECT_EQ(UpdateIPAddresses(addresses), 0u);
    EXPECT_EQ(addresses.AddressCount(), 2u);
    auto lines = log.Lines();
    EXPECT_EQ(lines.back(), "[!] No active IP addresses found on machine.");
}

TEST(IPAddresses, FailureLeavesAnEmptyList)
{
    CLogCapture log;
    CStandinScript script;
    ScriptAdapter(Adapter(1, 6, 1, {L"192.168.1.10"}));
    CAddressList addresses;
    EXPECT_EQ(UpdateIPAddresses(addresses), 1u);
    ScriptAdaptersError(ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(UpdateIPAddresses(addresses), 0u);
    EXPECT_EQ(addresses.AddressCount(), 0u);
    ScriptAdaptersError(std::nullopt);
    ScriptNoAdapters();
    EXPECT_EQ(UpdateIPAddresses(addresses), 0u);
    EXPECT_EQ(log.Lines().back(), "[!] No active IP addresses found on machine.");
}

#pragma once

#include <windows.h>

#include <netfw.h>
#include <string>

// The firewall's state and script, kept under HKLM\SOFTWARE\Kestrin Test\Firewall
// and read at every call, so that a test sees and sets it from outside:
//
//   CurrentProfile          REG_DWORD  0 Domain, 1 Standard (default)
//   Domain\Enabled          REG_DWORD  0 turns the firewall off (default on); also Standard
//   Domain\Ports\1305/17    key        a globally open port, value Name; also Standard
//   Errors\<call>           REG_DWORD  the HRESULT with which that call fails
//
// Calls that can be scripted to fail: CreateManager, CreateOpenPort,
// IsPortAllowed, LocalPolicy, and per profile as asked for (Domain, Standard
// or Current) Profile.<name>, FirewallEnabled.<name>, OpenPorts.<name>, Add.<name>.
namespace FirewallState
{
// S_OK unless the test scripted a failure of the call.
HRESULT ScriptedError(const std::wstring& call);
// "Domain", "Standard" or "Current", the names the script uses.
const wchar_t* ProfileName(NET_FW_PROFILE_TYPE type);
// The profile in force: the current profile is one of the other two.
NET_FW_PROFILE_TYPE Resolve(NET_FW_PROFILE_TYPE type);
bool Enabled(NET_FW_PROFILE_TYPE profile);
bool SetEnabled(NET_FW_PROFILE_TYPE profile, bool enabled);
bool PortOpen(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol);
LONG PortCount(NET_FW_PROFILE_TYPE profile);
// The open port's name; false when it is not open.
bool PortName(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol, std::wstring& name);
HRESULT ClosePort(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol);
// Opens the port, or overwrites its settings when it is open already.
HRESULT OpenPort(NET_FW_PROFILE_TYPE profile, LONG port, NET_FW_IP_PROTOCOL protocol, const std::wstring& name);
} // namespace FirewallState

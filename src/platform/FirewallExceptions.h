#pragma once

#include <string>
#include <vector>

// Makes sure the query port is open in the Windows Firewall: when the firewall
// does not allow it, adds it as a globally open port to every profile in which
// the firewall is on. Never fails the caller; returns the one line worth
// logging about what it did (empty when the port was already allowed).
std::wstring AddFirewallExceptions();

// Takes out of every profile the open ports that AddFirewallExceptions made,
// recognised by their name: a port the administrator opened under another
// name stays. Never fails the caller; returns the lines worth logging.
std::vector<std::wstring> RemoveFirewallExceptions();

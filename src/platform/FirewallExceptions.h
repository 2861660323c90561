#pragma once

#include <string>

// Makes sure the query port is open in the Windows Firewall: when the firewall
// does not allow it, adds it as a globally open port to every profile in which
// the firewall is on. Never fails the caller; returns the one line worth
// logging about what it did (empty when the port was already allowed).
std::wstring AddFirewallExceptions();

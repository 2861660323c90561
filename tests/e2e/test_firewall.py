"""End-to-end tests of the query port's firewall exception: the real service
against the stand-in Windows Firewall, which keeps its open ports per profile
and fails the calls a test names."""
import unittest

import kestrin
import standins
from scripted_service import ScriptedServiceTestCase

NAME = "Varnel User Agent (UDP:1305)"
ADDED = f'[!] Firewall Exceptions: Added exception "{NAME}" to the firewall'
PORT = {"1305/17": NAME}
E_ACCESSDENIED = 0x80070005


class FirewallTest(ScriptedServiceTestCase):

    def setUp(self):
        super().setUp()
        standins.install_firewall(self.install.folder)
        self.addCleanup(standins.uninstall_firewall)

    def start(self):
        """Starts the service and returns its firewall line, or None."""
        open(self.install.log_path, "w").close()
        self.start_service()
        self.assertTrue(self.install.wait_for_log("CUserAgent: service running"), self.install.log_lines())
        lines = [line for line in self.install.log_lines()
                 if line.startswith(("[!] Firewall Exceptions", "[!] Error initializing COM"))]
        self.assertLessEqual(len(lines), 1, lines)
        return lines[0] if lines else None

    def ports(self):
        return standins.firewall_ports("Domain"), standins.firewall_ports("Standard")

    def test_the_port_is_opened_once_in_every_enabled_profile(self):
        standins.script_firewall()
        self.assertEqual(self.start(), ADDED)
        self.assertEqual(self.ports(), (PORT, PORT))
        # Allowed now: the next start leaves the firewall alone and says nothing.
        self.reinstall()
        self.assertIsNone(self.start())

    def test_profiles_with_the_firewall_off_are_left_alone(self):
        cases = [
            # (profile in force, profiles off, line, ports then open in Domain and Standard)
            # The NOT-enabled line of the standard profile gives way to the
            # current (domain) profile's.
            (0, ["Standard"], ADDED, (PORT, {})),
            # Off in the profile in force: the port is allowed as it is.
            (1, ["Standard"], None, ({}, {})),
        ]
        for current, off, line, ports in cases:
            with self.subTest(current=current, off=off):
                self.reinstall()
                standins.script_firewall(current=current, enabled={name: False for name in off})
                self.assertEqual(self.start(), line)
                self.assertEqual(self.ports(), ports)

    def test_each_failure_is_logged_and_the_service_runs(self):
        error = "0x80070005"
        cases = [
            # (failing call, line, ports then open in Domain and Standard)
            ("CreateManager", f"[!] Firewall Exceptions:CoCreateInstance failed: {error}", ({}, {})),
            ("IsPortAllowed", f"[!] Firewall Exceptions: Unable to determine if UDP port 1305 is allowed: {error}",
             ({}, {})),
            ("LocalPolicy", f"[!] Firewall Exceptions: Unable to obtain the local policy: {error}", ({}, {})),
            ("Profile.Domain", f"[!] Firewall Exceptions: Unable to obtain the Domain profile: {error}", ({}, {})),
            ("Profile.Standard", f"[!] Firewall Exceptions: Unable to obtain the Standard profile: {error}",
             (PORT, {})),
            # Without the current profile there is nothing left to do.
            ("Profile.Current", ADDED, (PORT, PORT)),
            ("FirewallEnabled.Standard", "[!] Firewall Exceptions: Unable to determine if the firewall is enabled "
             f"in the Standard profile: {error}", (PORT, {})),
            ("OpenPorts.Current", "[!] Firewall Exceptions: Unable to obtain the open ports of the Current profile: "
             f"{error}", (PORT, PORT)),
            ("CreateOpenPort", f'[!] Firewall Exceptions: Unable to create the open port "{NAME}": {error}',
             ({}, {})),
            ("Add.Domain", ADDED, ({}, PORT)),
            ("Add.Current", f'[!] Firewall Exceptions: Error adding exception "{NAME}" to the firewall: {error}',
             (PORT, PORT)),
        ]
        for call, line, ports in cases:
            with self.subTest(call=call):
                self.reinstall()
                standins.script_firewall(errors={call: E_ACCESSDENIED})
                self.assertEqual(self.start(), line)
                self.assertEqual(self.ports(), ports)
                self.assertEqual(kestrin.service_state(), "RUNNING")


if __name__ == "__main__":
    unittest.main()

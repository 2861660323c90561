"""End-to-end tests of group pruning: the real service's LDAP user, with the
groups slapd holds, pruned to the assignments the reference server serves over
HTTP."""
import os
import unittest

import kestrin
import slapd
from test_ldap import LdapServiceTestCase

OPTIONS = kestrin.OPTIONS_KEY
ASSIGNMENTS = "/api/agents/group_assignments"
BOTH = [slapd.STAFF_DN, slapd.DEVELOPERS_DN]
LARGEST = b'["corp\\\\staff"'.ljust(65534) + b"]"


class GroupAssignmentsTest(LdapServiceTestCase):

    def start_with(self, body=None, fault=None, pruning=True):
        self.reinstall()
        kestrin.reg_add(OPTIONS, "Disable User Group Pruning", 0 if pruning else 1, "REG_DWORD")
        path = os.path.join(self.install.folder, "assignments.json")
        if os.path.exists(path):
            os.remove(path)
        if body is not None:
            with open(path, "wb") as file:
                file.write(body)
        extra = ["--assignments", path] + (["--http-fault", fault] if fault else [])
        self.start("alice", extra)
        return [group["dn"] for group in self.first_report()["groups"]]

    def test_groups_are_pruned_to_the_assignments(self):
        cases = [
            # (body, groups reported): names in any case, by domain or by DN.
            (b'["CORP\\\\STAFF", "cn=Developers,ou=Groups"]', BOTH),
            (b'["corp\\\\staff"]', [slapd.STAFF_DN]),
            (b'[]', []),
            # A DN without a comma names no group.
            (b'["CN=staff"]', []),
            # The largest body taken: 65,535 bytes.
            (LARGEST, [slapd.STAFF_DN]),
            # No list at the server (404): all groups stay.
            (None, BOTH),
        ]
        for body, groups in cases:
            with self.subTest(body=body and body[:40]):
                self.assertEqual(self.start_with(body), groups, self.install.log_lines())
                requests = self.server.requests()
                self.assertTrue(requests, self.install.log_lines())
                self.assertEqual(requests[0]["user_agent"], "Varnel UserAgent Update")
        self.assertIn('[!] CUpdate: Unable to download user group assignments "127.0.0.1' + ASSIGNMENTS +
                      '",\r\n    HTTP status code = 404', self.install.log_lines())

    def test_pruning_off_asks_nothing(self):
        self.assertEqual(self.start_with(b'["CORP\\\\staff"]', pruning=False), BOTH)
        self.assertEqual(self.server.requests(), [])

    def test_a_body_over_the_limit_or_cut_short_keeps_the_groups(self):
        # (fault, the Windows error the line names)
        for fault, error in (("oversize", 122), ("truncate", 38)):
            with self.subTest(fault=fault):
                self.assertEqual(self.start_with(b'["CORP\\\\staff"]', fault=fault), BOTH)
                failures = [line for line in self.install.log_lines()
                            if line.startswith("[!] CUpdate: Unable to download user group assignments,")]
                self.assertTrue(failures, self.install.log_lines())
                self.assertTrue(failures[-1].endswith(f"Error code = {error}."), failures)


if __name__ == "__main__":
    unittest.main()

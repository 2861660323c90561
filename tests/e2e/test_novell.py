"""End-to-end tests of the Novell identity: the real service under Wine with the
stand-in Novell client in the prefix's system directory, reporting to the
reference Identification Server."""
import unittest

import kestrin
import standins
from scripted_service import ScriptedServiceTestCase

OPTIONS = kestrin.OPTIONS_KEY
ANN = "CN=Ann.OU=Sales.O=Acme"
BOB = "CN=Bob.OU=Sales.O=Acme"
STAFF = "CN=Staff.OU=Sales.O=Acme"
CHANGE = "Detected Novell User Change"
FAILED = "[!] CIdentNovell::IdentifyUser: Failed to identify user"
# The poll asks every 10 s; a hang guard, not an asserted duration.
POLL_WAIT = 60


class NovellServiceTestCase(ScriptedServiceTestCase):
    """The service with the Novell network type and a console session."""

    CLIENT = True

    def setUp(self):
        super().setUp()
        if self.CLIENT:
            standins.install_novell()
        standins.script_session(1, user_name="ann", domain_name="VM", win_station_name="Console")
        kestrin.reg_add(OPTIONS, "Network Type", "Novell")

    def tearDown(self):
        super().tearDown()
        standins.uninstall_novell()

    def wait_for(self, condition):
        return kestrin.wait_until(condition, POLL_WAIT)


class NovellPollTest(NovellServiceTestCase):

    def test_the_poll_reports_another_user_once_and_ignores_case(self):
        kestrin.reg_add(OPTIONS, "Novell Tree", "ACME-TREE")
        standins.script_novell(who_am_i=ANN, objects={ANN.lower(): [STAFF, "c=us"]})
        self.start_service()
        reports = [self.first_report()]
        self.assertEqual(reports[0]["user"].rpartition("\\")[2], "ann.sales.acme")
        self.assertEqual(reports[0]["user_dn"], "cn=ann.ou=sales.o=acme")
        self.assertEqual(reports[0]["user_ou"], "sales.acme")
        # A value that names nothing typeless is no group.
        self.assertEqual([g["dn"] for g in reports[0]["groups"]], ["cn=staff.ou=sales.o=acme"])
        self.assertEqual(standins.novell_seen("Tree"), "ACME-TREE")

        # Only the case changes: the polls that see it find no other user.
        standins.script_novell(who_am_i=ANN.upper(), objects={ANN.lower(): [STAFF]})
        polls = standins.call_count("NWDSWhoAmI")
        self.assertTrue(self.wait_for(lambda: standins.call_count("NWDSWhoAmI") >= polls + 2))
        self.assertNotIn(CHANGE, self.install.log_lines())

        standins.script_novell(who_am_i=BOB, objects={BOB.lower(): [STAFF]})
        self.assertTrue(self.wait_for(
            lambda: any(r.get("user_dn") == "cn=bob.ou=sales.o=acme" for r in self.server.reports())),
            self.install.log_lines())
        polls = standins.call_count("NWDSWhoAmI")
        self.assertTrue(self.wait_for(lambda: standins.call_count("NWDSWhoAmI") >= polls + 2))
        self.assertEqual(self.install.log_lines().count(CHANGE), 1)


class NovellWithoutClientTest(NovellServiceTestCase):
    CLIENT = False

    def test_every_identification_fails_and_leaves_the_user_alone(self):
        self.start_service()
        reports = [self.first_report()]
        lines = self.install.log_lines()
        self.assertIn("Network type set to Novell, but not detected", lines)
        self.assertIn(FAILED, lines)
        self.assertEqual(reports[0].get("user_dn", ""), "")
        self.assertNotIn(CHANGE, lines)


if __name__ == "__main__":
    unittest.main()

"""End-to-end tests of the Novell identity: the real service under Wine with the
stand-in Novell client in the prefix's system directory, reporting to the
reference Identification Server."""
import time
import unittest

import kestrin
import standins

OPTIONS = kestrin.OPTIONS_KEY
ANN = "CN=Ann.OU=Sales.O=Acme"
BOB = "CN=Bob.OU=Sales.O=Acme"
STAFF = "CN=Staff.OU=Sales.O=Acme"
CHANGE = "Detected Novell User Change"
FAILED = "[!] CIdentNovell::IdentifyUser: Failed to identify user"
# The poll asks every 10 s; a hang guard, not an asserted duration.
POLL_WAIT = 60


class NovellServiceTestCase(unittest.TestCase):
    """The service with the Novell network type and a console session."""

    CLIENT = True

    def setUp(self):
        kestrin.remove_service()
        kestrin.reg_delete_key(OPTIONS)
        self.install = kestrin.Install(self.id())
        self.assertEqual(self.install.run("-i")[1], 0)
        standins.clear()
        standins.install(self.install.folder)
        if self.CLIENT:
            standins.install_novell()
        self.ready = kestrin.HeldEvent(r"Global\TermSrvReadyEvent")
        self.server = None
        standins.script_session(1, user_name="ann", domain_name="VM", win_station_name="Console")
        standins.script_adapter(1, description="Wired", addresses=["10.20.30.40"])
        kestrin.reg_add(OPTIONS, "Network Type", "Novell")
        kestrin.reg_add(OPTIONS, "Identification Server Reporting", 1, "REG_DWORD")
        kestrin.reg_add(OPTIONS, "Identification Server", "127.0.0.1")

    def tearDown(self):
        kestrin.remove_service()
        if self.server:
            self.server.stop()
        self.ready.release()
        standins.uninstall_novell()
        standins.clear()
        standins.uninstall()
        kestrin.reg_delete_key(OPTIONS)

    def start(self):
        self.server = kestrin.IdentServer(self.install.folder)
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", self.install.log_lines())

    def wait_for(self, condition, timeout=POLL_WAIT):
        deadline = time.monotonic() + timeout
        while not condition() and time.monotonic() < deadline:
            time.sleep(0.2)
        return condition()


class NovellPollTest(NovellServiceTestCase):

    def test_the_poll_reports_another_user_once_and_ignores_case(self):
        kestrin.reg_add(OPTIONS, "Novell Tree", "ACME-TREE")
        standins.script_novell(who_am_i=ANN, objects={ANN.lower(): [STAFF, "c=us"]})
        self.start()
        reports = self.server.wait_for_reports(1)
        self.assertTrue(reports, self.install.log_lines())
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
        self.start()
        reports = self.server.wait_for_reports(1)
        self.assertTrue(reports, self.install.log_lines())
        lines = self.install.log_lines()
        self.assertIn("Network type set to Novell, but not detected", lines)
        self.assertIn(FAILED, lines)
        self.assertEqual(reports[0].get("user_dn", ""), "")
        self.assertNotIn(CHANGE, lines)


if __name__ == "__main__":
    unittest.main()

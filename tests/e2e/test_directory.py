"""End-to-end tests of the directory identity: the real service under Wine with
a scripted domain (netapi32), directory (activeds) and COM+ event system (es),
reporting to the reference Identification Server and asked by the query client.
The domain and directory answer what a live Samba domain controller holds
(ad_script.py writes their script from it); hand-written answers are left
for what a controller does not give on demand (errors, odd types).
"""
import os
import re
import time
import unittest

import ad_script
import kestrin
import samba_dc
import standins
from scripted_service import ScriptedServiceTestCase
from test_query import nqrp, REPLY_WAIT

OPTIONS = kestrin.OPTIONS_KEY
CURRENT_USER = OPTIONS + r"\Current User"
APP_DEFAULTS = r"HKCU\Software\Wine\AppDefaults\Kestrin.exe"

USER_DN = r"CN=Smith\, Bob,OU=R/D,OU=Staff,DC=corp,DC=example"
USER_PATH = r"LDAP://CN=Smith\, Bob,OU=R\/D,OU=Staff,DC=corp,DC=example"
# The one token group of Wine's token that survives the filter (its other
# groups are well-known, builtin or the logon id).
TOKEN_SID = "S-1-5-21-0-0-0-513"
DOMAIN_USERS = "CN=Domain Users,CN=Users,DC=corp,DC=example"
SALES = r"CN=Sales\, West,OU=Groups,DC=corp,DC=example"
NO_SUCH_DOMAIN = 0x8007054B
SUBSCRIPTION_ID = "{34EB00FC-A19E-43ed-8565-E88716AD0DBF}"
E_NOINTERFACE = 0x80004002


class DirectoryServiceTestCase(ScriptedServiceTestCase):
    """The real service with the directory stand-ins and a console session of
    CORP\\bob; each test scripts the directory before starting it."""

    DOMAIN = "CORP"
    LOCAL = False
    WIN2K = False
    DIRECTORY = True

    def setUp(self):
        super().setUp()
        if self.WIN2K:
            kestrin.reg_add(APP_DEFAULTS, "Version", "win2k")
        workstation = kestrin.helper_json("workstation")
        self.computer, self.computer_domain = workstation["computer"], workstation["domain"]
        self.domain = self.computer if self.LOCAL else self.DOMAIN
        self.computer_dn = f"CN={self.computer},OU=Workstations,DC=corp,DC=example"
        # Windows 2000 has only the console session, 0.
        self.session = 0 if self.WIN2K else 1
        standins.script_session(self.session, user_name="bob", domain_name=self.domain, win_station_name="Console")

    def tearDown(self):
        super().tearDown()
        kestrin.wine("reg", "delete", APP_DEFAULTS, "/v", "Version", "/f")

    def script_directory(self, memberof=("",), names=None):
        standins.script_names(names if names is not None else {
            rf"{self.domain}\bob": USER_DN, TOKEN_SID: DOMAIN_USERS,
            rf"{self.computer_domain}\{self.computer}$": self.computer_dn})
        standins.script_objects({USER_PATH: list(memberof) if isinstance(memberof, list) else memberof[0]})

    def start(self):
        self.start_service()

    def wait_for_subscription(self, present=True):
        deadline = time.monotonic() + REPLY_WAIT
        while (standins.stored_subscription(SUBSCRIPTION_ID) is not None) != present:
            if time.monotonic() > deadline:
                return False
            time.sleep(0.2)
        return True

    def query(self, name):
        reply = nqrp.query("127.0.0.1", name, timeout=REPLY_WAIT)
        self.assertIsNotNone(reply, f"no {name} reply")
        return reply


def group(name, dn):
    return {"name": rf"CORP\{name}", "dn": dn}


def first_value(dn):
    """The value of a DN's first part, unescaped: "Sales, West" of "CN=Sales\\, West,..."."""
    return re.sub(r"\\(.)", r"\1", re.match(r"[^=]*=((?:[^,\\]|\\.)*)", dn).group(1))


class ControllerAnswersTestCase(DirectoryServiceTestCase):
    """Reads the domain controller once for the class: the stand-ins' script
    for its users and this computer, and what the directory says of them."""

    USERS = ("bob", "carol")

    @classmethod
    def setUpClass(cls):
        workstation = kestrin.helper_json("workstation")
        with samba_dc.SambaDC(os.path.join(kestrin.WORK, "samba-dc")) as dc:
            dc.add_computer(workstation["computer"])
            cls.answers = ad_script.answers(dc, cls.USERS, workstation["computer"], workstation["domain"])
            cls.directory = {user: dict(ad_script.expected_groups(dc, user), dn=ad_script.find(dc, user)[0])
                             for user in cls.USERS}
            cls.computer_in_directory = ad_script.find(dc, workstation["computer"] + "$")[0]

    def script_from_controller(self, user):
        standins.script_session(self.session, user_name=user, domain_name=self.domain, win_station_name="Console")
        standins.script_controller_answers(self.answers)


class DirectoryUserTest(ControllerAnswersTestCase):

    def test_report_and_queries_carry_what_the_directory_holds(self):
        # bob: a comma in his CN and in an OU, a slash in the other, direct
        # groups with a comma and a non-ASCII name, nested further; carol: in
        # the primary group alone.
        for user, ou in (("bob", "R/D.Staff, EMEA"), ("carol", "")):
            with self.subTest(user=user):
                if user != self.USERS[0]:
                    self.reinstall()
                self.script_from_controller(user)
                self.start()
                report, directory = self.first_report(), self.directory[user]
                self.assertEqual(report["user"], rf"CORP\{user}")
                self.assertEqual(report["user_dn"], directory["dn"])
                self.assertEqual(report["user_ou"], ou)
                # Wine's token holds the primary group alone; memberOf the direct groups.
                expected = [directory["primary_group"], *directory["member_of"]]
                self.assertEqual(report["groups"], [group(first_value(dn), dn) for dn in expected])
                # A Windows token holds these and the nested ones: the controller's tokenGroups.
                self.assertLessEqual({g["dn"] for g in report["groups"]}, set(directory["token_groups"]))
                self.assertEqual(report["computer_dn"], self.computer_in_directory)
                self.assertEqual(report["computer_ou"], "Workstations")

                nextgen = self.query("nextgen")
                self.assertEqual(nextgen["groups"], report["groups"])
                self.assertEqual(nextgen["user_dn"], directory["dn"])
                logon = self.query("logon-user")
                self.assertEqual(logon["user_ou"], ou)
                self.assertEqual(logon["groups"], [first_value(dn).lower() for dn in expected])

    def test_memberof_groups_with_and_without_the_tokens(self):
        cases = [
            # (No Nested Groups, memberOf, groups reported)
            (1, [SALES, "cn=domain users,cn=users,dc=corp,dc=example"],
             [group("Sales, West", SALES), group("domain users", "cn=domain users,cn=users,dc=corp,dc=example")]),
            (0, ("",), [group("Domain Users", DOMAIN_USERS)]),
            # The token's group again in other case, and an element that is no
            # string: neither adds a group.
            (0, [SALES, "#7", "cn=domain users,cn=users,dc=corp,dc=example"],
             [group("Domain Users", DOMAIN_USERS), group("Sales, West", SALES)]),
        ]
        for no_nested, memberof, expected in cases:
            with self.subTest(no_nested=no_nested, memberof=memberof):
                self.reinstall()
                kestrin.reg_add(OPTIONS, "No Nested Groups", no_nested, "REG_DWORD")
                self.script_directory(memberof)
                self.start()
                self.assertEqual(self.first_report()["groups"], expected)


class LegacyDomainTest(ControllerAnswersTestCase):

    USERS = ("bob",)

    def test_a_domain_without_directory_gives_the_controllers_groups(self):
        self.script_from_controller("bob")
        standins.script_names({r"CORP\bob": NO_SUCH_DOMAIN})
        self.start()
        report, legacy = self.first_report(), self.answers["groups"]["bob"]
        self.assertEqual(report["user"], r"CORP\bob")
        # Account names (Sales-West), not the CNs memberOf gives.
        self.assertEqual(report["groups"], [group(name.lower(), "") for name in legacy])
        self.assertNotIn("user_dn", {k for k, v in report.items() if v})
        lines = self.install.log_lines()
        for line in (r"[IDENT] Failed to get DN for user CORP\bob; (ERROR_NO_SUCH_DOMAIN)",
                     "[IDENT] An attempt to utilize legacy NT group lookups may be attempted for OpenLDAP "
                     "(native NT) compatibility.",
                     rf"[*] CIdentActiveDirectory::LookupNTLegacyGroups; DC Lookup (CORP): {self.answers['controllers']['CORP'].lower()}",
                     r"[*] CIdentActiveDirectory::LookupNTLegacyGroups; Group Lookup (CORP\bob): "
                     + "".join(f"{name}, " for name in legacy)):
            self.assertIn(line, lines)


class LocalAccountTest(DirectoryServiceTestCase):
    LOCAL = True

    def test_a_local_account_is_not_looked_up(self):
        self.script_directory()
        self.start()
        report = self.first_report()
        self.assertEqual(report["user"], rf"{self.computer}\bob")
        self.assertEqual(report["groups"], [])
        # The computer account's translation at start-up is the only one.
        self.assertEqual(standins.call_count("NameTranslate.Set"), 1)
        for function in ("ADsGetObject", "NetGetDCName", "NetUserGetGroups"):
            self.assertEqual(standins.call_count(function), 0, function)


class Windows2000LogonEventsTest(DirectoryServiceTestCase):
    """A local account: a domain user's lookups impersonate the shell of
    session 0, and under Wine no process is in session 0."""
    WIN2K = True
    LOCAL = True

    def test_logon_events_identify_and_report_the_user(self):
        self.script_directory()
        self.start()
        self.assertTrue(self.wait_for_subscription(), self.install.log_lines())
        stored = standins.stored_subscription(SUBSCRIPTION_ID)
        self.assertEqual(stored["SubscriptionName"], "User Agent SENS Subscription")
        self.assertEqual(stored["EventClassID"].upper(), "{D5978630-5B9F-11D1-8DD2-00AA004ABD5E}")
        self.assertEqual(stored["Subscriber"], "0x1")
        self.first_report()
        reports = len(self.server.reports())

        self.assertEqual(standins.fire_sens_event("ISensLogon2.Logon", 0), 0)
        after_logon = self.server.wait_for_reports(reports + 1)
        self.assertGreater(len(after_logon), reports, self.install.log_lines())
        self.assertEqual(after_logon[-1]["user"], rf"{self.computer}\bob")
        self.assertIn("[IDENT] HandleLogon: SessionID=0", self.install.log_lines())

        # Refused, and no handler for these.
        self.assertEqual(standins.fire_sens_event("IDispatch"), E_NOINTERFACE)
        for event in ("ISensLogon.DisplayLock", "ISensLogon.StartScreenSaver", "ISensLogon2.SessionDisconnect"):
            self.assertEqual(standins.fire_sens_event(event), 0, event)
        handled = [line for line in self.install.log_lines() if line.startswith("[IDENT] Handle")]
        self.assertEqual(handled, ["[IDENT] HandleLogon: SessionID=0"])

        # The older interface has no session id to give.
        self.assertEqual(standins.fire_sens_event("ISensLogon.Logoff"), 0)
        self.assertTrue(self.install.wait_for_log("[IDENT] HandleLogoff: SessionID=4294967295"),
                        self.install.log_lines())

        kestrin.sc("stop", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")
        self.assertTrue(self.wait_for_subscription(present=False))


class OtherVersionsTest(DirectoryServiceTestCase):

    def test_no_subscription_is_made(self):
        self.script_directory()
        self.start()
        self.first_report()
        self.assertIsNone(standins.stored_subscription(SUBSCRIPTION_ID))
        self.assertEqual(standins.call_count("EventSystem.Store"), 0)


if __name__ == "__main__":
    unittest.main()

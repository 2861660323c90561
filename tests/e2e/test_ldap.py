"""End-to-end tests of the LDAP identity: the real service under Wine, its user
from a scripted console session, looked up in a real slapd and reported to the
reference Identification Server."""
import contextlib
import json
import os
import socket
import unittest

import kestrin
import samba_dc
import slapd
import standins
from scripted_service import ScriptedServiceTestCase
from test_query import nqrp, REPLY_WAIT

OPTIONS = kestrin.OPTIONS_KEY
UNREACHABLE = "127.0.0.1:1"


class LdapServiceTestCase(ScriptedServiceTestCase):
    """One slapd for the class; per test, the service with the LDAP network
    type and a console session of the user the test names."""

    CONTEXTS = 1
    TLS_PORT = None

    @classmethod
    def setUpClass(cls):
        folder = os.path.join(os.environ["KESTRIN_E2E_WORK"], "slapd", cls.__name__)
        cls.directory = slapd.Slapd(folder, contexts=cls.CONTEXTS, tls_port=cls.TLS_PORT).start()

    @classmethod
    def tearDownClass(cls):
        cls.directory.stop()

    def setUp(self):
        super().setUp()
        self.computer = kestrin.helper_json("workstation")["computer"]
        kestrin.reg_add(OPTIONS, "Network Type", "LDAP")
        kestrin.reg_add(OPTIONS, "LDAP Server", self.directory.host_text)

    def start(self, user, server_options=()):
        standins.script_session(1, user_name=user, domain_name=self.computer, win_station_name="Console")
        self.start_service(server_options)

    def wait_for_report_of(self, dn, timeout=30):
        return kestrin.wait_until(lambda: any(r.get("user_dn") == dn for r in self.server.reports()), timeout)

    def line(self, user, text):
        return f"[LDAP] {self.directory.host_text} | ({user}) {text}"

    def base_line(self, base):
        return f"[LDAP] {self.directory.host_text} | Server Search Base Path = {base}"


def groups(*dns):
    return [dn.split(",")[0][3:] for dn in dns]


class LdapDirectoryTest(LdapServiceTestCase):

    def test_anonymous_bind_finds_primary_then_member_groups_once(self):
        self.start("alice")
        report = self.first_report()
        self.assertEqual(report["user_dn"], slapd.ALICE_DN)
        self.assertEqual(report["user_ou"], "Sales.People")
        # staff is alice's group by gidNumber and by membership: first, once.
        self.assertEqual([group["dn"] for group in report["groups"]], [slapd.STAFF_DN, slapd.DEVELOPERS_DN])
        lines = self.install.log_lines()
        self.assertIn(self.base_line(slapd.BASE_DN), lines)
        kestrin.assert_in_order(self, lines, [self.line("alice", f"UserDN => {slapd.ALICE_DN}"),
                                              self.line("alice", f"GroupDN => {slapd.STAFF_DN}"),
                                              self.line("alice", f"GroupDN => {slapd.DEVELOPERS_DN}")])
        logon = nqrp.query("127.0.0.1", "logon-user", timeout=REPLY_WAIT)
        self.assertIsNotNone(logon)
        self.assertEqual(logon["groups"], groups(slapd.STAFF_DN, slapd.DEVELOPERS_DN))

    def test_binds_with_the_configured_dn_and_password(self):
        cases = [
            # (password, DN reported, failure line)
            (slapd.READER_PASSWORD, slapd.BOB_DN, None),
            ("wrong", "", f"[!] Error connecting to LDAP server (0x31) {self.directory.host_text} => "
                          "Invalid Credentials"),
        ]
        for password, dn, failure in cases:
            with self.subTest(password=password):
                self.reinstall()
                kestrin.reg_add(OPTIONS, "LDAP Bind User DN", slapd.READER_DN)
                kestrin.reg_add(OPTIONS, "LDAP Bind User Password", password)
                kestrin.reg_add(OPTIONS, "LDAP Base Search Path", slapd.BASE_DN)
                self.start("bob")
                report = self.first_report()
                self.assertEqual(report["user"], rf"{self.computer}\bob")
                self.assertEqual(report.get("user_dn", ""), dn)
                if failure:
                    lines = self.install.log_lines()
                    self.assertIn(failure, lines)
                    self.assertIn("[!] CIdentity::IdentifyStartup: Failed to get user identity (0x80000000)", lines)
                    self.assertEqual(report.get("groups", []), [])
                else:
                    self.assertEqual([group["dn"] for group in report["groups"]], [slapd.BOBS_DN, slapd.STAFF_DN])

    def test_a_user_not_in_the_directory_keeps_name_and_domain(self):
        self.start("dave")
        report = self.first_report()
        self.assertEqual(report["user"], rf"{self.computer}\dave")
        self.assertEqual((report["user_dn"], report["groups"]), ("", []))
        self.assertIn(f"[!] LDAP server ({self.directory.host_text}) unable to find user (dave) in directory.",
                      self.install.log_lines())

    def test_names_with_filter_characters_match_only_themselves(self):
        for user, dn, group in ((slapd.ODD_UID, slapd.ODD_DN, slapd.ODD_GROUP_DN),
                                (slapd.STAR_UID, slapd.STAR_DN, slapd.STARS_DN)):
            with self.subTest(user=user):
                self.reinstall()
                self.start(user)
                report = self.first_report()
                self.assertEqual(report["user_dn"], dn)
                self.assertEqual([group["dn"] for group in report["groups"]], [group])

    def test_a_reloaded_server_is_used_from_the_next_identification(self):
        kestrin.reg_add(OPTIONS, "LDAP Server", UNREACHABLE)
        self.start("alice")
        self.assertEqual(self.first_report().get("user_dn", ""), "")
        self.assertTrue(any(line.startswith(f"[!] Error connecting to LDAP server (0x51) {UNREACHABLE} => ")
                            for line in self.install.log_lines()), self.install.log_lines())
        kestrin.reg_add(OPTIONS, "LDAP Server", self.directory.host_text)
        self.assertTrue(self.install.wait_for_log("CUserAgent::OnRegistryEvent(): Reloading options"))
        standins.fire_address_change()
        self.assertTrue(self.wait_for_report_of(slapd.ALICE_DN), self.install.log_lines())


class LdapTwoContextsTest(LdapServiceTestCase):
    CONTEXTS = 2

    def test_several_naming_contexts_leave_the_base_empty(self):
        self.start("alice")
        self.first_report()
        lines = self.install.log_lines()
        self.assertIn(self.base_line(""), lines)
        self.assertNotIn(self.base_line(slapd.BASE_DN), lines)


class LdapOverTlsTest(LdapServiceTestCase):
    """"LDAP Server" as a URL: ldap:// as before, ldaps:// over TLS (the
    server's certificate from the test CA, which the test session trusts)."""
    TLS_PORT = 3636

    def test_the_url_chooses_plain_ldap_or_tls(self):
        cases = [(f"ldap://127.0.0.1:{self.directory.port}/", False),
                 (f"ldaps://127.0.0.1:{self.directory.tls_port}", True)]
        for index, (server, tls) in enumerate(cases):
            with self.subTest(server=server):
                if index:
                    self.reinstall()
                kestrin.reg_add(OPTIONS, "LDAP Server", server)
                sessions = self.directory.log().count("TLS established")
                self.start("alice")
                report = self.first_report()
                self.assertEqual(report.get("user_dn"), slapd.ALICE_DN, self.install.log_lines())
                self.assertEqual([group["dn"] for group in report["groups"]], [slapd.STAFF_DN, slapd.DEVELOPERS_DN])
                self.assertEqual(self.directory.log().count("TLS established") > sessions, tls)


class ActiveDirectoryOverTlsTest(ScriptedServiceTestCase):
    """The identifier pointed at the Samba domain controller as an
    administrator points it at an Active Directory: ldaps://, its base, a bind
    account, and its RFC 2307 attributes on users and groups."""

    @classmethod
    def setUpClass(cls):
        cls.dc = samba_dc.SambaDC(os.path.join(kestrin.WORK, "samba-dc")).start()

    @classmethod
    def tearDownClass(cls):
        cls.dc.stop()

    def directory_groups(self, condition):
        return [dn for dn, _ in self.dc.search(samba_dc.BASE_DN, f"(&(objectClass=group){condition})")]

    def test_a_user_and_the_groups_the_directory_gives_him(self):
        kestrin.reg_import([f"[{kestrin.reg_file_key(OPTIONS)}]", '"Network Type"="LDAP"',
                            f'"LDAP Server"="{samba_dc.LDAPS_URL}"', f'"LDAP Base Search Path"="{samba_dc.BASE_DN}"',
                            f'"LDAP Bind User DN"="{samba_dc.ADMIN_DN}"',
                            f'"LDAP Bind User Password"="{samba_dc.ADMIN_PASSWORD}"', '"LDAP Group Class"="group"'])
        computer = kestrin.helper_json("workstation")["computer"]
        standins.script_session(1, user_name="bob", domain_name=computer, win_station_name="Console")
        self.start_service()
        report = self.first_report()
        [(dn, attributes)] = self.dc.search(samba_dc.BASE_DN, "(uid=bob)", ["gidNumber"])
        self.assertEqual(report.get("user_dn"), dn, self.install.log_lines())
        # The group of bob's gidNumber first, then those naming him in memberUid.
        reported = [group["dn"] for group in report["groups"]]
        self.assertEqual(reported[:1], self.directory_groups(f"(gidNumber={attributes['gidNumber'][0]})"))
        self.assertCountEqual(reported[1:], self.directory_groups("(memberUid=bob)"))
        # Wine's LDAP client checks no certificate and cannot hand it over: said, not hidden.
        self.assertIn(f"[!] LDAP server {samba_dc.LDAPS_URL}: the system's LDAP client does not hand the server's "
                      "certificate to the agent (0x5c); the client's own check alone decides whether the server is "
                      "trusted.", self.install.log_lines())


@contextlib.contextmanager
def black_hole():
    """A TCP port that takes connections (the system completes them) and
    never answers: its listener never accepts."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(16)
        yield listener.getsockname()[1]


class BoundedControlPathTest(LdapServiceTestCase):
    """A peer that holds the connection without answering delays the
    identification, the queries and the stop by a bounded time only."""

    def assert_answers_and_stops(self):
        self.assertIsNotNone(nqrp.query("127.0.0.1", "logon-user", timeout=REPLY_WAIT), self.install.log_lines())
        kestrin.sc("stop", "Kestrin")
        # A hang guard as long as the service manager's own wait for a stop.
        self.assertEqual(kestrin.wait_for_state("STOPPED", timeout=30), "STOPPED", self.install.log_lines())

    def test_a_directory_that_never_answers(self):
        with black_hole() as port:
            server = f"127.0.0.1:{port}"
            kestrin.reg_add(OPTIONS, "LDAP Server", server)
            self.start("alice")
            self.assertTrue(self.install.wait_for_log(
                f"[!] Error connecting to LDAP server (0x55) {server} => no answer within 5000 ms", 30),
                self.install.log_lines())
            self.assertEqual(self.first_report()["user"], rf"{self.computer}\alice")
            self.assert_answers_and_stops()

    def test_group_assignments_sent_a_few_bytes_a_second(self):
        kestrin.reg_add(OPTIONS, "Disable User Group Pruning", 0, "REG_DWORD")
        assignments = os.path.join(self.install.folder, "assignments.json")
        with open(assignments, "w") as f:
            # 64 bytes a second: minutes for this list.
            json.dump([f"CN=Group{i},OU=Groups,DC=corp,DC=example" for i in range(200)], f)
        self.start("alice", ["--assignments", assignments, "--http-fault", "drip"])
        report = self.first_report()
        # The groups are reported unpruned, as after any failed download.
        self.assertEqual([group["dn"] for group in report["groups"]], [slapd.STAFF_DN, slapd.DEVELOPERS_DN])
        failures = [line for line in self.install.log_lines()
                    if line.startswith("[!] CUpdate: Unable to download user group assignments,")]
        self.assertTrue(failures and failures[0].endswith("Error code = 1460."), self.install.log_lines())
        self.assert_answers_and_stops()


if __name__ == "__main__":
    unittest.main()

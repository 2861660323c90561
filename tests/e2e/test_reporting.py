import datetime
import re
import socket
import time
import unittest

import kestrin
import standins

OPTIONS = kestrin.OPTIONS_KEY
CURRENT_USER = OPTIONS + r"\Current User"


def computer_name():
    value = kestrin.reg_query(r"HKLM\System\CurrentControlSet\Control\ComputerName\ComputerName", "ComputerName")
    return value[1].upper() if value else ""


class ReportingServiceTest(unittest.TestCase):
    """The real service with a scripted console session and the reference server."""

    def setUp(self):
        kestrin.remove_service()
        kestrin.reg_delete_key(OPTIONS)
        self.install = kestrin.Install(self.id())
        standins.clear()
        standins.install(self.install.folder)
        self.ready = kestrin.HeldEvent(r"Global\TermSrvReadyEvent")
        self.server = None
        self.computer = computer_name()
        standins.script_session(1, user_name="bob", domain_name=self.computer, win_station_name="Console")
        standins.script_adapter(1, description="Wired", if_type=standins.IF_ETHERNET,
                                addresses=["10.20.30.40", "2001:db8::40"])
        standins.script_adapter(2, description="Wireless", if_type=standins.IF_WIRELESS,
                                addresses=["10.20.30.41"])
        standins.script_adapter(3, description="Loopback", if_type=standins.IF_LOOPBACK,
                                addresses=["127.0.0.1"])
        standins.script_adapter(4, description="Unplugged", oper_status=standins.OPER_DOWN,
                                addresses=["10.99.99.99"])
        kestrin.reg_add(OPTIONS, "Identification Server Reporting", 1, "REG_DWORD")
        kestrin.reg_add(OPTIONS, "Identification Server", "127.0.0.1")
        self.assertEqual(self.install.run("-i")[1], 0)

    def tearDown(self):
        kestrin.remove_service()
        if self.server:
            self.server.stop()
        self.ready.release()
        standins.clear()
        standins.uninstall()
        kestrin.reg_delete_key(OPTIONS)

    def start_server(self):
        self.server = kestrin.IdentServer(self.install.folder)
        return self.server

    def start_service(self):
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", self.install.log_lines())

    def test_startup_report_and_registry_copy(self):
        server = self.start_server()
        self.start_service()
        reports = server.wait_for_reports(1)
        self.assertTrue(reports, self.install.log_lines())
        report = reports[0]
        self.assertEqual(report["report_type"], "0x10")
        self.assertEqual(report["field_mask"], "0xffe")  # forced flags with a user
        self.assertEqual(report["user"], f"{self.computer}\\bob")
        self.assertEqual(report["agent_version"], {"kind": 16, "version": "2.1.14"})
        self.assertEqual(report["addresses"], ["127.0.0.1", "10.20.30.40", "2001:db8::40", "10.20.30.41"])
        self.assertEqual(report["groups"], [])

        uuid = kestrin.reg_query(OPTIONS, "Machine UUID")
        self.assertEqual(uuid[1].upper(), report["machine_uuid"])
        self.assertRegex(kestrin.reg_query(OPTIONS, "Machine ID")[1], r"^[0-9A-F]{32}$")
        self.assertEqual(kestrin.reg_query(CURRENT_USER, "User Name"), ("REG_SZ", "bob"))
        self.assertEqual(kestrin.reg_query(CURRENT_USER, "User Domain"), ("REG_SZ", self.computer))
        self.assertEqual(kestrin.reg_query(CURRENT_USER, "Computer Name")[1].upper(), self.computer)

        lines = self.install.log_lines()
        self.assertIn("[IDENT] IdentifyStartup: Successfully reported user information to Identification Server "
                      "(127.0.0.1)", lines)
        adapters = [line for line in lines if line.startswith("    Description: ")]
        self.assertEqual(adapters, ["    Description: Wired", "    Description: Wireless"])
        self.assertIn("    - IP ADDRESS (IPv6) = 2001:db8::40", lines)

    def test_address_changes_settle_into_one_user_update(self):
        server = self.start_server()
        self.start_service()
        self.assertTrue(server.wait_for_reports(1))
        # Each change well within the 5 s delay after the one before.
        for _ in range(3):
            standins.fire_address_change()
            last_change = datetime.datetime.now()
            time.sleep(1)
        reports = server.wait_for_reports(2, timeout=15)
        self.assertEqual(len(reports), 2, self.install.log_lines())
        self.assertEqual(reports[1]["report_type"], "0x20")
        self.assertEqual(reports[1]["user"], f"{self.computer}\\bob")
        time.sleep(7)
        lines = self.install.log_lines()
        self.assertEqual(lines.count("IP Change Notification"), 3)
        self.assertEqual(lines.count("IP Change User Update"), 1)
        self.assertEqual(len(server.reports()), 2)
        update = [m for m in re.finditer(r"(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d) \(\d+\.\d+\) IP Change User Update",
                                         self.install.log_text())][0]
        month, day, year, hour, minute, second = (int(g) for g in update.groups())
        at = datetime.datetime(2000 + year, month, day, hour, minute, second)
        # Never before the delay (less a second for the line times' whole
        # seconds and one for the agent seeing the change late); no upper
        # bound, which a loaded machine may stretch.
        delay = (at - last_change.replace(microsecond=0)).total_seconds()
        self.assertGreaterEqual(delay, 3)

    def test_reports_are_retried_until_the_server_comes_up(self):
        self.start_service()
        deadline = time.monotonic() + 20
        while not any(line.startswith("[!] CIdentity::IdentifyStartup: Failed to report to ident server (retry).")
                      for line in self.install.log_lines()):
            self.assertLess(time.monotonic(), deadline, self.install.log_lines())
            time.sleep(0.2)
        server = self.start_server()
        reports = server.wait_for_reports(1, timeout=20)
        self.assertTrue(reports, self.install.log_lines())
        self.assertEqual(reports[0]["report_type"], "0x10")
        self.assertEqual(reports[0]["user"], f"{self.computer}\\bob")
        self.assertTrue(self.install.wait_for_log(
            "[IDENT] ProcessUserRetry: Successfully reported user information to Identification Server (127.0.0.1)"))

    def test_stop_while_a_report_waits_to_connect(self):
        # A server whose accept queue is full drops further connection
        # attempts, so the startup report waits in its connect.
        with socket.socket() as listener, socket.socket() as filler:
            listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            listener.bind(("127.0.0.1", 1306))
            listener.listen(0)
            filler.connect(("127.0.0.1", 1306))
            self.start_service()
            deadline = time.monotonic() + 20
            while not any(line.startswith("[IDENT] Startup user identity") for line in self.install.log_lines()):
                self.assertLess(time.monotonic(), deadline, self.install.log_lines())
                time.sleep(0.1)
            kestrin.sc("stop", "Kestrin")
            # Well within the minute the service manager is told to wait.
            self.assertEqual(kestrin.wait_for_state("STOPPED", timeout=60), "STOPPED", self.install.log_lines())
        self.assertTrue(self.install.wait_for_log("SvrUninitialize End"))
        lines = self.install.log_lines()
        self.assertTrue(any(line.startswith("[!] CIdentity::IdentifyStartup: Failed to report to ident server; "
                                            "[!] CIdentity::Report: Failed to connect to identification server.")
                            and "Error code = 10004." in line for line in lines), lines)
        self.assertFalse([line for line in lines if "did not end in time" in line or "left in place" in line])

    def test_a_failing_user_update_leaves_the_service_running(self):
        # Nothing lasting can be created under a volatile key: the registry
        # copy of the identity fails in every flow.
        kestrin.reg_delete_key(OPTIONS)
        self.assertEqual(kestrin.helper_json("volatile-key", r"SOFTWARE\Varnel Systems\User Agent"),
                         {"created": True})
        kestrin.reg_add(OPTIONS, "IP Change Notification Delay", 0, "REG_DWORD")
        self.start_service()
        self.assertTrue(self.install.wait_for_log(
            "[!] CUserAgent::Initialize: Failed to identify user at startup.\r\n    [!] CIdentity::RegLogIdent: "
            "Failed to open identity subkey; LastError=0x3fd. Error code = 1021"), self.install.log_lines())
        failed = "[!] CUserAgent: Exception caught\r\n    [!] CIdentity::RegLogIdent: Failed to open identity subkey"
        for changes in (1, 2):
            standins.fire_address_change()
            deadline = time.monotonic() + 20
            while sum(line.startswith(failed) for line in self.install.log_lines()) < changes:
                self.assertLess(time.monotonic(), deadline, self.install.log_lines())
                time.sleep(0.2)
        self.assertEqual(kestrin.service_state(), "RUNNING")
        self.assertNotIn("Shutdown Signalled", self.install.log_lines())

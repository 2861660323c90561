import datetime
import os
import re
import time
import unittest

import kestrin

OPTIONS = kestrin.OPTIONS_KEY
RELOAD = "CUserAgent::OnRegistryEvent(): Reloading options"


def reset_options():
    kestrin.reg_delete_key(OPTIONS)


class ServiceTestCase(unittest.TestCase):
    """A test with its own Kestrin.exe, installed as the service, options reset."""

    def setUp(self):
        kestrin.remove_service()
        reset_options()
        self.install = kestrin.Install(self.id())
        self.assertEqual(self.install.run("-i")[1], 0)

    def tearDown(self):
        kestrin.remove_service()
        reset_options()

    def start(self, expect="RUNNING"):
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state(expect), expect, self.install.log_lines())

    def stop(self):
        kestrin.sc("stop", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")


def line_times(install, text):
    """Local times of the file lines with this text."""
    times = []
    for match in re.finditer(r"(\d\d)/(\d\d)/(\d\d) (\d\d):(\d\d):(\d\d) \(\d+\.\d+\) (.*?)\r\n", install.log_text()):
        if match.group(7) == text:
            month, day, year, hour, minute, second = (int(g) for g in match.groups()[:6])
            times.append(datetime.datetime(2000 + year, month, day, hour, minute, second))
    return times


class AgentStartupTest(ServiceTestCase):

    def test_initialize_lines_in_order(self):
        self.start()
        self.assertTrue(self.install.wait_for_log("CRegMonitor: started"))
        self.assertTrue(self.install.wait_for_log("CUserAgent: service running"))
        # The service thread's lines; the monitor logs from a thread of its own.
        kestrin.assert_in_order(self, self.install.log_lines(), [
            "SvrInitialize Begin", "Initializing COM", "Initializing WinSock 2.2",
            "CUserAgent::Initialize",
            "Windows version: 6.1",
            "User Agent resource version: 2.1.14",
            "Loading Options",
            "Novell not detected -- assuming Microsoft network",
            "Loading WTS Functions",
            "Creating Identifier",
            "[*] IP Address Adapter Info => ",
            "Creating Registry Monitor",
            "[!] No Identification Server configured.",
            "CUserAgent::Initialize: complete",
            "SvrInitialize End",
            "CUserAgent: service running",
        ])

    def test_unknown_network_type_stops_the_start(self):
        kestrin.reg_add(OPTIONS, "Network Type", "ActiveDirectory")
        kestrin.sc("start", "Kestrin")
        self.assertTrue(self.install.wait_for_log("[!] SvrInitialize: Error initializing agent; Exiting"))
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")
        lines = self.install.log_lines()
        kestrin.assert_in_order(self, lines, ["Loading Options", "[!] Error loading options;  Exiting",
                                              "[!] SvrInitialize: Error initializing agent; Exiting"])
        self.assertNotIn("CUserAgent::Initialize: complete", lines)
        self.assertNotIn("CUserAgent: service running", lines)

    def test_configured_options_are_reported_at_start(self):
        kestrin.reg_add(OPTIONS, "Network Type", "MICROSOFT")
        kestrin.reg_add(OPTIONS, "Identification Server Reporting", 1, "REG_DWORD")
        kestrin.reg_add(OPTIONS, "Identification Server", "ident.example")
        kestrin.reg_add(OPTIONS, "No Nested Groups", 1, "REG_DWORD")
        kestrin.reg_add(OPTIONS, "Disable Heartbeat", 1, "REG_DWORD")
        self.start()
        self.assertTrue(self.install.wait_for_log("CUserAgent::Initialize: complete"))
        lines = self.install.log_lines()
        kestrin.assert_in_order(self, lines, [
            "Loading Options", "No Nested groups is enabled", "HeartBeat is disabled", "Creating Registry Monitor",
            "Identification Server: ident.example", "CUserAgent::Initialize: complete"])
        self.assertNotIn("[!] No Identification Server configured.", lines)
        self.assertNotIn("Novell not detected -- assuming Microsoft network", lines)

    def test_novell_type_without_the_client_is_reported(self):
        kestrin.reg_add(OPTIONS, "Network Type", "novell")
        kestrin.sc("start", "Kestrin")
        self.assertTrue(self.install.wait_for_log("Network type set to Novell, but not detected"))

    def test_server_without_reporting_switch_is_not_used(self):
        kestrin.reg_add(OPTIONS, "Identification Server", "ident.example")
        self.start()
        self.assertTrue(self.install.wait_for_log("CUserAgent::Initialize: complete"))
        self.assertIn("[!] No Identification Server configured.", self.install.log_lines())

    def test_detected_novell_client(self):
        system32 = os.path.join(kestrin.PREFIX, "drive_c", "windows", "system32")
        libraries = [os.path.join(system32, name) for name in ("calwin32.dll", "locwin32.dll", "netwin32.dll")]
        try:
            for library in libraries:
                open(library, "wb").close()
            self.start()
            self.assertTrue(self.install.wait_for_log("CUserAgent::Initialize: complete"))
            lines = self.install.log_lines()
            kestrin.assert_in_order(self, lines, ["Loading Options", "Novell detected", "Loading WTS Functions"])
            self.assertNotIn("Novell not detected -- assuming Microsoft network", lines)
        finally:
            for library in libraries:
                os.remove(library)


class RegistryMonitorTest(ServiceTestCase):

    def setUp(self):
        super().setUp()
        # The agent keeps its own copy of the identity in this subkey of the
        # watched key; made here, the agent only opens it and cannot reload.
        kestrin.reg_add(OPTIONS + r"\Current User", "Computer Name", "")
        self.start()
        self.assertTrue(self.install.wait_for_log("CRegMonitor: started"))

    def reloads(self):
        return self.install.log_lines().count(RELOAD)

    def assert_reloads(self, count, expected):
        if count != expected:
            self.fail(f"{count} reloads, not {expected}\n{self.diagnosis()}")

    def diagnosis(self):
        """The agent's log, and where its threads are when it stopped logging."""
        text = "\n".join(self.install.log_lines()) + f"\nservice: {kestrin.service_state()}\n"
        process_id = self.install.process_id()
        return text + (kestrin.thread_stacks(process_id)[-8000:] if process_id else "no process id")

    def wait_for_reloads(self, count, timeout=12):
        deadline = time.monotonic() + timeout
        while self.reloads() < count and time.monotonic() < deadline:
            time.sleep(0.2)
        return self.reloads()

    def test_a_burst_of_changes_reloads_once_after_it_settles(self):
        for value in range(3):
            kestrin.reg_add(OPTIONS, "Burst", value, "REG_DWORD")
            if value < 2:
                time.sleep(0.6)
        last_change = datetime.datetime.now().replace(microsecond=0)
        self.assert_reloads(self.wait_for_reloads(1), 1)
        time.sleep(6)
        self.assert_reloads(self.reloads(), 1)
        # Never before the settle time (less a second for the line times'
        # whole seconds and one for the monitor seeing the change late); no
        # upper bound, which a loaded machine may stretch.
        delay = (line_times(self.install, RELOAD)[0] - last_change).total_seconds()
        self.assertGreaterEqual(delay, 3)

    def test_new_subkey_counts_but_changes_inside_it_do_not(self):
        subkey = OPTIONS + r"\Test Subkey"
        kestrin.reg_add(subkey, "Name", "first")
        self.assert_reloads(self.wait_for_reloads(1), 1)
        kestrin.reg_add(subkey, "Name", "second")
        time.sleep(7)
        self.assert_reloads(self.reloads(), 1)

    def test_a_changed_server_is_logged_after_the_reload(self):
        kestrin.reg_add(OPTIONS, "Identification Server Reporting", 1, "REG_DWORD")
        kestrin.reg_add(OPTIONS, "Identification Server", "new-server.example")
        self.assert_reloads(self.wait_for_reloads(1), 1)
        self.assertTrue(self.install.wait_for_log("Identification Server: new-server.example"))
        kestrin.assert_in_order(self, self.install.log_lines(), [
            "[!] No Identification Server configured.", RELOAD, "Identification Server: new-server.example"])

    def test_a_failed_reload_keeps_the_agent_running(self):
        kestrin.reg_add(OPTIONS, "Network Type", "ActiveDirectory")
        if not self.install.wait_for_log("[!] CUserAgent::OnRegistryEvent(): Failed to load options;  Aborted",
                                         timeout=12):
            self.fail(self.diagnosis())
        self.assertEqual(kestrin.service_state(), "RUNNING")


class StopWhileSettlingTest(ServiceTestCase):

    CYCLES = 20

    def test_stopping_during_the_settle_time_ends_cleanly(self):
        for cycle in range(self.CYCLES):
            with self.subTest(cycle=cycle):
                started = self.install.log_lines().count("CRegMonitor: started")
                self.start()
                deadline = time.monotonic() + 10
                while self.install.log_lines().count("CRegMonitor: started") <= started:
                    self.assertLess(time.monotonic(), deadline)
                    time.sleep(0.1)
                kestrin.reg_add(OPTIONS, "Settling", cycle, "REG_DWORD")
                time.sleep(0.5)
                self.stop()
                deadline = time.monotonic() + 10
                while not self.install.log_lines()[-1:] == ["Closed log file"]:
                    self.assertLess(time.monotonic(), deadline, self.install.log_lines()[-12:])
                    time.sleep(0.1)
                tail = self.install.log_lines()
                tail = tail[len(tail) - tail[::-1].index("CUserAgent: service running") - 1:]
                kestrin.assert_in_order(self, tail, [
                    "ServiceCtrlHandler: Received SERVICE_CONTROL_STOP", "Shutdown Signalled",
                    "CRegMonitor: stopped", "SvrUninitialize End", "Closed log file"])
                self.assertNotIn(RELOAD, tail)

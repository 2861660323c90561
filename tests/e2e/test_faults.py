"""End-to-end fault tests of the real service: a stop under query load, the
process killed while it logs, the options key deleted and made again."""
import os
import re
import subprocess
import time
import unittest

import kestrin
from scripted_service import ScriptedServiceTestCase

OPTIONS = kestrin.OPTIONS_KEY
QUERY_TOOL = os.path.join(kestrin.TOOLS, "nqrp-query")
RELOAD = "CUserAgent::OnRegistryEvent(): Reloading options"
LINE = re.compile(rb"\d\d/\d\d/\d\d \d\d:\d\d:\d\d \(\d{5,}\.\d{5,}\) ")


def query_load(seconds):
    return subprocess.Popen(["python3", QUERY_TOOL, "--load", "--outstanding", "16", "--duration", str(seconds),
                             "nqrp"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)


class FaultTest(ScriptedServiceTestCase):

    def error_lines(self):
        return [line for line in self.install.log_lines()
                if re.search(r"[Ee]xception 0x", line)]

    def test_a_stop_under_query_load_ends_stopped(self):
        self.start_service()
        load = query_load(8)
        self.addCleanup(load.wait)
        time.sleep(2)
        kestrin.sc("stop", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED", self.install.log_lines()[-20:])
        self.assertIn("SvrUninitialize End", self.install.log_lines())
        self.assertEqual(self.error_lines(), [])

    def test_a_killed_process_leaves_whole_lines_and_the_next_start_appends(self):
        self.start_service()
        self.first_report()
        load = query_load(4)
        time.sleep(1.5)
        # Killed as by the power going: no code of its own runs.
        subprocess.run(["pkill", "-KILL", "-f", re.escape(self.install.exe_windows)], check=True)
        load.wait()
        with open(self.install.log_path, "rb") as file:
            before = file.read()
        # Every line is whole up to the last one written.
        lines = before.split(b"\r\n")
        self.assertEqual(lines[-1], b"")
        self.assertTrue(all(LINE.match(line) or line.startswith(b"    ") for line in lines[:-1] if line),
                        [line for line in lines if line and not LINE.match(line)][:5])
        # The next run of the program appends to the same file.
        self.assertEqual(self.install.run("-?")[1], 0)
        with open(self.install.log_path, "rb") as file:
            after = file.read()
        self.assertTrue(after.startswith(before) and b"Opened log file" in after[len(before):])
        # Wine, unlike Windows, keeps a killed process's sockets bound.
        kestrin.restart_wine()

    def test_the_options_key_deleted_and_made_again_is_still_watched(self):
        self.start_service()
        self.assertTrue(self.install.wait_for_log("CRegMonitor: started"))
        kestrin.reg_delete_key(OPTIONS)
        time.sleep(1)
        kestrin.reg_add(OPTIONS, "Disable Heartbeat", 1, "REG_DWORD")
        self.assertTrue(kestrin.wait_until(lambda: RELOAD in self.install.log_lines(), 20),
                        self.install.log_lines()[-20:])
        reloads = self.install.log_lines().count(RELOAD)
        # And the key in place is the one watched from now on.
        kestrin.reg_add(OPTIONS, "Disable Heartbeat", 0, "REG_DWORD")
        self.assertTrue(kestrin.wait_until(lambda: self.install.log_lines().count(RELOAD) > reloads, 20),
                        self.install.log_lines()[-20:])
        self.assertEqual(kestrin.service_state(), "RUNNING")


if __name__ == "__main__":
    unittest.main()

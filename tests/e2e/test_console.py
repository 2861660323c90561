import os
import re
import signal
import subprocess
import time
import unittest

import kestrin


class ConsoleWindowTest(unittest.TestCase):
    """-c opens a console that echoes the log and stops the agent on Ctrl+C."""

    def setUp(self):
        kestrin.remove_service()
        self.install = kestrin.Install(self.id())
        self.process = None

    def tearDown(self):
        if self.process and self.process.poll() is None:
            self.process.kill()
            self.process.wait(timeout=30)
        kestrin.wine("reg", "delete", kestrin.OPTIONS_KEY, "/v", "Console Text Color", "/f")

    def start_with_console(self):
        self.process = subprocess.Popen(["wine", self.install.exe_windows, "-c"], env=kestrin.wine_env(display=True),
                                        stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)
        self.assertTrue(self.install.wait_for_log("CUserAgent: service running"), self.install.log_lines())
        return self.install.process_id()

    def console(self, process_id):
        return kestrin.helper_json("console-dump", str(process_id))

    def wait_for_console_line(self, process_id, text, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(line["text"] == text for line in self.console(process_id)["lines"]):
                return True
            time.sleep(0.3)
        return False

    def test_console_echoes_the_log_in_the_configured_colour(self):
        kestrin.reg_add(kestrin.OPTIONS_KEY, "Console Text Color", 14, "REG_DWORD")
        process_id = self.start_with_console()
        console = self.console(process_id)
        self.assertEqual(console["title"], "User Agent Service")
        self.assertEqual((console["columns"], console["rows"]), (80, 256))
        self.assertEqual(console["attribute"], 14)

        # Each echoed line is the file's line with the date as year/month/day.
        file_lines = {m.group(4): (m.group(1), m.group(2), m.group(3)) for m in re.finditer(
            r"(\d\d)/(\d\d)/(\d\d) \d\d:\d\d:\d\d \(\d+\.\d+\) (.*?)\r\n", self.install.log_text())}
        echoed = {}
        for line in console["lines"]:
            match = re.fullmatch(r"(\d\d)/(\d\d)/(\d\d) \d\d:\d\d:\d\d \((\d{5,})\.\d{5,}\) (.*)", line["text"])
            if match:
                echoed[match.group(5)] = (match.group(1), match.group(2), match.group(3), line["attribute"])
        for text in ["SvrInitialize Begin", "CUserAgent::Initialize: complete", "CUserAgent: service running"]:
            month, day, year = file_lines[text]
            self.assertEqual(echoed[text], (year, month, day, 14), text)

    def test_ctrl_c_shuts_down_and_waits_for_a_key(self):
        process_id = self.start_with_console()
        self.assertEqual(self.console(process_id)["attribute"], 11)  # light cyan without the value

        os.kill(self.process.pid, signal.SIGINT)
        self.assertTrue(self.install.wait_for_log("SvrUninitialize End"), self.install.log_lines())
        kestrin.assert_in_order(self, self.install.log_lines(), [
            "CUserAgent: service running", "Shutdown Signalled", "CUserAgent: thread stopped", "Shutting Down",
            "SvrUninitialize Begin", "Freeing User Agent Instance", "SvrUninitialize End"])
        self.assertTrue(self.wait_for_console_line(process_id, "Press Any Key..."))
        self.assertIsNone(self.process.poll())

        kestrin.helper("console-key", str(process_id))
        self.assertEqual(self.process.wait(timeout=30), 0)

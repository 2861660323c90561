import subprocess
import time
import unittest

import kestrin

USAGE = ("User Agent Service Usage\n\n"
         "-?, -h, --help\tShow help and exit\n"
         "-c, --console\tCreate console window\n"
         "-i, --install\tInstall\n"
         "-u, --uninstall\tUninstall\n")


class CommandLineBoxesTest(unittest.TestCase):
    """What a person who runs the file sees, and the exit code a script gets."""

    def setUp(self):
        kestrin.remove_service()
        self.install = kestrin.Install(self.id())

    def test_invalid_option_names_the_option_and_exits_minus_one(self):
        for argument, shown in [("-x", "x"), ("/Bogus", "Bogus"), ("--instal", "-instal")]:
            with self.subTest(argument=argument):
                boxes, code = self.install.run(argument)
                self.assertEqual(boxes, [{"icon": "error", "text":
                                          f"Invalid Command Line Parameter \"{shown}\"\n\nUse -? for help"}])
                self.assertEqual(code, -1)
        self.assertIsNone(kestrin.service_state())

    def test_install_and_uninstall_together_are_refused(self):
        boxes, code = self.install.run("-i", "-u")
        self.assertEqual(boxes, [{"icon": "error", "text": "Cannot Install and Uninstall"}])
        self.assertEqual(code, -1)
        self.assertIsNone(kestrin.service_state())

    def test_help_wins_over_everything_after_it(self):
        for arguments in [("-i", "-?"), ("--help",), ("?", "-x"), ("/H",)]:
            with self.subTest(arguments=arguments):
                boxes, code = self.install.run(*arguments)
                self.assertEqual(boxes, [{"icon": "information", "text": USAGE}])
                self.assertEqual(code, 0)
        self.assertIsNone(kestrin.service_state())

    def test_every_start_logs_the_build_version(self):
        self.install.run("-?")
        self.assertEqual(self.install.log_lines()[:2], ["Created log file", "User Agent build version = 2.1.14"])


class InstallExitCodeTest(unittest.TestCase):
    """Install and uninstall tell a deployment script whether they worked."""

    OTHER = "KestrinBlocker"

    def setUp(self):
        kestrin.remove_service()
        kestrin.remove_service(self.OTHER)
        self.install = kestrin.Install(self.id())

    def tearDown(self):
        kestrin.remove_service(self.OTHER)
        kestrin.remove_service()

    def test_failed_install_returns_the_win32_error_and_shows_nothing(self):
        # Another service already uses the display name, so the service
        # control manager refuses to create ours.
        kestrin.sc("create", self.OTHER, "binPath=", r"C:\windows\system32\notepad.exe",
                   "DisplayName=", "User Agent Service")
        boxes, code = self.install.run("-i")
        self.assertEqual(boxes, [])
        self.assertEqual(code, 1078)  # ERROR_DUPLICATE_SERVICE_NAME
        self.assertIsNone(kestrin.service_state())
        failure = [line for line in self.install.log_lines() if line.startswith("[!] InstallService")]
        self.assertEqual(len(failure), 1, self.install.log_lines())
        self.assertRegex(failure[0], r"^\[!\] InstallService: Failed to create service Kestrin\.\r\n    .*\. "
                                     r"Error code = 1078\.$")

    def test_uninstalling_a_missing_service_returns_1060_and_shows_nothing(self):
        boxes, code = self.install.run("-u")
        self.assertEqual(boxes, [])
        self.assertEqual(code, 1060)  # ERROR_SERVICE_DOES_NOT_EXIST
        self.assertIn("Error code = 1060.", self.install.log_text())

    def test_install_over_an_existing_service_points_it_at_this_file(self):
        other = kestrin.Install(self.id() + ".other")
        self.assertEqual(other.run("-i"), ([{"icon": "information", "text": "Service installed"}], 0))
        self.assertEqual(self.install.run("/I"), ([{"icon": "information", "text": "Service installed"}], 0))
        key = r"HKLM\System\CurrentControlSet\Services\Kestrin"
        self.assertEqual(kestrin.reg_query(key, "ImagePath"), ("REG_SZ", self.install.exe_windows))
        self.assertEqual(kestrin.reg_query(key, "Description"), ("REG_SZ", "User Agent Service"))


class ForegroundRoleTest(unittest.TestCase):
    """Run without the service control manager, the agent runs in the foreground."""

    def setUp(self):
        kestrin.remove_service()
        self.install = kestrin.Install(self.id())

    def tearDown(self):
        kestrin.remove_service()

    def test_plain_start_runs_the_agent_even_when_the_service_is_installed(self):
        self.assertEqual(self.install.run("--INSTALL")[1], 0)
        self.assertEqual(kestrin.service_state(), "STOPPED")
        process = subprocess.Popen(["wine", self.install.exe_windows], env=kestrin.wine_env(),
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            self.assertTrue(self.install.wait_for_log("CUserAgent: service running"), self.install.log_lines())
            # It is no service: the service control manager still has it stopped.
            self.assertEqual(kestrin.service_state(), "STOPPED")
            lines = self.install.log_lines()
            kestrin.assert_in_order(self, lines, ["SvrInitialize Begin", "CUserAgent::Initialize",
                                                  "CUserAgent::Initialize: complete", "SvrInitialize End",
                                                  "CUserAgent: service running"])
        finally:
            process.kill()
            process.wait(timeout=30)

import unittest

import kestrin


class ServiceLifecycleTest(unittest.TestCase):
    """Install, start, stop and uninstall through Wine's service control manager."""

    def setUp(self):
        kestrin.remove_service()
        self.install = kestrin.Install(self.id())

    def tearDown(self):
        kestrin.remove_service()

    def test_install_start_stop_uninstall(self):
        self.assertEqual(self.install.run("-i"), ([{"icon": "information", "text": "Service installed"}], 0))
        self.assertEqual(kestrin.service_state(), "STOPPED")
        key = r"HKLM\System\CurrentControlSet\Services\Kestrin"
        self.assertEqual(kestrin.reg_query(key, "ImagePath"), ("REG_SZ", self.install.exe_windows))
        self.assertEqual(kestrin.reg_query(key, "Description"), ("REG_SZ", "User Agent Service"))
        self.assertEqual(kestrin.reg_query(key, "Start"), ("REG_DWORD", "0x2"))
        # The options may hold a bind password: only administrators open them.
        self.assertEqual(kestrin.key_access(kestrin.OPTIONS_KEY), {"self": 0, "user": 5})

        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING")
        self.assertTrue(self.install.wait_for_log("CUserAgent: service running"))
        self.assertIn("WIN32_OWN_PROCESS", kestrin.sc("query", "Kestrin").stdout)

        kestrin.sc("stop", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")
        self.assertTrue(self.install.wait_for_log("SvrUninitialize End"))

        lines = self.install.log_lines()
        kestrin.assert_in_order(self, lines, [
            "User Agent build version = 2.1.14",
            "SvrInitialize Begin", "Initializing COM", "Initializing WinSock 2.2",
            "CUserAgent::Initialize", "CUserAgent::Initialize: complete", "SvrInitialize End",
            "CUserAgent: service running",
            "ServiceCtrlHandler: Received SERVICE_CONTROL_STOP", "Signaling the service to stop",
            "Shutdown Signalled", "CUserAgent: thread stopped", "Shutting Down",
            "SvrUninitialize Begin", "Uninitializing User Agent Instance",
            "CUserAgent::Uninitialize", "CUserAgent::Uninitialize: Complete",
            "Uninitializing WinSock", "Uninitializing COM", "Freeing User Agent Instance",
            "SvrUninitialize End",
        ])

        self.assertEqual(self.install.run("-u"), ([{"icon": "information", "text": "Service uninstalled"}], 0))
        self.assertIsNone(kestrin.wait_for_state(None))

    def test_uninstall_stops_a_running_service(self):
        self.assertEqual(self.install.run("-i")[1], 0)
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING")
        self.assertEqual(self.install.run("--uninstall"),
                         ([{"icon": "information", "text": "Service uninstalled"}], 0))
        self.assertIsNone(kestrin.wait_for_state(None))
        self.assertTrue(self.install.wait_for_log("SvrUninitialize End"))


class RunningReportTest(unittest.TestCase):
    """The controls the running service accepts depend on the Windows version."""

    APP_KEY = r"HKCU\Software\Wine\AppDefaults\Kestrin.exe"

    def setUp(self):
        kestrin.remove_service()
        self.install = kestrin.Install(self.id())

    def tearDown(self):
        kestrin.remove_service()
        kestrin.reg_delete_key(self.APP_KEY)

    def running_status(self):
        self.assertEqual(self.install.run("-i")[1], 0)
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING")
        return kestrin.helper_json("service-status", "Kestrin")

    def test_stop_shutdown_and_session_change_on_later_systems(self):
        status = self.running_status()
        self.assertEqual(status["controls"], 0x85)
        self.assertTrue(self.install.wait_for_log("Loading WTS Functions"))

    def test_stop_and_shutdown_only_on_windows_2000(self):
        kestrin.reg_add(self.APP_KEY, "Version", "win2k")
        status = self.running_status()
        self.assertEqual(status["controls"], 0x5)
        self.assertTrue(self.install.wait_for_log("CUserAgent::Initialize: complete"))
        lines = self.install.log_lines()
        self.assertIn("Windows version: 5.0", lines)
        self.assertNotIn("Loading WTS Functions", lines)

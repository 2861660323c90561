"""The base of the end-to-end tests that run the real service with the
stand-ins: a console session, an active adapter, the reference server."""
import unittest

import kestrin
import standins

OPTIONS = kestrin.OPTIONS_KEY


class ScriptedServiceTestCase(unittest.TestCase):
    """Per test: Kestrin.exe installed as the service in a folder of its own,
    the stand-ins beside it, "Global\\TermSrvReadyEvent" held, one adapter and
    reporting to 127.0.0.1; start_service() starts the server and the service."""

    DIRECTORY = False

    def setUp(self):
        kestrin.remove_service()
        kestrin.reg_delete_key(OPTIONS)
        self.install = kestrin.Install(self.id())
        # Installed before the stand-ins: the installing run does not need them.
        self.assertEqual(self.install.run("-i")[1], 0)
        standins.clear()
        standins.install(self.install.folder, directory=self.DIRECTORY)
        self.ready = kestrin.HeldEvent(r"Global\TermSrvReadyEvent")
        self.server = None
        standins.script_adapter(1, description="Wired", addresses=["10.20.30.40"])
        kestrin.reg_import([f"[{kestrin.reg_file_key(OPTIONS)}]", '"Identification Server Reporting"=dword:00000001',
                            '"Identification Server"="127.0.0.1"'])

    def tearDown(self):
        kestrin.remove_service()
        if self.server:
            self.server.stop()
        self.ready.release()
        standins.clear()
        standins.uninstall()
        kestrin.reg_delete_key(OPTIONS)

    def reinstall(self):
        """The service and server as before a start, for a test's next case."""
        kestrin.remove_service()
        self.assertEqual(self.install.run("-i")[1], 0)
        if self.server:
            self.server.stop()
            self.server = None

    def start_service(self, server_options=()):
        self.server = kestrin.IdentServer(self.install.folder, extra=server_options)
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", self.install.log_lines())

    def first_report(self):
        reports = self.server.wait_for_reports(1)
        self.assertTrue(reports, self.install.log_lines())
        return reports[0]

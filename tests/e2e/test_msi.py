"""The MSI package under Wine's msiexec: install, upgrade in place, uninstall."""
import os
import re
import shutil
import subprocess
import unittest

import kestrin
import standins

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
OPTIONS = kestrin.OPTIONS_KEY
SERVICE_KEY = r"HKLM\System\CurrentControlSet\Services\Kestrin"
UNINSTALL_KEY = r"HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall"
UPGRADE_CODES_KEY = r"HKLM\Software\Classes\Installer\UpgradeCodes"
PROGRAM_FOLDER = os.path.join(kestrin.PREFIX, "drive_c", "Program Files", "Varnel Systems", "User Agent")
PROGRAM = os.path.join(PROGRAM_FOLDER, "Kestrin.exe")
LOG = os.path.join(PROGRAM_FOLDER, "Kestrin.log")


def msi_properties(path):
    out = subprocess.run(["msiinfo", "export", path, "Property"], capture_output=True, text=True,
                         check=True).stdout
    return dict(line.rstrip("\r").split("\t", 1) for line in out.splitlines()[3:] if "\t" in line)


def packed_guid(guid):
    """The registry's form of a GUID: each field's hex digits reversed, and
    the bytes of the last two fields swapped pairwise."""
    parts = guid.strip("{}").split("-")
    tail = "".join(parts[3:])
    return "".join(part[::-1] for part in parts[:3]) + "".join(tail[i + 1] + tail[i] for i in range(0, len(tail), 2))


def msiexec_env():
    return kestrin.wine_env(display=bool(kestrin.DISPLAY))


def log_text():
    try:
        with open(LOG, "rb") as f:
            return f.read().decode("cp1252", errors="replace")
    except FileNotFoundError:
        return ""


class MsiTest(unittest.TestCase):
    """Two packages of the same program: the version of service/BuildVersion.h
    and one a patch level above it, built by scripts/make-msi."""

    @classmethod
    def setUpClass(cls):
        cls.folder = os.path.join(kestrin.WORK, "msi")
        shutil.rmtree(cls.folder, ignore_errors=True)
        os.makedirs(cls.folder)
        env = dict(os.environ, KESTRIN_BUILD=os.path.dirname(os.path.dirname(os.path.abspath(kestrin.KESTRIN_EXE))))
        cls.old = os.path.join(cls.folder, "Kestrin.msi")
        cls.new = os.path.join(cls.folder, "Kestrin-newer.msi")
        make_msi = [os.path.join(ROOT, "scripts", "make-msi"), "--exe", kestrin.KESTRIN_EXE]
        subprocess.run(make_msi + ["--output", cls.old], env=env, check=True, capture_output=True)
        cls.old_properties = msi_properties(cls.old)
        major, minor, patch = cls.old_properties["ProductVersion"].split(".")
        cls.new_version = f"{major}.{minor}.{int(patch) + 1}"
        subprocess.run(make_msi + ["--output", cls.new, "--version", cls.new_version], env=env, check=True,
                       capture_output=True)
        cls.new_properties = msi_properties(cls.new)

    def setUp(self):
        self.clean()
        self.ready = kestrin.HeldEvent(r"Global\TermSrvReadyEvent")
        self.server = kestrin.IdentServer(self.folder)

    def tearDown(self):
        self.clean()
        self.server.stop()
        self.ready.release()

    def clean(self):
        for properties in (self.old_properties, self.new_properties):
            subprocess.run(["wine", "msiexec", "/x", properties["ProductCode"], "/qn"], env=msiexec_env(),
                           stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=120)
        kestrin.remove_service()
        kestrin.reg_delete_key(OPTIONS)
        shutil.rmtree(PROGRAM_FOLDER, ignore_errors=True)

    def msiexec(self, action, package, *properties):
        """Runs msiexec quietly with a verbose log; returns (exit code, log text)."""
        log = os.path.join(self.folder, f"{self.id()}-{action.strip('/')}-{os.path.basename(package)}.log")
        # The first window msiexec creates (even with /qn) starts the prefix's
        # desktop process, which inherits msiexec's output (so a file, not a
        # pipe) and its display: the prefix's, where later tests show boxes.
        with open(log + ".out", "w") as output:
            code = subprocess.run(["wine", "msiexec", action, kestrin.windows_path(package), "/qn", "/l*v",
                                   kestrin.windows_path(log), *properties], env=msiexec_env(),
                                  stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                                  timeout=120).returncode
        with open(log, "rb") as f:
            # Wine writes the log's first lines in UTF-16 and the rest in ANSI.
            return code, f.read().replace(b"\0", b"").decode("cp1252", errors="replace")

    def registered(self, properties):
        return kestrin.reg_query(UNINSTALL_KEY + "\\" + properties["ProductCode"], "DisplayVersion")

    def products_of_upgrade_code(self):
        out = kestrin.wine("reg", "query", UPGRADE_CODES_KEY + "\\" + packed_guid(self.old_properties["UpgradeCode"]))
        return re.findall(r"^\s+([0-9A-F]{32})\s+REG_SZ", out.stdout, re.M)

    def test_install_upgrade_uninstall(self):
        code, log = self.msiexec("/i", self.old, "IDENTIFICATIONSERVER=127.0.0.1")
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", log_text())
        self.assertEqual(kestrin.reg_query(SERVICE_KEY, "ImagePath")[1].strip('"'),
                         r"C:\Program Files\Varnel Systems\User Agent\Kestrin.exe")
        self.assertEqual(kestrin.reg_query(SERVICE_KEY, "DisplayName"), ("REG_SZ", "User Agent Service"))
        self.assertEqual(kestrin.reg_query(SERVICE_KEY, "Start"), ("REG_DWORD", "0x2"))
        self.assertEqual(kestrin.reg_query(SERVICE_KEY, "ObjectName"), ("REG_SZ", "LocalSystem"))
        self.assertIn("WIN32_OWN_PROCESS", kestrin.sc("query", "Kestrin").stdout)
        # Wine keeps no recovery actions, so only the step that sets them is seen.
        self.assertRegex(log, r"Action ended [\d:]+: SetRecoveryActions\. Return value 1\.")
        self.assertEqual(kestrin.reg_query(OPTIONS, "Identification Server"), ("REG_SZ", "127.0.0.1"))
        self.assertEqual(kestrin.reg_query(OPTIONS, "Identification Server Reporting"), ("REG_DWORD", "0x1"))
        reports = self.server.wait_for_reports(1)
        self.assertTrue(reports, log_text())
        self.assertEqual(reports[0]["agent_version"]["version"], self.old_properties["ProductVersion"])
        self.assertEqual(self.registered(self.old_properties), ("REG_SZ", self.old_properties["ProductVersion"]))
        self.assertIsNotNone(kestrin.reg_query(OPTIONS, "Machine ID"))

        # The newer package replaces the older one: its service stopped, then
        # the newer one's started, the settings kept without being given again.
        code, log = self.msiexec("/i", self.new)
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", log_text())
        self.assertTrue(kestrin.wait_until(lambda: log_text().count("User Agent build version") == 2, 30),
                        log_text())
        self.assertEqual(log_text().count("SvrUninitialize End"), 1)
        self.assertIsNone(self.registered(self.old_properties))
        self.assertEqual(self.registered(self.new_properties), ("REG_SZ", self.new_version))
        self.assertEqual(self.products_of_upgrade_code(), [packed_guid(self.new_properties["ProductCode"])])
        self.assertEqual(kestrin.reg_query(OPTIONS, "Identification Server"), ("REG_SZ", "127.0.0.1"))

        code, log = self.msiexec("/x", self.new)
        self.assertEqual(code, 0, log[-3000:])
        self.assertIsNone(kestrin.wait_for_state(None))
        self.assertFalse(os.path.exists(PROGRAM))
        self.assertEqual(log_text().count("SvrUninitialize End"), 2)
        self.assertIsNone(self.registered(self.new_properties))
        self.assertEqual(self.products_of_upgrade_code(), [])
        # The service's own state and the options stay for a later install.
        self.assertIsNotNone(kestrin.reg_query(OPTIONS, "Machine ID"))
        self.assertIsNotNone(kestrin.reg_query(OPTIONS + r"\Current User", "Computer Name"))
        self.assertEqual(kestrin.reg_query(OPTIONS, "Identification Server"), ("REG_SZ", "127.0.0.1"))

    def test_options_written_only_when_given_and_kept_from_ordinary_users(self):
        kestrin.reg_add(OPTIONS, "LDAP Bind User Password", "secret")
        self.assertEqual(kestrin.key_access(OPTIONS), {"self": 0, "user": 0})
        code, log = self.msiexec("/i", self.old)
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(kestrin.key_access(OPTIONS), {"self": 0, "user": 5})
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", log_text())
        self.assertIsNone(kestrin.reg_query(OPTIONS, "Identification Server"))
        self.assertIsNone(kestrin.reg_query(OPTIONS, "Identification Server Reporting"))

        code, log = self.msiexec("/i", self.new, "IDENTIFICATIONSERVER=10.9.8.7", "IDENTIFICATIONSERVERREPORTING=0")
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(kestrin.reg_query(OPTIONS, "Identification Server"), ("REG_SZ", "10.9.8.7"))
        self.assertEqual(kestrin.reg_query(OPTIONS, "Identification Server Reporting"), ("REG_DWORD", "0x0"))


    def test_a_busy_service_goes_with_its_firewall_exception_and_no_other(self):
        standins.install_firewall(self.folder)
        self.addCleanup(standins.uninstall_firewall)
        # The administrator's own exception for the port, in a profile whose
        # firewall is off, where the agent adds none.
        standins.script_firewall(enabled={"Domain": False})
        kestrin.wine("reg", "add", rf"{standins.FIREWALL_KEY}\Domain\Ports\1305/17", "/v", "Name", "/d",
                     "Appliance queries", "/f", check=True)
        # A server that takes every report and never answers: each report
        # waits out its time-out, and the retries keep the service busy.
        self.server.stop()
        self.server = kestrin.IdentServer(self.folder, reply="silence")
        code, log = self.msiexec("/i", self.old, "IDENTIFICATIONSERVER=127.0.0.1")
        self.assertEqual(code, 0, log[-3000:])
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", log_text())
        self.assertTrue(kestrin.wait_until(lambda: "Failed to report to ident server" in log_text(), 30), log_text())
        self.assertEqual(standins.firewall_ports("Standard"), {"1305/17": "Varnel User Agent (UDP:1305)"})

        code, log = self.msiexec("/x", self.old)
        self.assertEqual(code, 0, log[-3000:])
        self.assertFalse(os.path.exists(PROGRAM))
        self.assertEqual(standins.firewall_ports("Standard"), {})
        self.assertEqual(standins.firewall_ports("Domain"), {"1305/17": "Appliance queries"})


if __name__ == "__main__":
    unittest.main()

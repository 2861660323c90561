"""End-to-end tests of the update check against the reference server's HTTP
side serving a package built by tools/make-update: the service's update thread
run as a program of its own (so that its first check comes at once), and a
running service, of a build whose first check comes after seconds, replaced
by a newer build."""
import os
import re
import shutil
import struct
import subprocess
import time
import unittest

import kestrin
from scripted_service import ScriptedServiceTestCase

OPTIONS = kestrin.OPTIONS_KEY
RUNNER = os.environ["KESTRIN_UPDATE_RUNNER"]
QUICK_UPDATE = os.environ["KESTRIN_QUICK_UPDATE"]
RUNNER_WITHOUT_VERSION = os.path.join(os.path.dirname(RUNNER), "UpdateRunnerWithoutVersion.exe")
MAKE_UPDATE = os.path.join(kestrin.TOOLS, "make-update")
MANIFEST = "ua_update_x64.md5"
NOT_NEWER = "[*] CUpdate: Newer service version not available."
# A hang guard for one check against a local server, not an asserted duration.
CHECK_WAIT = 60


def read(path):
    with open(path, "rb") as file:
        return file.read()


def with_file_version(program, patch):
    """The bytes of program with its version resource saying 2.1.<patch>.0
    instead of 2.1.14.0, both in the fixed part and in the strings."""
    data = bytearray(read(program))
    fixed = data.index(struct.pack("<I", 0xFEEF04BD))
    # dwFileVersionLS and dwProductVersionLS hold <patch> << 16.
    for offset in (fixed + 12, fixed + 20):
        struct.pack_into("<I", data, offset, patch << 16)
    old, new = "2.1.14.0".encode("utf-16-le"), f"2.1.{patch}.0".encode("utf-16-le")
    assert len(old) == len(new) and data.count(old) == 2
    return bytes(data.replace(old, new))


class UpdateCheckTest(unittest.TestCase):

    def setUp(self):
        kestrin.reg_delete_key(OPTIONS)
        kestrin.reg_add(OPTIONS, "Identification Server", "127.0.0.1")
        self.install = kestrin.Install(self.id())
        self.program = os.path.join(self.install.folder, "UpdateRunner.exe")
        shutil.copy(RUNNER, self.program)
        self.install.log_path = os.path.join(self.install.folder, "Kestrin.log")
        self.updates = os.path.join(self.install.folder, "updates")
        os.makedirs(self.updates)
        self.server = None

    def tearDown(self):
        if self.server:
            self.server.stop()
        kestrin.reg_delete_key(OPTIONS)

    def publish(self, version, extra=()):
        subprocess.run([MAKE_UPDATE, kestrin.KESTRIN_EXE, self.updates, "--version", version,
                        *[arg for name in extra for arg in ("--extra", name)]], check=True, capture_output=True)

    def check(self, last_line, fault=None):
        """One check of the runner; returns its exit code once last_line (a
        prefix) was logged or the runner ended by itself."""
        self.server = kestrin.IdentServer(self.install.folder, extra=["--updates", self.updates] +
                                          (["--http-fault", fault] if fault else []))
        runner = subprocess.Popen(["wine", self.program, "100"], env=kestrin.wine_env(), stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + CHECK_WAIT
        while runner.poll() is None and time.monotonic() < deadline:
            if any(line.startswith(last_line) for line in self.install.log_lines()):
                break
            time.sleep(0.2)
        runner.stdin.close()
        return runner.wait(timeout=CHECK_WAIT)

    def assert_untouched(self, original):
        self.assertEqual(read(self.program), original)
        self.assertFalse(os.path.exists(self.program + ".old"))

    def test_a_newer_build_is_installed_in_place_of_the_program(self):
        original = read(self.program)
        self.publish("2.1.15")
        self.assertEqual(self.check("[*] Update complete, restarting service."), 1, self.install.log_lines())
        self.assertEqual(read(self.program), read(kestrin.KESTRIN_EXE))
        self.assertEqual(read(self.program + ".old"), original)
        self.assertFalse(os.path.exists(os.path.join(self.install.folder, "Tmp", "ua_update_x64.zip")))

    def test_a_program_without_a_readable_version_is_always_updated(self):
        shutil.copy(RUNNER_WITHOUT_VERSION, self.program)
        self.publish("0.0.1")
        self.assertEqual(self.check("[*] Update complete, restarting service."), 1, self.install.log_lines())
        self.assertIn(f'[!] CUpdate: Unable to obtain version of "{kestrin.windows_path(self.program)}".',
                      self.install.log_lines())
        self.assertEqual(read(self.program), read(kestrin.KESTRIN_EXE))

    def test_refused_updates_leave_the_program_as_it_is(self):
        readme = os.path.join(self.install.folder, "readme.txt")
        with open(readme, "w") as file:
            file.write("notes\n")
        cases = [
            # (version published, manifest rewrite, server fault, last line of the check)
            ("2.1.14", None, None, NOT_NEWER),
            ("2.1.13.9", None, None, NOT_NEWER),
            # A version of two parts, which make-update would not write.
            ("2.1.15", lambda text: text.replace("|2.1.15", "|5.1"), None, NOT_NEWER),
            # Kestrin.new tampered with, while the other listed file matches.
            ("2.1.15", lambda text: re.sub(r"Kestrin\.new\|\w+", "Kestrin.new|" + "0" * 32, text), None,
             "[!] CUpdate: MD5 signature does not match!"),
            ("2.1.15", None, "404", "[!] CUpdate: Unable to get update package manifest"),
            ("2.1.15", None, "oversize", "[!] CUpdate: Unable to download update package manifest"),
            # Without a Content-Length the body cannot be taken either.
            ("2.1.15", None, "no-length", "[!] CUpdate: Unable to download update package manifest"),
            # Half the announced body, then the connection closes.
            ("2.1.15", None, "truncate", "[!] CUpdate: Unable to download update package manifest"),
        ]
        for version, rewrite, fault, last_line in cases:
            with self.subTest(version=version, fault=fault, tampered=rewrite is not None):
                original = read(self.program)
                self.publish(version, extra=[readme])
                if rewrite:
                    path = os.path.join(self.updates, MANIFEST)
                    with open(path, encoding="cp1252", newline="") as file:
                        text = rewrite(file.read())
                    with open(path, "w", encoding="cp1252", newline="") as file:
                        file.write(text)
                if self.server:
                    self.server.stop()
                open(self.install.log_path, "w").close()
                self.assertEqual(self.check(last_line, fault), 0, self.install.log_lines())
                self.assertTrue(any(line.startswith(last_line) for line in self.install.log_lines()),
                                self.install.log_lines())
                self.assert_untouched(original)


class ServiceUpdateTest(ScriptedServiceTestCase):
    """The running service replaced by a newer build it downloads itself."""

    def test_the_service_swaps_in_a_newer_build_and_runs_it(self):
        shutil.copy(QUICK_UPDATE, self.install.exe)
        original = read(self.install.exe)
        updates = os.path.join(self.install.folder, "updates")
        os.makedirs(updates)
        newer = os.path.join(self.install.folder, "newer", "Kestrin.exe")
        os.makedirs(os.path.dirname(newer))
        with open(newer, "wb") as file:
            file.write(with_file_version(QUICK_UPDATE, 15))
        subprocess.run([MAKE_UPDATE, newer, updates, "--version", "2.1.15"], check=True, capture_output=True)

        self.start_service(["--updates", updates])
        self.assertEqual(self.first_report()["agent_version"]["version"], "2.1.14")
        # The build that started again reports its own version.
        self.assertTrue(kestrin.wait_until(
            lambda: any(report["agent_version"]["version"] == "2.1.15" for report in self.server.reports()), 90),
            self.install.log_lines())
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", self.install.log_lines())
        self.assertEqual(read(self.install.exe), read(newer))
        self.assertNotEqual(read(newer), original)
        self.assertFalse(os.path.exists(os.path.join(self.install.folder, "Tmp", "ua_update_x64.zip")))
        lines = self.install.log_lines()
        # The backup was taken; the new build removes it when it starts, unless
        # the old process, whose image it is, has not ended by then.
        self.assertTrue(any(line.startswith('[*] CUpdate: Service program "') and
                            line.endswith(kestrin.windows_path(self.install.exe) + '.old"') for line in lines), lines)
        try:
            self.assertEqual(read(self.install.exe + ".old"), original)
        except FileNotFoundError:
            pass
        self.assertIn("[*] Update complete, restarting service.", lines)
        self.assertIn("User Agent resource version: 2.1.15", lines)


if __name__ == "__main__":
    unittest.main()

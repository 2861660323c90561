"""End-to-end tests of the update check against the reference server's HTTP
side serving a package built by tools/make-update: the service's update thread
run as a program of its own (so that its first check comes at once), and a
running service, of a build whose first check comes after seconds, replaced
by a newer build, rolled back from one that cannot run, and stopped in the
middle of a download."""
import os
import re
import shutil
import subprocess
import sys
import tempfile
import time
import unittest
import zipfile

import kestrin
from scripted_service import ScriptedServiceTestCase
from signing import Signer

# The newer build is the same raised copy scripts/run --update publishes.
sys.path.insert(0, os.path.join(kestrin.TOOLS, "..", "scripts", "lib"))
import file_version  # noqa: E402

OPTIONS = kestrin.OPTIONS_KEY
RUNNER = os.environ["KESTRIN_UPDATE_RUNNER"]
QUICK_UPDATE = os.environ["KESTRIN_QUICK_UPDATE"]
RUNNER_WITHOUT_VERSION = os.path.join(os.path.dirname(RUNNER), "UpdateRunnerWithoutVersion.exe")
EXIT_AT_ONCE = os.path.join(os.path.dirname(RUNNER), "ExitAtOnce.exe")
MAKE_UPDATE = os.path.join(kestrin.TOOLS, "make-update")
MANIFEST = "ua_update_x64.md5"
PACKAGE = "ua_update_x64.zip"
PACKAGE_PATH = "/api/user_agent/updates/" + PACKAGE
NOT_NEWER = "[*] CUpdate: Newer service version not available."
INSTALLED = "[*] Update complete, restarting service."
SAME_SIGNER = "[*] CUpdate: The new service program is signed by the running program's signer"
OTHER_SIGNER = "[!] CUpdate: Update refused: the new service program is signed by"
TOO_LARGE = "[!] CUpdate: Update package refused: it is larger than the limit of 33554432 bytes."
# A hang guard for one check against a local server, not an asserted duration.
CHECK_WAIT = 60


def read(path):
    with open(path, "rb") as file:
        return file.read()


def write(path, data):
    with open(path, "wb") as file:
        file.write(data)


def newer_build(program):
    """The bytes of program with its version resource saying 2.1.15.0 instead of 2.1.14.0."""
    return file_version.bumped(read(program))[0]


def flip_byte(data, offset=0x2000):
    """The program with one byte of its code changed."""
    return data[:offset] + bytes([data[offset] ^ 0xFF]) + data[offset + 1:]


def rewrite_manifest(updates, change):
    path = os.path.join(updates, MANIFEST)
    with open(path, encoding="cp1252", newline="") as file:
        text = change(file.read())
    with open(path, "w", encoding="cp1252", newline="") as file:
        file.write(text)


def with_escaping_entry(updates):
    """The package with a tampered program and an entry whose name climbs out
    of the download folder to where the program would load a DLL from."""
    path = os.path.join(updates, PACKAGE)
    with zipfile.ZipFile(path) as package:
        program = package.read("Kestrin.new")
    with zipfile.ZipFile(path, "w") as package:
        package.writestr("Kestrin.new", flip_byte(program))
        package.writestr("x\\../version.dll", b"MZ not a DLL")


def oversized_package(updates):
    """33 MiB that are not even a zip: only the size may stop them."""
    write(os.path.join(updates, PACKAGE), os.urandom(33 << 20))


class UpdateCheckTest(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.certificates = tempfile.TemporaryDirectory()
        folder = cls.certificates.name
        cls.signers = {"a": Signer(folder, "a"), "b": Signer(folder, "b", subject="Another Signer"),
                       # The same names as "a", with keys of its own.
                       "a-twin": Signer(folder, "a-twin"),
                       # Its leaf is signed with SHA-1: Wine checks its chain, and finds no trusted root.
                       "untrusted": Signer(folder, "untrusted", digest="sha1")}
        cls.newer = newer_build(kestrin.KESTRIN_EXE)

    @classmethod
    def tearDownClass(cls):
        cls.certificates.cleanup()

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

    def publish(self, version, program, extra=(), signer=None):
        path = os.path.join(self.install.folder, "published.exe")
        write(path, program)
        signing = ["--sign-cert", signer.certificates, "--sign-key", signer.key] if signer else []
        subprocess.run([MAKE_UPDATE, path, self.updates, "--version", version, *signing,
                        *[arg for name in extra for arg in ("--extra", name)]], check=True, capture_output=True)

    def check(self, last_line, fault=None, fault_path=None):
        """One check of the runner, from a fresh log; returns its exit code
        once last_line (a prefix) was logged or the runner ended by itself."""
        if self.server:
            self.server.stop()
        open(self.install.log_path, "w").close()
        self.server = kestrin.IdentServer(self.install.folder, extra=["--updates", self.updates] +
                                          (["--http-fault", fault] if fault else []) +
                                          (["--http-fault-path", fault_path] if fault_path else []))
        runner = subprocess.Popen(["wine", self.program, "100"], env=kestrin.wine_env(), stdin=subprocess.PIPE,
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + CHECK_WAIT
        while runner.poll() is None and time.monotonic() < deadline:
            if self.logged(last_line):
                break
            time.sleep(0.2)
        runner.stdin.close()
        return runner.wait(timeout=CHECK_WAIT)

    def logged(self, prefix):
        return any(line.startswith(prefix) for line in self.install.log_lines())

    def packaged_program(self):
        with zipfile.ZipFile(os.path.join(self.updates, PACKAGE)) as package:
            return package.read("Kestrin.new")

    def assert_nothing_left(self):
        """Nothing of the package stays in the download folder or beside the program."""
        self.assertEqual(os.listdir(os.path.join(self.install.folder, "Tmp")), [])
        self.assertFalse(os.path.exists(os.path.join(self.install.folder, "version.dll")))

    def assert_untouched(self, original):
        self.assertEqual(read(self.program), original)
        self.assertFalse(os.path.exists(self.program + ".old"))
        self.assert_nothing_left()

    def assert_installed(self, original, published):
        self.assertEqual(read(self.program), published)
        self.assertEqual(read(self.program + ".old"), original)
        self.assert_nothing_left()

    def test_a_newer_build_is_installed_in_place_of_the_program(self):
        original = read(self.program)
        self.publish("2.1.15", self.newer)
        self.assertEqual(self.check(INSTALLED), 1, self.install.log_lines())
        self.assert_installed(original, self.newer)
        self.assertIn("[*] CUpdate: The running service program is not signed: the update is verified by its MD5 "
                      "digest only.", self.install.log_lines())

    def test_a_program_without_a_readable_version_is_always_updated(self):
        shutil.copy(RUNNER_WITHOUT_VERSION, self.program)
        original = read(self.program)
        self.publish("2.1.14", read(kestrin.KESTRIN_EXE))
        self.assertEqual(self.check(INSTALLED), 1, self.install.log_lines())
        self.assertIn(f'[!] CUpdate: Unable to obtain version of "{kestrin.windows_path(self.program)}".',
                      self.install.log_lines())
        self.assert_installed(original, read(kestrin.KESTRIN_EXE))

    def test_refused_updates_leave_the_program_as_it_is(self):
        readme = os.path.join(self.install.folder, "readme.txt")
        with open(readme, "w") as file:
            file.write("notes\n")
        current = read(kestrin.KESTRIN_EXE)
        tampered = lambda text: re.sub(r"Kestrin\.new\|\w+", "Kestrin.new|" + "0" * 32, text)
        cases = [
            # (version published, program, change to the published files, server fault, path it hits,
            #  last line of the check)
            ("2.1.14", current, None, None, None, NOT_NEWER),
            ("2.1.13.9", current, None, None, None, NOT_NEWER),
            # A version of two parts, which make-update would not write.
            ("2.1.15", self.newer, lambda u: rewrite_manifest(u, lambda t: t.replace("|2.1.15", "|5.1")), None,
             None, NOT_NEWER),
            # The manifest overstates the build's version.
            ("2.1.15", current, None, None, None,
             "[!] CUpdate: Update refused: the new service program's version 2.1.14.0 is not the update "
             "manifest's 2.1.15."),
            # Kestrin.new tampered with, while the other listed file matches.
            ("2.1.15", self.newer, lambda u: rewrite_manifest(u, tampered), None, None,
             "[!] CUpdate: MD5 signature does not match!"),
            ("2.1.15", self.newer, with_escaping_entry, None, None,
             '[!] CUpdate: Skipping package entry "x\\../version.dll".'),
            ("2.1.15", self.newer, None, "404", None, "[!] CUpdate: Unable to get update package manifest"),
            ("2.1.15", self.newer, None, "redirect", None,
             '[!] CUpdate: Unable to get update package manifest "127.0.0.1/api/user_agent/updates/'
             'ua_update_x64.md5",\r\n    HTTP status code = 302'),
            ("2.1.15", self.newer, None, "oversize", None, "[!] CUpdate: Unable to download update package manifest"),
            # Without a Content-Length the body cannot be taken either.
            ("2.1.15", self.newer, None, "no-length", None, "[!] CUpdate: Unable to download update package manifest"),
            # Half the announced body, then the connection closes.
            ("2.1.15", self.newer, None, "truncate", None, "[!] CUpdate: Unable to download update package manifest"),
            # A package over the bound, announced, and found while streaming.
            ("2.1.15", self.newer, None, "huge-length", PACKAGE_PATH, TOO_LARGE),
            ("2.1.15", self.newer, oversized_package, "no-length", PACKAGE_PATH, TOO_LARGE),
        ]
        for version, program, change, fault, fault_path, last_line in cases:
            with self.subTest(version=version, fault=fault, last_line=last_line):
                original = read(self.program)
                self.publish(version, program, extra=[readme])
                if change:
                    change(self.updates)
                self.assertEqual(self.check(last_line, fault, fault_path), 0, self.install.log_lines())
                self.assertTrue(self.logged(last_line), self.install.log_lines())
                self.assert_untouched(original)

    def test_a_signed_program_takes_only_builds_signed_with_its_own_certificate(self):
        signed = lambda name, data: self.signers[name].sign(data)
        cases = [
            # (signer of the running program, the new build as published, signer make-update uses, last line)
            ("a", self.newer, "a", SAME_SIGNER),
            ("untrusted", self.newer, "untrusted", SAME_SIGNER),
            ("a", self.newer, "b", OTHER_SIGNER),
            ("a", self.newer, "a-twin", OTHER_SIGNER),
            ("a", flip_byte(signed("a", self.newer)), None,
             "[!] CUpdate: Update refused: the new service program was changed after it was signed."),
            ("a", self.newer, None, "[!] CUpdate: Update refused: the new service program is not signed."),
        ]
        for running_signer, program, signer, last_line in cases:
            with self.subTest(running=running_signer, signer=signer, last_line=last_line):
                write(self.program, signed(running_signer, read(RUNNER)))
                if os.path.exists(self.program + ".old"):
                    os.unlink(self.program + ".old")
                original = read(self.program)
                self.publish("2.1.15", program, signer=self.signers.get(signer))
                exit_code = self.check(last_line)
                self.assertTrue(self.logged(last_line), self.install.log_lines())
                if last_line == SAME_SIGNER:
                    self.assertEqual(exit_code, 1, self.install.log_lines())
                    self.assert_installed(original, self.packaged_program())
                else:
                    self.assertEqual(exit_code, 0, self.install.log_lines())
                    self.assert_untouched(original)


class ServiceUpdateTest(ScriptedServiceTestCase):
    """The running service replaced by a newer build it downloads itself."""

    def publish(self, program_bytes, version="2.1.15"):
        self.updates = os.path.join(self.install.folder, "updates")
        os.makedirs(self.updates, exist_ok=True)
        newer = os.path.join(self.install.folder, "newer", "Kestrin.exe")
        os.makedirs(os.path.dirname(newer), exist_ok=True)
        write(newer, program_bytes)
        subprocess.run([MAKE_UPDATE, newer, self.updates, "--version", version], check=True, capture_output=True)

    def versions_reported(self):
        return [report["agent_version"]["version"] for report in self.server.reports()]

    def tmp_files(self):
        return os.listdir(os.path.join(self.install.folder, "Tmp"))

    def test_the_service_swaps_in_a_newer_build_and_runs_it(self):
        shutil.copy(QUICK_UPDATE, self.install.exe)
        original = read(self.install.exe)
        newer = newer_build(QUICK_UPDATE)
        self.publish(newer)

        self.start_service(["--updates", self.updates])
        self.assertEqual(self.first_report()["agent_version"]["version"], "2.1.14")
        # The build that started again reports its own version.
        self.assertTrue(kestrin.wait_until(lambda: "2.1.15" in self.versions_reported(), 90),
                        self.install.log_lines())
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", self.install.log_lines())
        self.assertEqual(read(self.install.exe), newer)
        # The backup stays while the old process watches the new build.
        self.assertEqual(read(self.install.exe + ".old"), original)
        self.assertEqual(self.tmp_files(), [])
        lines = self.install.log_lines()
        self.assertIn(INSTALLED, lines)
        self.assertIn("User Agent resource version: 2.1.15", lines)

    def test_a_new_build_that_cannot_run_is_rolled_back(self):
        shutil.copy(QUICK_UPDATE, self.install.exe)
        original = read(self.install.exe)
        self.publish(newer_build(EXIT_AT_ONCE))

        self.start_service(["--updates", self.updates])
        self.assertTrue(self.install.wait_for_log(INSTALLED, 60), self.install.log_lines())
        # Once is enough: the build put back would otherwise try again.
        for name in (MANIFEST, PACKAGE):
            os.unlink(os.path.join(self.updates, name))
        rolled_back = "[!] CUpdate: The updated service did not keep running for 60 seconds; restoring the " \
                      "previous program."
        self.assertTrue(self.install.wait_for_log(rolled_back, 60), self.install.log_lines())
        # The previous build runs again and reports as it starts.
        self.assertTrue(kestrin.wait_until(lambda: len(self.versions_reported()) >= 2, 60), self.install.log_lines())
        self.assertEqual(set(self.versions_reported()), {"2.1.14"})
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING", self.install.log_lines())
        self.assertEqual(read(self.install.exe), original)
        self.assertFalse(os.path.exists(self.install.exe + ".old"))

    def test_a_stop_during_a_slow_download_ends_the_update_thread_in_time(self):
        shutil.copy(QUICK_UPDATE, self.install.exe)
        self.publish(newer_build(QUICK_UPDATE))
        # The package comes 64 bytes a second: days for the program.
        self.start_service(["--updates", self.updates, "--http-fault", "drip", "--http-fault-path", PACKAGE_PATH])
        self.assertTrue(self.install.wait_for_log("[*] CUpdate: New service available, downloading ...", 60),
                        self.install.log_lines())
        kestrin.sc("stop", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED", self.install.log_lines())
        self.assertTrue(self.install.wait_for_log("CUpdate: thread stopped", 30), self.install.log_lines())
        lines = self.install.log_lines()
        # Cancelled (ERROR_CANCELLED) in the system's words.
        self.assertTrue([line for line in lines if line.startswith("[!] CUpdate: Unable to download update package.")
                         and line.endswith("Error code = 1223.")], lines)
        # The entry routine's wait of 10 s saw the thread end by itself.
        self.assertFalse([line for line in lines if line.startswith("Unable to obtain update thread exit code")])
        self.assertEqual(self.tmp_files(), [])


if __name__ == "__main__":
    unittest.main()

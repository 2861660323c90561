"""End-to-end test of scripts/run, run as a person runs it, against the build
CTest runs from: what it shows, and that it leaves nothing behind.
"""
import os
import re
import signal
import socket
import subprocess
import time
import unittest
import uuid

import kestrin

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
RUN_SCRIPT = os.path.join(ROOT, "scripts", "run")
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(kestrin.KESTRIN_EXE)))
RUN_DIR = os.path.join(BUILD, "run")
RUN_PREFIX = os.path.join(BUILD, "wineprefix-run")
# Hang guards: a run takes well under a minute beyond its --seconds.
RUN_LIMIT = 180


def user_of(text):
    """The user name without the domain a report or an answer may put before it."""
    return text.strip().rpartition("\\")[2]


def processes_of_run(session, mark):
    """Live processes of the run: in its session, carrying its mark in their
    environment, or naming its folder or prefix on their command line."""
    names = [path.encode() for path in (RUN_DIR, RUN_PREFIX, kestrin.windows_path(RUN_DIR))]
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/stat") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{pid}/environ", "rb") as f:
                environ = f.read().split(b"\0")
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                command = f.read().replace(b"\0", b" ")
        except OSError:
            continue
        state, sid = fields[0], int(fields[3])
        if state != "Z" and (sid == session or mark in environ or any(name in command for name in names)):
            found.append(f"{pid} {command.decode(errors='replace')}")
    return found


class RunScriptTest(unittest.TestCase):

    def setUp(self):
        os.makedirs(kestrin.WORK, exist_ok=True)
        self.mark = f"KESTRIN_RUN_TEST={uuid.uuid4().hex}"
        self.runs = 0
        self.process = None
        self.addCleanup(self.end_leftovers)

    def end_leftovers(self):
        """After a failure, what the run left must not disturb the tests after it."""
        for line in processes_of_run(self.process.pid if self.process else -1, self.mark.encode()):
            try:
                os.kill(int(line.split()[0]), signal.SIGKILL)
            except OSError:
                pass
        subprocess.run(["wineserver", "-k"], env=dict(os.environ, WINEPREFIX=RUN_PREFIX), capture_output=True)

    def start(self, *args):
        """scripts/run in a session of its own, as from a terminal (SIGINT not ignored)."""
        name, value = self.mark.split("=")
        self.runs += 1
        self.output_path = os.path.join(kestrin.WORK, f"{self.id()}-{self.runs}.log")
        with open(self.output_path, "w") as output:
            self.process = subprocess.Popen(
                [RUN_SCRIPT, *args], stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                env=dict(os.environ, KESTRIN_BUILD=BUILD, **{name: value}), start_new_session=True,
                preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))

    def output(self):
        with open(self.output_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_output(self, pattern):
        deadline = time.monotonic() + RUN_LIMIT
        while time.monotonic() < deadline and self.process.poll() is None:
            match = re.search(pattern, self.output(), re.M)
            if match:
                return match
            time.sleep(0.5)
        self.fail(f"no {pattern!r} in the output:\n{self.output()}")

    def finish(self):
        try:
            return self.process.wait(timeout=RUN_LIMIT)
        except subprocess.TimeoutExpired:
            self.fail(f"scripts/run did not end:\n{self.output()}")

    def assert_user_shown(self, user):
        """A report and the logon-user answer name the user; the verdict is good."""
        text = self.output()
        reported = re.findall(r"^\[report\] (?:startup|user)  (\S+)", text, re.M)
        self.assertIn(user, [user_of(name) for name in reported], text)
        answers = re.findall(r"^\[query logon-user\] User:(.*)$", text, re.M)
        self.assertEqual([user_of(answer) for answer in answers], [user], text)
        self.assertRegex(text, r"(?m)^\[kestrin\] verdict: ok - reports: \d+ startup.*queries answered: 3 of 3;"
                               r".*; clean stop$")

    def assert_nothing_left(self):
        self.assertEqual(processes_of_run(self.process.pid, self.mark.encode()), [], self.output())
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as tcp:
            # As the reference server binds: the run's closed connections may wait in TIME_WAIT.
            tcp.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
            tcp.bind(("127.0.0.1", 1306))
            tcp.listen()
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.bind(("0.0.0.0", 1305))

    def test_a_timed_run_and_an_interrupted_ldap_one(self):
        self.start("--seconds", "30", "--user", "ada", "--network", "microsoft")
        self.assertEqual(self.finish(), 0, self.output())
        self.assert_user_shown("ada")
        # Midway bob takes over, and the agent reports him after the address change.
        self.assertRegex(self.output(), r"(?m)^\[report\] user  \S*bob  groups:")
        self.assertRegex(self.output(), r"(?m)^\[kestrin\] verdict: ok - .*user changes seen: 1; clean stop$")
        self.assertIn("(expected under Wine: no Windows Firewall service)", self.output())
        self.assert_nothing_left()

        # The directory's user by default, with the groups slapd holds that
        # the server's assignments list.
        assignments = os.path.join(kestrin.WORK, "assignments.json")
        with open(assignments, "w") as file:
            file.write('["corp\\\\staff"]')
        self.start("--assignments", assignments)
        groups = self.wait_for_output(r"^\[query logon-user\] Groups:(.*)$")
        self.wait_for_output(r"^\[query nextgen\] User:")
        # bob's groups pruned the same way.
        self.wait_for_output(r"^\[report\] user  \S*bob  uid=bob,ou=People,dc=corp,dc=example  groups: staff  -> ok$")
        self.process.send_signal(signal.SIGINT)
        self.assertEqual(self.finish(), 0, self.output())
        self.assert_user_shown("alice")
        self.assertEqual(groups.group(1).strip(), "staff")
        self.assertIn("[http] GET /api/agents/group_assignments -> 200", self.output())
        self.assert_nothing_left()

    def test_a_taken_port_is_named_before_anything_starts(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as udp:
            udp.bind(("0.0.0.0", 1305))
            self.start("--seconds", "10")
            self.assertEqual(self.finish(), 1, self.output())
        self.assertRegex(self.output(), rf"UDP port 1305 is in use by python3 \(pid {os.getpid()}\)")
        self.assertNotIn("starting the service", self.output())
        self.assert_nothing_left()


if __name__ == "__main__":
    unittest.main()

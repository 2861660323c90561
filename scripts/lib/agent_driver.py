"""Driving the running agent of the measuring build (KestrinSessionBench) from
Linux, for scripts/bench-logon and scripts/soak; imported, not run.

- IdentServer runs tools/ident-server and timestamps each report line as it
  arrives on the server's standard output.
- LogTail timestamps each line the agent writes to its log as it is written
  (inotify on the file; the agent flushes every line), since the log's own
  times have whole seconds only.
- trigger() hands the agent a session change through the build's loopback
  trigger port, as the service control manager would deliver it; the trigger
  comes back once the agent has handled the event.
- The stand-ins and the registry are scripted through tests/e2e/standins.py.

Every time is time.perf_counter() (the monotonic clock), in seconds.
"""
import ctypes
import json
import os
import queue
import socket
import subprocess
import sys
import threading
import time

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.environ.get("KESTRIN_BUILD", os.path.join(ROOT, "build"))
# tests/e2e/kestrin.py reads these when imported; the measuring scripts use
# its registry and stand-in helpers only.
os.environ.setdefault("KESTRIN_WINEPREFIX", os.environ.get("WINEPREFIX", ""))
os.environ.setdefault("KESTRIN_EXE", os.path.join(BUILD, "bench", "KestrinSessionBench.exe"))
os.environ.setdefault("KESTRIN_HELPER", os.path.join(BUILD, "tests", "KestrinTestHelper.exe"))
os.environ.setdefault("KESTRIN_STANDINS", os.path.join(BUILD, "tests"))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import kestrin  # noqa: E402
import standins  # noqa: E402

TRIGGER_PORT = 41307
WTS_SESSION_LOGON, WTS_SESSION_LOGOFF = 5, 6
REPORT_USER, REPORT_NO_USER, REPORT_STARTUP = "0x20", "0x21", "0x10"


class IdentServer:
    """The reference Identification Server; every report it decodes is queued
    as (arrival time, record)."""

    def __init__(self):
        self.reports = queue.Queue()
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(ROOT, "tools", "ident-server"), "--listen", "127.0.0.1",
             "--http-port", "0"],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        line = self.process.stderr.readline()
        if "listening" not in line:
            raise RuntimeError(f"the reference server did not start: {line.strip()}")
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            arrived = time.perf_counter()
            try:
                self.reports.put((arrived, json.loads(line)))
            except ValueError:
                pass

    def next_report(self, timeout):
        """(arrival time, record), or None when none arrives in time."""
        try:
            return self.reports.get(timeout=timeout)
        except queue.Empty:
            return None

    def drain(self):
        drained = []
        while True:
            try:
                drained.append(self.reports.get_nowait())
            except queue.Empty:
                return drained

    def stop(self):
        self.process.terminate()
        try:
            self.process.wait(timeout=5)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


class _InotifyEvent(ctypes.Structure):
    _fields_ = [("wd", ctypes.c_int), ("mask", ctypes.c_uint32), ("cookie", ctypes.c_uint32),
                ("len", ctypes.c_uint32)]


IN_MODIFY = 0x002


class LogTail:
    """The agent's log from its current end on: (time written, text) of each
    line as the agent writes it."""

    def __init__(self, path):
        self.path = path
        self.lines = queue.Queue()
        self._libc = ctypes.CDLL(None, use_errno=True)
        self._fd = self._libc.inotify_init()
        if self._fd < 0 or self._libc.inotify_add_watch(self._fd, path.encode(), IN_MODIFY) < 0:
            raise OSError(ctypes.get_errno(), f"cannot watch {path}")
        self._file = open(path, "rb")
        self._file.seek(0, os.SEEK_END)
        self._partial = b""
        threading.Thread(target=self._follow, daemon=True).start()

    def _follow(self):
        while True:
            os.read(self._fd, 4096)  # one or more modifications
            written = time.perf_counter()
            data = self._partial + self._file.read()
            *complete, self._partial = data.split(b"\r\n")
            for line in complete:
                self.lines.put((written, line.decode("cp1252", errors="replace")))

    def drain(self):
        drained = []
        while True:
            try:
                drained.append(self.lines.get_nowait())
            except queue.Empty:
                return drained


class Trigger:
    """Session changes through the measuring build's trigger port."""

    def __init__(self):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.settimeout(30)
        self.count = 0

    def send(self, event_type, session_id):
        """Sends one session change; returns (send time, tag)."""
        self.count += 1
        tag = f"{event_type} {session_id} {self.count}".encode()
        sent = time.perf_counter()
        self.socket.sendto(tag, ("127.0.0.1", TRIGGER_PORT))
        return sent, tag

    def wait_handled(self, tag):
        """The time the agent finished handling the trigger; None when it did
        not answer within the time-out."""
        while True:
            try:
                data = self.socket.recv(256)
            except socket.timeout:
                return None
            if data == tag:
                return time.perf_counter()


def script_console_user(user, domain=""):
    """Session 1: an active console session of this user."""
    standins.script_session(1, user_name=user, domain_name=domain, win_station_name="Console")


def configure(folder):
    """The options and stand-ins the measured agent runs with: reports to the
    reference server on loopback, one console session of bench0000."""
    kestrin.reg_delete_key(kestrin.OPTIONS_KEY)
    standins.clear()
    standins.install(folder)
    kestrin.reg_add(kestrin.OPTIONS_KEY, "Identification Server Reporting", 1, "REG_DWORD")
    kestrin.reg_add(kestrin.OPTIONS_KEY, "Identification Server", "127.0.0.1")
    script_console_user("bench0000")


def percentile(sorted_values, fraction):
    if not sorted_values:
        return float("nan")
    index = min(len(sorted_values) - 1, int(round(fraction * (len(sorted_values) - 1))))
    return sorted_values[index]


def wait_for_report(server, report_type, user, deadline):
    """The arrival time of the first report of this type (and user, when given)
    before the deadline; None when none came. Other reports are skipped."""
    while True:
        left = deadline - time.perf_counter()
        if left <= 0:
            return None
        got = server.next_report(left)
        if got is None:
            return None
        arrived, record = got
        # The server shows the user as the agent sends it, "DOMAIN\\name".
        named = record.get("user", "").rsplit("\\", 1)[-1]
        if record.get("report_type") == report_type and (user is None or named == user):
            return arrived


# --- the service ---------------------------------------------------------------

class Agent:
    """The measuring build installed as the service from a folder of its own,
    under the name Kestrin.exe."""

    def __init__(self, folder, program):
        self.folder = folder
        self.exe = os.path.join(folder, "Kestrin.exe")
        self.log_path = os.path.join(folder, "Kestrin.log")
        kestrin.remove_service()
        os.makedirs(folder, exist_ok=True)
        with open(program, "rb") as source, open(self.exe, "wb") as target:
            target.write(source.read())
        # Present from the start, so that its lines can be followed from the
        # first one on.
        open(self.log_path, "ab").close()
        configure(folder)
        result = kestrin.wine(self.exe, "-i")
        if result.returncode != 0:
            raise RuntimeError(f"Kestrin.exe -i failed with {result.returncode}")

    def linux_pid(self):
        return kestrin.linux_pid(self.exe)

    def start(self):
        """Starts the service; returns the time just before `sc start`."""
        started = time.perf_counter()
        kestrin.sc("start", "Kestrin")
        return started

    def wait_running(self, timeout=30):
        return kestrin.wait_for_state("RUNNING", timeout=timeout) == "RUNNING"

    def stop(self, timeout=30):
        """Stops the service and waits until its process is gone."""
        kestrin.sc("stop", "Kestrin")
        kestrin.wait_for_state("STOPPED", timeout=timeout)
        return kestrin.wait_until(lambda: self.linux_pid() is None, timeout)

    def remove(self):
        kestrin.remove_service()


def wait_for_query_port(timeout=30):
    """True once the agent answers a query on UDP 1305."""
    deadline = time.perf_counter() + timeout
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as probe:
        probe.settimeout(0.5)
        while time.perf_counter() < deadline:
            probe.sendto(bytes(8), ("127.0.0.1", 1305))
            try:
                probe.recv(65535)
                return True
            except socket.timeout:
                pass
    return False

"""End-to-end harness: drives the real Kestrin.exe under Wine.

Each test gets its own folder with a copy of Kestrin.exe, so the log file
beside the program belongs to that test alone. The prefix, the program and
the helper come from the environment CTest sets.
"""
import json
import os
import queue
import re
import shutil
import signal
import subprocess
import tempfile
import threading
import time
import unittest

PREFIX = os.environ["KESTRIN_WINEPREFIX"]
KESTRIN_EXE = os.environ["KESTRIN_EXE"]
HELPER_EXE = os.environ["KESTRIN_HELPER"]
WORK = os.environ.get("KESTRIN_E2E_WORK", "/tmp/kestrin-e2e")
DISPLAY = os.environ.get("KESTRIN_TEST_DISPLAY")

SERVICE = "Kestrin"
OPTIONS_KEY = r"HKLM\SOFTWARE\Varnel Systems\User Agent"


def wine_env(display=False):
    env = dict(os.environ)
    env["WINEPREFIX"] = PREFIX
    env.setdefault("WINEDEBUG", "-all")
    env.setdefault("WINEDLLOVERRIDES", "mscoree,mshtml=")
    env.pop("DISPLAY", None)
    if display:
        if not DISPLAY:
            raise unittest.SkipTest("no X display for message boxes (run through scripts/test)")
        env["DISPLAY"] = DISPLAY
    return env


# Under load Wine now and then fails to create the process of one of its own
# programs (reg, sc) and falls back to start.exe, which reports this text.
_NOT_STARTED = "Application could not be started"


def wine(*args, timeout=60, display=False, check=False):
    """Runs a Windows program to its end; returns the CompletedProcess."""
    for attempt in range(3):
        result = subprocess.run(["wine", *args], env=wine_env(display), capture_output=True,
                                text=True, errors="replace", timeout=timeout)
        if _NOT_STARTED not in result.stdout + result.stderr:
            break
        time.sleep(0.5 * (attempt + 1))
    if check and result.returncode != 0:
        raise AssertionError(f"wine {' '.join(args)} failed ({result.returncode}): "
                             f"{result.stdout}{result.stderr}")
    return result


def thread_stacks(process_id):
    """Every thread's stack of a running Windows process, as winedbg shows it:
    for a failure message, where a process that stopped answering waits."""
    with tempfile.NamedTemporaryFile("w", suffix=".txt", dir=WORK, delete=False) as commands:
        commands.write(f"attach 0x{process_id:x}\nbt all\ndetach\n")
    try:
        result = wine("winedbg", "--file", windows_path(commands.name), timeout=120)
        # "bt all" walks every process; only this one's threads are wanted.
        blocks = re.split(r"(?=^Backtracing for thread)", result.stdout, flags=re.M)
        own = [block for block in blocks if re.match(rf"Backtracing for thread \w+ in process 0*{process_id:x} ", block)]
        return "".join(own) or result.stdout + result.stderr
    except subprocess.TimeoutExpired:
        return "winedbg did not answer"
    finally:
        os.unlink(commands.name)


def restart_wine():
    """Ends every process of the prefix and starts its persistent server and
    desktop again as the test session does. For what Wine keeps of a killed
    process: its sockets stay bound while the server lives."""
    scripts = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "scripts", "lib")
    env = wine_env()
    env.pop("WINEDEBUG", None)
    subprocess.run(["bash", "-c", f'source "{scripts}/common.sh" && source "{scripts}/wine-prefix.sh" && '
                    'wineserver -k; wineserver -w; wine_prefix_start "$WINEPREFIX"'],
                   env=env, check=True, timeout=120, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def linux_pid(exe):
    """The live Linux process running the program at exe, or None: Wine gives
    it the program's Windows path as its command line."""
    program = windows_path(exe)
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                first = f.read().split(b"\0", 1)[0].decode(errors="replace")
            with open(f"/proc/{entry}/stat") as f:
                state = f.read().rsplit(")", 1)[1].split()[0]
        except OSError:
            continue
        if first == program and state != "Z":
            return int(entry)
    return None


# --- the service control manager -------------------------------------------------

def sc(*args, timeout=60):
    return wine("sc", *args, timeout=timeout)


def service_state(name=SERVICE):
    """STOPPED, START_PENDING, RUNNING, ... or None when the service does not exist."""
    out = sc("query", name).stdout
    match = re.search(r"STATE\s*:\s*\d+\s+(\w+)", out)
    return match.group(1) if match else None


def wait_until(condition, timeout):
    """Polls the condition until it holds or the time is up (a hang guard, not
    a measured duration); returns its last answer."""
    deadline = time.monotonic() + timeout
    while not condition() and time.monotonic() < deadline:
        time.sleep(0.2)
    return condition()


def wait_for_state(state, timeout=30, name=SERVICE):
    deadline = time.monotonic() + timeout
    current = service_state(name)
    while current != state and time.monotonic() < deadline:
        time.sleep(0.2)
        current = service_state(name)
    return current


def remove_service(name=SERVICE):
    """Leaves the prefix without the service, whatever state a test left it in."""
    if service_state(name) is None:
        return
    sc("stop", name)
    wait_for_state("STOPPED", timeout=15, name=name)
    sc("delete", name)
    deadline = time.monotonic() + 15
    while service_state(name) is not None and time.monotonic() < deadline:
        time.sleep(0.2)


# --- the registry -----------------------------------------------------------------

def reg_query(key, value):
    out = wine("reg", "query", key, "/v", value).stdout
    match = re.search(rf"^\s*{re.escape(value)}\s+(REG_\w+)\s+(.*?)\s*$", out, re.M)
    return (match.group(1), match.group(2)) if match else None


def reg_add(key, value, data, kind="REG_SZ"):
    wine("reg", "add", key, "/v", value, "/t", kind, "/d", str(data), "/f", check=True)


def reg_delete_key(key):
    wine("reg", "delete", key, "/f")


def reg_file_key(key):
    """A key as a .reg file names it."""
    return key.replace("HKLM", "HKEY_LOCAL_MACHINE", 1).replace("HKCU", "HKEY_CURRENT_USER", 1)


def reg_import(lines):
    """Applies the lines of a .reg file ("[key]", "[-key]", '"name"=...',
    '"name"=-') in one Wine process: each process costs a few tenths of a
    second, many times over in a test run."""
    with tempfile.NamedTemporaryFile("w", suffix=".reg", encoding="utf-16", newline="\r\n",
                                     delete=False) as script:
        script.write("\n".join(["Windows Registry Editor Version 5.00", ""] + lines) + "\n")
    try:
        # Applying the same lines again gives the same registry, so a run that
        # failed without a word (Wine not starting reg.exe under load; its own
        # loader messages are off) is simply repeated.
        for attempt in range(3):
            result = wine("reg", "import", windows_path(script.name))
            if result.returncode == 0 or (result.stdout + result.stderr).strip():
                break
            time.sleep(0.5 * (attempt + 1))
        if result.returncode != 0:
            raise AssertionError(f"wine reg import failed ({result.returncode}): {result.stdout}{result.stderr}\n"
                                 + "\n".join(lines))
    finally:
        os.unlink(script.name)


def helper_events(*args, last_event, timeout=60):
    """Runs the test helper with the X display and returns its JSON events.

    Collects events until one named last_event (or any, with None) arrives.
    Wine's desktop teardown sometimes keeps a GUI process from exiting after
    it has said everything; the answer is complete by then, so a helper that
    lingers is ended here instead of failing the test.
    """
    process = subprocess.Popen(["wine", HELPER_EXE, *args], env=wine_env(display=True), stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL, text=True, errors="replace")
    events = queue.Queue()

    def read():
        for line in process.stdout:
            if line.startswith("{"):
                events.put(json.loads(line))
        events.put(None)

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    collected = []
    deadline = time.monotonic() + timeout
    try:
        while time.monotonic() < deadline:
            try:
                event = events.get(timeout=max(0.1, deadline - time.monotonic()))
            except queue.Empty:
                break
            if event is None:
                break
            collected.append(event)
            if last_event is None or event.get("event") in (last_event, "error"):
                break
    finally:
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(timeout=30)
        reader.join(timeout=5)
        if not reader.is_alive():
            process.stdout.close()
    return collected


def helper(*args, timeout=60):
    """Runs a helper command that answers with one JSON line; returns its events."""
    return helper_events(*args, last_event=None, timeout=timeout)


def helper_json(*args, timeout=60):
    # Under load Wine now and then fails to start the helper at all (as for
    # wine()); a helper that said nothing is asked once more.
    for _ in range(3):
        events = helper(*args, timeout=timeout)
        if events:
            break
    if not events:
        raise AssertionError(f"helper {' '.join(args)} said nothing")
    return events[-1]


def key_access(key):
    """{"self": error, "user": error} of opening an HKLM key for reading as the
    test (an administrator) and as an ordinary user."""
    return helper_json("key-access", key.replace("HKLM\\", "", 1))


# --- the program under test -------------------------------------------------------

class Install:
    """A copy of Kestrin.exe in a folder of the test's own."""

    def __init__(self, test_id):
        self.folder = os.path.join(WORK, re.sub(r"[^\w.]+", "_", test_id))
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.exe = os.path.join(self.folder, "Kestrin.exe")
        shutil.copy(KESTRIN_EXE, self.exe)
        self.exe_windows = windows_path(self.exe)
        self.log_path = os.path.join(self.folder, "Kestrin.log")

    def log_text(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("cp1252", errors="replace")
        except FileNotFoundError:
            return ""

    def log_lines(self):
        """The texts of the file's lines, without time and ids."""
        texts = []
        for line in self.log_text().split("\r\n"):
            match = re.match(r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d \(\d{5,}\.\d{5,}\) (.*)$", line)
            if match:
                texts.append(match.group(1))
            elif texts and line:
                texts[-1] += "\r\n" + line  # continuation of a two-line entry
        return texts

    def process_id(self):
        """The Windows process id in the log's last line."""
        ids = re.findall(r"\((\d{5,})\.\d{5,}\)", self.log_text())
        return int(ids[-1]) if ids else None

    def wait_for_log(self, text, timeout=20):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if text in self.log_lines():
                return True
            time.sleep(0.1)
        return False

    def run(self, *args, timeout=60):
        """Runs Kestrin.exe through the helper, which answers its message boxes.

        Returns (boxes, exit_code): boxes is a list of {"icon", "text"}; the exit
        code is the full 32-bit value, signed.
        """
        events = helper_events("run", "--timeout-ms", str(timeout * 1000), self.exe_windows, *args,
                               last_event="exit", timeout=timeout + 30)
        boxes = [{"icon": e["icon"], "text": e["text"]} for e in events if e["event"] == "box"]
        exits = [e["code"] for e in events if e["event"] == "exit"]
        if not exits:
            raise AssertionError(f"Kestrin.exe {' '.join(args)} did not exit: {events}; log: {self.log_lines()[-8:]}")
        return boxes, exits[0]


def assert_in_order(test, lines, expected):
    """Each expected text appears, in this order, among the log lines."""
    position = 0
    for text in expected:
        try:
            position = lines.index(text, position) + 1
        except ValueError:
            test.fail(f"{text!r} not found in order after line {position}; log:\n" + "\n".join(lines))


class HeldEvent:
    """A named event held by a Windows process of ours, as the system holds one."""

    def __init__(self, name, signalled=True):
        self.process = subprocess.Popen(["wine", HELPER_EXE, "hold-event", name, "set" if signalled else "unset"],
                                        env=wine_env(), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                        stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if '"holding"' not in line:
            raise AssertionError(f"could not create event {name}: {line}")

    def release(self):
        if self.process.poll() is None:
            self.process.stdin.close()
            self.process.wait(timeout=30)


TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")


class IdentServer:
    """The reference Identification Server on loopback, its reports as dicts."""

    def __init__(self, folder, reply="ok", listen="127.0.0.1", extra=()):
        self.output = os.path.join(folder, f"reports-{time.monotonic_ns()}.jsonl")
        self.process = subprocess.Popen(
            ["python3", os.path.join(TOOLS, "ident-server"), "--listen", listen, "--reply", reply,
             "--output", self.output, *extra],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        # The server announces itself once it listens.
        line = self.process.stderr.readline()
        if "listening" not in line:
            raise AssertionError(f"ident-server did not start: {line}")

    def reports(self):
        try:
            with open(self.output, encoding="utf-8") as f:
                lines = [json.loads(line) for line in f if line.strip()]
        except FileNotFoundError:
            return []
        # The agent's HTTP requests share the file.
        return [line for line in lines if "http" not in line]

    def requests(self):
        """The HTTP requests the server answered, as {"http", "status", ...}."""
        try:
            with open(self.output, encoding="utf-8") as f:
                return [line for line in map(json.loads, filter(str.strip, f)) if "http" in line]
        except FileNotFoundError:
            return []

    def wait_for_reports(self, count, timeout=30):
        deadline = time.monotonic() + timeout
        while len(self.reports()) < count and time.monotonic() < deadline:
            time.sleep(0.2)
        return self.reports()

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            self.process.wait(timeout=30)
        self.process.stderr.close()

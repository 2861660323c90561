"""The phases of scripts/fuzz; run by it inside its network namespace, with a
running prefix and the e2e harness's environment (KESTRIN_WINEPREFIX,
KESTRIN_EXE, KESTRIN_HELPER, KESTRIN_STANDINS, KESTRIN_QUICK_UPDATE,
KESTRIN_E2E_WORK) and KESTRIN_COUNTERS, the path of ProcessCounters.exe."""
import argparse
import collections
import errno
import importlib.machinery
import importlib.util
import io
import itertools
import json
import multiprocessing
import os
import random
import re
import select
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import types
import zipfile
import zlib

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import kestrin  # noqa: E402
import standins  # noqa: E402


def load_tool(name, module):
    loader = importlib.machinery.SourceFileLoader(module, os.path.join(ROOT, "tools", name))
    spec = importlib.util.spec_from_loader(module, loader)
    tool = importlib.util.module_from_spec(spec)
    loader.exec_module(tool)
    return tool


nqrp = load_tool("nqrp-query", "nqrp_query")
ident = load_tool("ident-server", "ident_server")

OPTIONS = kestrin.OPTIONS_KEY
WORK = os.environ["KESTRIN_E2E_WORK"]
COUNTERS = os.environ["KESTRIN_COUNTERS"]
QUICK_UPDATE = os.environ["KESTRIN_QUICK_UPDATE"]
USER = "fuzz"
HOSTS = ("127.0.0.1", "::1")
LARGEST_DATAGRAM = 65507
QUERY_ROUNDS = 4
REPORT_WARM_UP = 20
# Handles the agent may hold above its starting count once settled: Wine's
# own bookkeeping moves by one or two.
HANDLE_SLACK = 2

# Reply kinds of the report path, in the order they take turns; the slow ones
# (a time-out of the agent's 3 s each) come once a round.
REPORT_REPLIES = ["ok", "garbage", "fragments", "oversize", "reset", "mutate", "close", "v1", "v1-bad", "v2", "v9",
                  "wrong-length", "no-response-flag", "wrong-sequence", "v3-error", "split", "mutate", "garbage",
                  "reset", "close", "ok", "drip", "silence"]
# How each group-assignments answer misbehaves, in turn; None: well-formed
# status and length, with one of ASSIGNMENT_BODIES.
ASSIGNMENT_FAULTS = [None, "garbage", "reset", "huge-length", "bad-chunked", "truncate", "no-length", "oversize",
                     "404", None, "drip"]


def assignment_bodies():
    return [b"", b"\xff\xfe\x00garbage\x00\r\n" * 50, b"A" * 60000, b"\r\n" * 20000,
            "".join(f"CN=Group{i},OU=x,DC=corp\r\n" for i in range(200)).encode(), os.urandom(4096),
            b"Users\r\nAdministrators\r\n", b"\x00" * 1000, ("\u00e9\u4e2d" * 3000).encode("utf-8")]


# --- the misbehaving server --------------------------------------------------------

class FuzzHttp(ident.HttpSide):
    def __init__(self, args, write, owner):
        super().__init__(args, write)
        self.owner = owner

    def fault(self, path):
        return self.owner.http_fault(path)

    def send(self, connection, fault, status, body, path):
        # A dripped body is kept short: 64 bytes a second.
        super().send(connection, fault, status, body[:256] if fault == "drip" else body, path)

    def resource(self, path):
        if path == ident.ASSIGNMENTS_PATH:
            return random.choice(assignment_bodies())
        return super().resource(path)


class FuzzServer(ident.Server):
    """The reference server, each report answered by the next reply kind and
    each group-assignments request by the next fault."""

    def __init__(self, folder):
        args = types.SimpleNamespace(listen="127.0.0.1", port=1306, reply="ok", error=5, encoding="cp1252",
                                     http_port=80, updates=os.path.join(folder, "updates"), assignments=None,
                                     http_fault=None, http_fault_path=None)
        os.makedirs(args.updates, exist_ok=True)
        self.output = open(os.path.join(folder, "server.jsonl"), "a", encoding="utf-8")
        super().__init__(args, self.output)
        self.replies = itertools.cycle(REPORT_REPLIES)
        self.assignment_faults = itertools.cycle(ASSIGNMENT_FAULTS)
        self.fuzzing = False
        # File name: fault, for the update files.
        self.update_faults = {}
        self.exchanges = collections.Counter()
        self.http = collections.Counter()
        self.last_connection = time.monotonic()
        self.counter_lock = threading.Lock()

    def start(self):
        threading.Thread(target=self.serve, daemon=True).start()
        deadline = time.monotonic() + 10
        while time.monotonic() < deadline:
            try:
                socket.create_connection(("127.0.0.1", 80), timeout=1).close()
                return
            except OSError:
                time.sleep(0.1)
        raise RuntimeError("the fuzzing server did not start")

    def reply_mode(self):
        with self.counter_lock:
            mode = next(self.replies) if self.fuzzing else "ok"
            self.exchanges[mode] += 1
            self.last_connection = time.monotonic()
        return mode

    def http_fault(self, path):
        with self.counter_lock:
            if path == ident.ASSIGNMENTS_PATH:
                fault = next(self.assignment_faults) if self.fuzzing else None
            else:
                fault = self.update_faults.get(path.rsplit("/", 1)[-1])
            self.http[(path.rsplit("/", 1)[-1], fault or "well-formed")] += 1
            self.last_connection = time.monotonic()
        return fault

    def make_http_side(self):
        return FuzzHttp(self.args, self.write, self)


# --- the agent ---------------------------------------------------------------------

class Agent:
    """Kestrin.exe (or another build) installed as the service from a folder of its own."""

    def __init__(self, name, program=None):
        self.folder = os.path.join(WORK, name)
        shutil.rmtree(self.folder, ignore_errors=True)
        os.makedirs(self.folder)
        self.exe = os.path.join(self.folder, "Kestrin.exe")
        shutil.copy(program or kestrin.KESTRIN_EXE, self.exe)
        self.log = os.path.join(self.folder, "Kestrin.log")
        standins.install(self.folder)

    def start(self):
        kestrin.remove_service()
        # Not piped: a process the installation starts in the prefix would
        # inherit the pipe and hold it open.
        result = subprocess.run(["wine", kestrin.windows_path(self.exe), "-i"], env=kestrin.wine_env(),
                                stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                                timeout=120)
        if result.returncode != 0:
            raise RuntimeError(f"Kestrin.exe -i failed with {result.returncode}")
        kestrin.sc("start", "Kestrin")
        if kestrin.wait_for_state("RUNNING", timeout=60) != "RUNNING":
            raise RuntimeError(f"the agent did not start; see {self.log}")

    def stop(self):
        kestrin.remove_service()

    def linux_pid(self):
        return kestrin.linux_pid(self.exe)

    def counters(self):
        out = kestrin.wine(COUNTERS, "Kestrin.exe").stdout
        rows = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        return rows[0] if len(rows) == 1 else None

    def identity(self):
        counters = self.counters()
        return {"windows_pid": counters and counters["pid"], "linux_pid": self.linux_pid()}

    def log_entries(self):
        try:
            with open(self.log, "rb") as f:
                text = f.read().decode("cp1252", errors="replace")
        except FileNotFoundError:
            return []
        entries = []
        for line in text.split("\r\n"):
            match = re.match(r"\d\d/\d\d/\d\d \d\d:\d\d:\d\d \(\d+\.\d+\) (.*)$", line)
            if match:
                entries.append(match.group(1))
            elif entries and line:
                entries[-1] += "\n" + line
        return entries


def answers():
    """Each query's decoded answer over each family, request ids left out."""
    result = {}
    for host in HOSTS:
        for name in nqrp.QUERIES:
            reply = None
            for _ in range(3):
                try:
                    reply = nqrp.query(host, name, timeout=2.0)
                except (nqrp.MalformedReply, OSError) as error:
                    reply = {"error": str(error)}
                if reply is not None:
                    break
            if reply:
                reply.pop("request_id", None)
            result[f"{name} {host}"] = reply
    return result


def wait_for_answers(timeout=60):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            if nqrp.query("127.0.0.1", "nqrp", timeout=0.5) is not None:
                return True
        except (nqrp.MalformedReply, OSError):
            pass
    return False


# --- the query path -------------------------------------------------------------------

def mutations(rng):
    """Datagrams for one sender: mutations of the three valid queries, and
    datagrams of no protocol at all."""
    valid = [nqrp.make_request(name, rng.getrandbits(32), rng.getrandbits(32) if name == "nextgen" else 0x7FE)
             for name in nqrp.QUERIES for _ in range(3)]
    pool = list(valid)
    for request in valid:
        pool += [request[:cut] for cut in range(len(request))]                       # truncated
        for _ in range(20):
            data = bytearray(request)
            for _ in range(rng.randint(1, 4)):
                data[rng.randrange(len(data))] = rng.randrange(256)                 # bytes changed
            pool.append(bytes(data))
            pool.append(request + rng.randbytes(rng.randint(1, 200)))               # trailing bytes
            pool.append(struct.pack("<H", rng.getrandbits(16)) + request[2:])      # unknown function code
            pool.append(request[:6] + struct.pack("<H", rng.getrandbits(16)) + request[8:])  # reserved field
        pool.append(request + bytes(LARGEST_DATAGRAM - len(request)))               # oversized, zero tail
    for code in (0x0000, 0x0F00, 0x0F10, 0x0002, 0x0F02, 0x0F12, 0xFFFF, 0x0F11, 0x0001):
        for length in (2, 5, 6, 7, 8, 11, 12, 13, 64):
            pool.append((struct.pack("<HI", code, rng.getrandbits(32)) + rng.randbytes(64))[:length])
    for _ in range(300):
        pool.append(rng.randbytes(rng.randint(1, 1472)))                           # random bytes
    for _ in range(4):
        pool.append(rng.randbytes(rng.randint(1473, LARGEST_DATAGRAM)))
    pool += [b"", rng.randbytes(LARGEST_DATAGRAM), b"\xff" * LARGEST_DATAGRAM]
    return pool


def sender(family, host, count, seed, results):
    rng = random.Random(seed)
    pool = mutations(rng)
    sock = socket.socket(family, socket.SOCK_DGRAM)
    sock.setblocking(False)
    sock.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
    address = (host, 1305)
    sent = replies = waits = 0
    kinds = collections.Counter()
    while sent < count:
        data = rng.choice(pool)
        try:
            sock.sendto(data, address)
        except (BlockingIOError, InterruptedError):
            waits += 1
            select.select([], [sock], [], 0.01)
            continue
        except OSError as error:
            if error.errno != errno.ENOBUFS:
                raise
            waits += 1
            time.sleep(0.001)
            continue
        sent += 1
        kinds["empty" if not data else "largest" if len(data) == LARGEST_DATAGRAM else
              "over 1472" if len(data) > 1472 else "other"] += 1
        if sent % 256 == 0:
            while True:
                try:
                    sock.recv(65535)
                    replies += 1
                except (BlockingIOError, InterruptedError):
                    break
    sock.close()
    results.put({"family": "IPv4" if family == socket.AF_INET else "IPv6", "sent": sent, "replies": replies,
                 "waits": waits, "kinds": dict(kinds)})


def fuzz_queries(total, senders_per_family=2):
    results = multiprocessing.Queue()
    share = total // (2 * senders_per_family)
    processes = []
    start = time.monotonic()
    for index in range(2 * senders_per_family):
        family, host = (socket.AF_INET, "127.0.0.1") if index % 2 == 0 else (socket.AF_INET6, "::1")
        count = share + (total - share * 2 * senders_per_family if index == 0 else 0)
        process = multiprocessing.Process(target=sender, args=(family, host, count, 1000 + index, results))
        process.start()
        processes.append(process)
    rows = [results.get() for _ in processes]
    for process in processes:
        process.join()
    seconds = time.monotonic() - start
    by_family = collections.defaultdict(lambda: collections.Counter())
    for row in rows:
        by_family[row["family"]].update({"sent": row["sent"], "replies": row["replies"]})
        by_family[row["family"]].update({f"datagrams {kind}": n for kind, n in row["kinds"].items()})
    print(f"\nquery path: {sum(r['sent'] for r in rows)} datagrams in {seconds:.1f} s, "
          f"{sum(r['sent'] for r in rows) / seconds:.0f}/s, {2 * senders_per_family} senders")
    for family, counts in sorted(by_family.items()):
        print(f"  {family}: {counts['sent']} sent ({counts['sent'] / seconds:.0f}/s), "
              f"{counts['replies']} replies seen; " +
              ", ".join(f"{k[10:]} {v}" for k, v in sorted(counts.items()) if k.startswith("datagrams ")))
    return {family: counts["sent"] for family, counts in by_family.items()}


# --- the report path --------------------------------------------------------------------

def trigger_reports(server, seconds):
    """Address changes, with an options change now and then, for the given time."""
    deadline = time.monotonic() + seconds
    changes = reloads = 0
    heartbeat = 0
    # Each change a value the stand-in has not seen (Wine signals no write of
    # the same data), without reading the last one back.
    first = int(time.time()) & 0xFFFF
    while time.monotonic() < deadline:
        kestrin.reg_add(standins.IPHELPER_KEY, "Change", (first << 16) + changes, "REG_DWORD")
        changes += 1
        if changes % 25 == 0:
            heartbeat ^= 1
            kestrin.reg_add(OPTIONS, "Disable Heartbeat", heartbeat, "REG_DWORD")
            reloads += 1
    return changes, reloads


def wait_quiet(server, quiet=8, timeout=120):
    """Until the agent has not connected for `quiet` seconds (retries end)."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if time.monotonic() - server.last_connection >= quiet:
            return True
        time.sleep(0.5)
    return False


# --- the update path --------------------------------------------------------------------

def make_package(folder, version="2.1.99"):
    """A real package and manifest of a newer version, from tools/make-update."""
    subprocess.run([os.path.join(ROOT, "tools", "make-update"), kestrin.KESTRIN_EXE, folder, "--version", version],
                   check=True, capture_output=True)
    with open(os.path.join(folder, "ua_update_x64.zip"), "rb") as f:
        package = f.read()
    with open(os.path.join(folder, "ua_update_x64.md5"), "rb") as f:
        manifest = f.read()
    return package, manifest


def zip_of(entries, compression=zipfile.ZIP_DEFLATED):
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w", compression) as archive:
        for name, data in entries:
            info = zipfile.ZipInfo(name)
            info.compress_type = compression
            archive.writestr(info, data)
    return buffer.getvalue()


def wrong_crc(package):
    """The package with the stored CRC of its first entry changed, in both headers."""
    data = bytearray(package)
    local = data.index(b"PK\x03\x04")
    central = data.index(b"PK\x01\x02")
    data[local + 14] ^= 0xFF
    data[central + 16] ^= 0xFF
    return bytes(data)


def zip_bomb(megabytes=64):
    """A Kestrin.new of zeros, deflated about a thousand to one."""
    compressor = zlib.compressobj(9, zlib.DEFLATED, -15)
    chunk = bytes(1 << 20)
    body = b"".join(compressor.compress(chunk) for _ in range(megabytes)) + compressor.flush()
    size = megabytes << 20
    crc = 0
    for _ in range(megabytes):
        crc = zlib.crc32(chunk, crc)
    name = b"Kestrin.new"
    local = struct.pack("<IHHHHHIIIHH", 0x04034B50, 20, 0, 8, 0, 0, crc, len(body), size, len(name), 0) + name
    central = struct.pack("<IHHHHHHIIIHHHHHII", 0x02014B50, 20, 20, 0, 8, 0, 0, crc, len(body), size, len(name),
                          0, 0, 0, 0, 0, 0) + name
    end = struct.pack("<IHHHHIIH", 0x06054B50, 0, 0, 1, 1, len(central), len(local) + len(body), 0)
    return local + body + central + end


TRAVERSAL_NAMES = ["../escaped-1.txt", "..\\escaped-2.txt", "sub/../../escaped-3.txt", "/tmp/escaped-4.txt",
                   "C:escaped-5.txt", "C:\\escaped-6.txt", "Kestrin.new:stream", "...", "..", "./", "dir/"]


def update_cases(package, manifest):
    newer = manifest
    # The package is complete and real: only a manifest that does not match
    # it keeps a successful download from installing it.
    mismatched = re.sub(rb"Kestrin\.new\|\w+", b"Kestrin.new|" + b"0" * 32, manifest)
    half = package[:len(package) // 2]
    traversal = zip_of([(name, b"escaped\n") for name in TRAVERSAL_NAMES] + [("Kestrin.new", b"not a program")])
    return [
        # (name, manifest bytes, package bytes, fault of the manifest, fault of the package)
        ("manifest of random bytes", os.urandom(3000), package, None, None),
        ("manifest of one 60 kB line", b"Kestrin.new|" + b"A" * 60000, package, None, None),
        ("manifest with odd versions", b"Kestrin.new|00|99999999999.1.1\r\nKestrin.new||\r\n|||||\r\n"
         b"Kestrin.new|ZZ|2.1.15.x\r\n\xff\xfe|\x00|2.1.99\r\n", package, None, None),
        ("manifest with a huge Content-Length", newer, package, "huge-length", None),
        ("manifest in broken chunks", newer, package, "bad-chunked", None),
        ("manifest reset", newer, package, "reset", None),
        ("manifest of random bytes, no status line", newer, package, "garbage", None),
        ("manifest sent slowly", newer[:200], package, "drip", "404"),
        ("package truncated", newer, half, None, None),
        ("package cut off mid-body", newer, package, None, "truncate"),
        ("package with a wrong CRC", newer, wrong_crc(package), None, None),
        ("package of random bytes", newer, os.urandom(200000), None, None),
        ("package, a 64 MB zip bomb", newer, zip_bomb(), None, None),
        ("package with escaping names", newer, traversal, None, None),
        ("package in broken chunks", newer, package, None, "bad-chunked"),
        ("package reset", newer, package, None, "reset"),
        ("package with a huge Content-Length", mismatched, package, None, "huge-length"),
    ]


CHECK_ENDS = ("[*] CUpdate: Newer service version not available.", "[!] CUpdate:", "[*] Update complete",
              "**** HTTP_REQUEST")
NOT_CHECK_ENDS = ("Waiting for service", "group assignments", "Stop signaled")


def run_update_case(server, name, manifest, package, manifest_fault, package_fault):
    updates = server.args.updates
    with open(os.path.join(updates, "ua_update_x64.md5"), "wb") as f:
        f.write(manifest)
    with open(os.path.join(updates, "ua_update_x64.zip"), "wb") as f:
        f.write(package)
    server.update_faults = {"ua_update_x64.md5": manifest_fault, "ua_update_x64.zip": package_fault}
    agent = Agent("update-" + re.sub(r"\W+", "-", name).strip("-"), QUICK_UPDATE)
    with open(agent.exe, "rb") as f:
        program = f.read()
    agent.start()
    start = time.monotonic()
    ended = None
    while time.monotonic() - start < 60 and not ended:
        time.sleep(0.5)
        entries = agent.log_entries()
        ended = next((e for e in entries if e.startswith(CHECK_ENDS) and
                      not any(text in e for text in NOT_CHECK_ENDS)), None)
    time.sleep(2)
    state = kestrin.service_state()
    with open(agent.exe, "rb") as f:
        untouched = f.read() == program and not os.path.exists(agent.exe + ".old")
    escaped = escaped_files(agent.folder)
    agent.stop()
    # The bomb's 64 MB and the packages need not stay.
    shutil.rmtree(os.path.join(agent.folder, "Tmp"), ignore_errors=True)
    return agent, {"case": name, "ended": (ended or "no end of the check within 60 s").split("\n")[0][:70],
                   "running": state == "RUNNING", "untouched": untouched, "escaped": escaped,
                   "passed": bool(ended) and state == "RUNNING" and untouched and not escaped}


def escaped_files(folder):
    """Files of the traversal case written anywhere but the download folder."""
    found = []
    for top in (folder, os.path.dirname(folder), "/tmp", os.path.join(kestrin.PREFIX, "drive_c")):
        for path in (os.path.join(top, f"escaped-{i}.txt") for i in range(1, 7)):
            if os.path.exists(path):
                found.append(path)
                os.unlink(path)
    return found


# --- the log ------------------------------------------------------------------------------

UNEXPECTED = re.compile(r"Exception caught|Unhandled|access violation|c0000005|did not end in time|Wait failed|"
                        r"corrupt|Failed to create|overflow|assert", re.I)
# Error lines the fuzzing input is expected to cause: failed report
# exchanges, failed downloads and refused packages, refused datagrams (10040:
# larger than the receive buffer).
EXPECTED = re.compile(r"^\[!\] (CIdentity::(Report|\w+: Failed to report to ident server|SendHeartbeat: Error)|"
                      r"CUpdate: (?!Error creating|Unable to open registry|Unable to obtain version|.*module filename)|"
                      r"CNQRPServer::\w+: Failed to deserialize request|CNQRPServer::OnDatagramLost; Error=10040$)")


def group_key(entry):
    """The entry's lines joined, up to the first number (ids, codes, counts)."""
    text = " | ".join(line.strip() for line in entry.split("\n"))
    return re.split(r"[0-9]", text, maxsplit=1)[0].rstrip(" =(x;,.")[:130]


def check_log(title, entries, environment):
    """Prints the error lines by their text: those the input causes, those of
    the environment (already there before any fuzzing: this Wine has no
    directory or firewall) and the unexpected ones; true when there are none
    of the last."""
    groups = collections.Counter()
    unexpected = collections.Counter()
    kinds = {}
    for entry in entries:
        if not entry.startswith("[!]"):
            if UNEXPECTED.search(entry):
                unexpected[entry.split("\n")[0][:100]] += 1
            continue
        key = group_key(entry)
        groups[key] += 1
        if UNEXPECTED.search(entry) or not (EXPECTED.match(entry) or key in environment):
            unexpected[key] += 1
        kinds.setdefault(key, "input" if EXPECTED.match(entry) else "environment")
    print(f"\n{title}: {len(entries)} log entries, lines starting with [!] by their text:")
    for key, count in groups.most_common():
        kind = "UNEXPECTED" if key in unexpected else kinds[key]
        print(f"  {count:>7}  {kind:<12} {key}")
    for key, count in unexpected.items():
        if key not in groups:
            print(f"  {count:>7}  {'UNEXPECTED':<12} {key}")
    if not groups:
        print("  none")
    return not unexpected


# --- the run -------------------------------------------------------------------------------

class Run:
    def __init__(self):
        self.rows = []

    def check(self, phase, what, passed, detail=""):
        self.rows.append((phase, what, passed, detail))
        return passed

    def print_summary(self):
        print("\nsummary")
        print(f"  {'phase':<8}{'check':<40}{'result':<8}detail")
        for phase, what, passed, detail in self.rows:
            print(f"  {phase:<8}{what:<40}{'ok' if passed else 'FAILED':<8}{detail}")
        return all(passed for _, _, passed, _ in self.rows)


def settle_handles(agent, before, timeout=30):
    deadline = time.monotonic() + timeout
    counters = agent.counters()
    while counters and counters["handles"] > before + HANDLE_SLACK and time.monotonic() < deadline:
        time.sleep(2)
        counters = agent.counters()
    return counters


def after_phase(run, phase, agent, baseline, identity_before, handles_before):
    time.sleep(3)
    now = answers()
    for key, expected in baseline.items():
        run.check(phase, f"answer {key}", now.get(key) == expected,
                  "" if now.get(key) == expected else f"got {json.dumps(now.get(key))[:80]}")
    identity = agent.identity()
    run.check(phase, "same process", identity == identity_before,
              f"Windows pid {identity['windows_pid']}, Linux pid {identity['linux_pid']}"
              f" (at start {identity_before['windows_pid']}, {identity_before['linux_pid']})")
    counters = settle_handles(agent, handles_before)
    handles = counters["handles"] if counters else None
    run.check(phase, "handle count settled", handles is not None and handles <= handles_before + HANDLE_SLACK,
              f"before {handles_before}, after {handles}"
              + (f"; threads {counters['threads']}, private bytes {counters['private_bytes']}" if counters else ""))


def prepare_prefix():
    kestrin.reg_delete_key(OPTIONS)
    kestrin.reg_add(OPTIONS, "Identification Server Reporting", 1, "REG_DWORD")
    kestrin.reg_add(OPTIONS, "Identification Server", "127.0.0.1")
    kestrin.reg_add(OPTIONS, "IP Change Notification Delay", 0, "REG_DWORD")
    kestrin.reg_add(OPTIONS, "Disable User Group Pruning", 0, "REG_DWORD")
    standins.clear()
    standins.script_session(1, user_name=USER, domain_name="FUZZ", win_station_name="Console")
    standins.script_adapter(1, description="Wired", addresses=["10.20.30.40", "2001:db8::40"])
    standins.script_adapter(2, description="Loopback", if_type=standins.IF_LOOPBACK, addresses=["127.0.0.1"])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--phase", default="all", choices=["query", "report", "http", "all"])
    parser.add_argument("--datagrams", type=int, default=1000000)
    parser.add_argument("--report-seconds", type=int, default=240)
    options = parser.parse_args()
    phases = ["query", "report", "http"] if options.phase == "all" else [options.phase]

    run = Run()
    prepare_prefix()
    ready = kestrin.HeldEvent(r"Global\TermSrvReadyEvent")
    server = FuzzServer(WORK)
    server.start()
    try:
        environment = fuzz_running_agent(run, server, phases, options)
        if "http" in phases:
            fuzz_updates(run, server, environment)
    finally:
        kestrin.remove_service()
        ready.release()
    print("\nreport exchanges by reply kind: " +
          ", ".join(f"{kind} {n}" for kind, n in sorted(server.exchanges.items())))
    print("HTTP requests by file and answer: " +
          ", ".join(f"{name} {fault} {n}" for (name, fault), n in sorted(server.http.items())))
    return 0 if run.print_summary() else 1


def fuzz_running_agent(run, server, phases, options):
    agent = Agent("agent")
    agent.start()
    if not wait_for_answers():
        run.check("start", "agent answers", False)
        return set()
    time.sleep(5)
    wait_quiet(server, quiet=3, timeout=30)
    # Some handles are made once, at the first datagram of a kind: a warm-up
    # burst comes before the count the end is compared with.
    started_with = (agent.counters() or {}).get("handles")
    environment = {group_key(entry) for entry in agent.log_entries() if entry.startswith("[!]")}
    print("warm-up:")
    fuzz_queries(4000)
    time.sleep(3)
    baseline = answers()
    for key, reply in baseline.items():
        run.check("start", f"answer {key}", bool(reply) and "error" not in reply,
                  json.dumps(reply)[:80] if reply else "no answer")
    identity = agent.identity()
    counters = agent.counters()
    handles = counters["handles"] if counters else None
    print(f"agent started: Windows pid {identity['windows_pid']}, Linux pid {identity['linux_pid']}, "
          f"{started_with} handles at start, {handles} after the warm-up, "
          f"{counters and counters['threads']} threads")
    if "query" in phases:
        # In rounds, so that a handle count that grows with the input shows.
        sent = collections.Counter()
        trend = []
        for round_ in range(QUERY_ROUNDS):
            share = options.datagrams // QUERY_ROUNDS + (options.datagrams % QUERY_ROUNDS if round_ == 0 else 0)
            sent.update(fuzz_queries(share))
            time.sleep(2)
            trend.append((agent.counters() or {}).get("handles"))
        print(f"\nquery path in all: {dict(sorted(sent.items()))}; handles after each round: {trend}")
        run.check("query", "datagrams sent", sum(sent.values()) >= options.datagrams,
                  ", ".join(f"{family} {n}" for family, n in sorted(sent.items())))
        after_phase(run, "query", agent, baseline, identity, handles)
    if "report" in phases or "http" in phases:
        seconds = options.report_seconds if "report" in phases else 30
        before = sum(server.exchanges.values())
        server.fuzzing = True
        start = time.monotonic()
        # The first stretch is the report path's warm-up (the first failed
        # download, the first reset): the count after it is the one compared.
        changes, reloads = trigger_reports(server, REPORT_WARM_UP)
        report_handles = (agent.counters() or {}).get("handles")
        trend = [report_handles]
        left = seconds - REPORT_WARM_UP
        while left > 0:
            more = trigger_reports(server, min(left, 30))
            changes, reloads, left = changes + more[0], reloads + more[1], left - 30
            trend.append((agent.counters() or {}).get("handles"))
        server.fuzzing = False
        print(f"handles during the report path, every 30 s after a {REPORT_WARM_UP} s warm-up: {trend}")
        quiet = wait_quiet(server)
        exchanges = sum(server.exchanges.values()) - before
        assignments = sum(n for (name, _), n in server.http.items() if name == "group_assignments")
        print(f"\nreport path: {changes} address changes and {reloads} options changes in {seconds} s; "
              f"{exchanges} report exchanges, {assignments} group-assignments requests, "
              f"{time.monotonic() - start:.0f} s until the agent was quiet")
        # Alone, the HTTP phase runs the report path only for its group
        # assignments, for 30 s.
        enough = 100 if "report" in phases else 10
        run.check("report", "report exchanges", exchanges >= enough, f"{exchanges}, {assignments} assignments")
        run.check("report", "retries ended", quiet)
        after_phase(run, "report", agent, baseline, identity, report_handles or handles)
    run.check("agent", "log", check_log("the agent's log", agent.log_entries(), environment))
    agent.stop()
    return environment


def fuzz_updates(run, server, environment):
    print("\nupdate path: one start of the quick-update build per case")
    package, manifest = make_package(os.path.join(WORK, "package"))
    for case in update_cases(package, manifest):
        agent, result = run_update_case(server, *case)
        detail = result["ended"] + ("" if result["running"] else "; service not running") + \
            ("" if result["untouched"] else "; program replaced") + \
            (f"; escaped: {result['escaped']}" if result["escaped"] else "")
        print(f"  {result['case']:<42} {'ok' if result['passed'] else 'FAILED'}  {detail}")
        run.check("http", result["case"][:39], result["passed"], detail[:70])
        run.check("http", "  its log", check_log(f"log of '{result['case']}'", agent.log_entries(), environment))


if __name__ == "__main__":
    sys.exit(main())

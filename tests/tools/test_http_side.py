"""The reference server's HTTP side and the update package maker, without Wine."""
import hashlib
import json
import os
import socket
import struct
import subprocess
import tempfile
import time
import unittest
import zipfile

TOOLS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools")
UPDATES = "/api/user_agent/updates/"
ASSIGNMENTS = "/api/agents/group_assignments"
USER_AGENT = "Varnel UserAgent Update"


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def get(port, path, method="GET"):
    """Sends one request; returns (status line, headers, body) of everything up to the close."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(f"{method} {path} HTTP/1.1\r\nHost: x\r\nUser-Agent: {USER_AGENT}\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    head, _, body = data.partition(b"\r\n\r\n")
    lines = head.decode().split("\r\n")
    headers = dict(line.split(": ", 1) for line in lines[1:])
    return lines[0], headers, body


def get_raw(port, path):
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(f"GET {path} HTTP/1.1\r\n\r\n".encode())
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data


def report_reply(port):
    """Sends a report to the server and returns every byte of its answer."""
    with socket.create_connection(("127.0.0.1", port), timeout=10) as s:
        s.sendall(struct.pack(">H", 20) + bytes(18))
        data = b""
        while chunk := s.recv(65536):
            data += chunk
    return data


class Server:
    def __init__(self, folder, *options):
        self.port = free_port()
        self.output = os.path.join(folder, f"out-{self.port}.jsonl")
        self.process = subprocess.Popen(
            ["python3", os.path.join(TOOLS, "ident-server"), "--port", str(free_port()),
             "--http-port", str(self.port), "--output", self.output, *options],
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
        self.process.stderr.readline()
        line = self.process.stderr.readline()
        if "HTTP on" not in line:
            raise AssertionError(f"no HTTP side: {line}")

    def lines(self):
        try:
            with open(self.output, encoding="utf-8") as f:
                return [json.loads(line) for line in f]
        except FileNotFoundError:
            return []

    def wait_for_line(self):
        deadline = time.monotonic() + 10
        while not self.lines() and time.monotonic() < deadline:
            time.sleep(0.05)
        return self.lines()[0]

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)
        self.process.stderr.close()


class ServedFilesTest(unittest.TestCase):
    def setUp(self):
        self.folder = tempfile.TemporaryDirectory()
        self.root = self.folder.name
        self.files = {"ua_update_x64.md5": b"Kestrin.new|00|1.2.3\r\n", "ua_update_x64.zip": bytes(range(256)) * 8}
        for name, data in self.files.items():
            with open(os.path.join(self.root, name), "wb") as f:
                f.write(data)
        self.assignments = os.path.join(self.root, "assignments.json")
        self.server = Server(self.root, "--updates", self.root, "--assignments", self.assignments)
        self.addCleanup(self.folder.cleanup)
        self.addCleanup(self.server.stop)

    def test_files_are_served_with_their_length_and_logged(self):
        for name, data in self.files.items():
            status, headers, body = get(self.server.port, UPDATES + name)
            self.assertEqual((status, headers["Content-Length"], body), ("HTTP/1.1 200 OK", str(len(data)), data))
        self.assertEqual(self.server.lines(), [{"http": UPDATES + name, "method": "GET", "user_agent": USER_AGENT,
                                                "status": 200} for name in self.files])

    def test_assignments_are_read_on_every_request(self):
        self.assertEqual(get(self.server.port, ASSIGNMENTS)[0], "HTTP/1.1 404 Not Found")
        stored = b'["CORP\\\\Sales", "CN=Staff,OU=Groups"]'
        with open(self.assignments, "wb") as f:
            f.write(stored)
        self.assertEqual(get(self.server.port, ASSIGNMENTS)[2], stored)

    def test_other_requests_are_refused(self):
        cases = [("GET", UPDATES + "other.zip", 404), ("GET", "/", 404), ("POST", ASSIGNMENTS, 405)]
        for method, path, status in cases:
            self.assertTrue(get(self.server.port, path, method)[0].startswith(f"HTTP/1.1 {status} "), path)


class FaultTest(unittest.TestCase):
    MANIFEST = b"Kestrin.new|0123456789ABCDEF0123456789ABCDEF|9.9.9\r\n"

    def serve(self, fault):
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        with open(os.path.join(folder.name, "ua_update_x64.md5"), "wb") as f:
            f.write(self.MANIFEST)
        server = Server(folder.name, "--updates", folder.name, "--http-fault", fault)
        self.addCleanup(server.stop)
        return server

    def test_answers_misbehave(self):
        half = self.MANIFEST[:len(self.MANIFEST) // 2]
        # fault: status line, Content-Length header, body
        cases = {
            "404": ("HTTP/1.1 404 Not Found", "0", b""),
            "no-length": ("HTTP/1.1 200 OK", None, self.MANIFEST),
            "oversize": ("HTTP/1.1 200 OK", "65536", self.MANIFEST.ljust(65536, b" ")),
            "truncate": ("HTTP/1.1 200 OK", str(len(self.MANIFEST)), half),
            "huge-length": ("HTTP/1.1 200 OK", "4294967295", self.MANIFEST),
        }
        for fault, expected in cases.items():
            with self.subTest(fault):
                status, headers, body = get(self.serve(fault).port, UPDATES + "ua_update_x64.md5")
                self.assertEqual((status, headers.get("Content-Length"), body), expected)

    def test_broken_framing(self):
        status, headers, body = get(self.serve("bad-chunked").port, UPDATES + "ua_update_x64.md5")
        self.assertEqual((status, headers["Transfer-Encoding"]), ("HTTP/1.1 200 OK", "chunked"))
        self.assertTrue(body.startswith(b"zz\r\n"))
        self.assertFalse(get_raw(self.serve("garbage").port, ASSIGNMENTS).startswith(b"HTTP/"))
        with self.assertRaises(ConnectionResetError):
            get_raw(self.serve("reset").port, ASSIGNMENTS)

    def test_stall_sends_nothing(self):
        server = self.serve("stall")
        with socket.create_connection(("127.0.0.1", server.port), timeout=10) as s:
            s.sendall(f"GET {ASSIGNMENTS} HTTP/1.1\r\nUser-Agent: {USER_AGENT}\r\n\r\n".encode())
            self.assertIsNone(server.wait_for_line()["status"])
            s.settimeout(0.5)
            with self.assertRaises(socket.timeout):
                s.recv(1)


class ReplyModeTest(unittest.TestCase):
    """The report replies that misbehave in the byte stream."""

    def test_replies(self):
        success = struct.pack(">HHHII", 14, 3, 0x8010, 1, 0)
        # mode: check of the bytes received
        cases = {
            "fragments": lambda data: data == success,
            "oversize": lambda data: data == success + bytes(70000),
            "close": lambda data: data == b"",
            "garbage": lambda data: 14 <= len(data) <= 64,
            "mutate": lambda data: len(data) == 14,
        }
        for mode, check in cases.items():
            with self.subTest(mode), tempfile.TemporaryDirectory() as root:
                port = free_port()
                server = subprocess.Popen(
                    ["python3", os.path.join(TOOLS, "ident-server"), "--port", str(port), "--http-port", "0",
                     "--reply", mode, "--output", os.path.join(root, "out.jsonl")],
                    stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
                try:
                    self.assertIn("listening", server.stderr.readline())
                    self.assertTrue(check(report_reply(port)), mode)
                finally:
                    server.terminate()
                    server.wait(timeout=30)
                    server.stderr.close()


def fake_exe(ms, ls):
    """Bytes holding a version resource block as the resource compiler lays it out."""
    key = "VS_VERSION_INFO\0".encode("utf-16-le")
    fixed = struct.pack("<4I", 0xFEEF04BD, 0x10000, ms, ls) + bytes(36)
    return b"MZ" + bytes(102) + struct.pack("<3H", 0, len(fixed), 0) + key + bytes(2) + fixed + bytes(50)


class MakeUpdateTest(unittest.TestCase):
    def test_manifest_describes_the_package(self):
        # --version given, version from the resource
        cases = [(["--version", "5.1.3"], "5.1.3"), ([], "2.1.14.7")]
        for options, version in cases:
            with self.subTest(version), tempfile.TemporaryDirectory() as root:
                exe, extra = os.path.join(root, "Kestrin.exe"), os.path.join(root, "notes.txt")
                for path, data in ((exe, fake_exe(0x20001, 0xE0007)), (extra, b"notes")):
                    with open(path, "wb") as f:
                        f.write(data)
                out = os.path.join(root, "out")
                subprocess.run(["python3", os.path.join(TOOLS, "make-update"), exe, out, "--extra", extra,
                                *options], check=True, stdout=subprocess.DEVNULL)
                with zipfile.ZipFile(os.path.join(out, "ua_update_x64.zip")) as package:
                    entries = {name: package.read(name) for name in package.namelist()}
                with open(os.path.join(out, "ua_update_x64.md5"), "rb") as f:
                    manifest = f.read()
                self.assertEqual(entries["Kestrin.new"], fake_exe(0x20001, 0xE0007))
                self.assertEqual(manifest.decode().split("\r\n"), [
                    f"Kestrin.new|{hashlib.md5(entries['Kestrin.new']).hexdigest().upper()}|{version}",
                    f"notes.txt|{hashlib.md5(b'notes').hexdigest().upper()}", ""])


if __name__ == "__main__":
    unittest.main()

"""End-to-end tests of the query server: the real service under Wine, asked by
the query client of tools/ over UDP on 127.0.0.1 and ::1.
"""
import importlib.machinery
import importlib.util
import json
import os
import socket
import struct
import subprocess
import threading
import time
import unittest

import kestrin
import standins

OPTIONS = kestrin.OPTIONS_KEY
QUERY_TOOL = os.path.join(kestrin.TOOLS, "nqrp-query")
# The stand-in for the sibling security agent, built beside the tests.
BUILD = os.path.dirname(os.path.dirname(os.path.abspath(kestrin.KESTRIN_EXE)))
SIBLING_EXE = os.path.join(BUILD, "tests", "query", "DornAgentStandIn.exe")
SIBLING = "DornSecurityAgentService"
SIBLING_KEY = r"HKLM\SYSTEM\CurrentControlSet\Services" + "\\" + SIBLING

# Seconds a reply may take while the agent is still starting.
REPLY_WAIT = 15
# Seconds a datagram that must not be answered is given to be answered anyway.
SILENCE = 1.0
LOOPBACKS = ("127.0.0.1", "::1")
# Receives the agent keeps outstanding per socket: more lost records than these
# would leave a socket deaf.
RECEIVES_PER_SOCKET = 10


def load_client():
    """The query client's module, from the tool's file."""
    loader = importlib.machinery.SourceFileLoader("nqrp_query", QUERY_TOOL)
    spec = importlib.util.spec_from_loader("nqrp_query", loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    return module


nqrp = load_client()


def family_of(host):
    return socket.AF_INET6 if ":" in host else socket.AF_INET


class Querier:
    """One UDP socket that sends raw datagrams to the agent and reads what comes back."""

    def __init__(self, host, port=nqrp.DEFAULT_PORT):
        self.address = (host, port)
        self.socket = socket.socket(family_of(host), socket.SOCK_DGRAM)

    def close(self):
        self.socket.close()

    def send(self, data):
        self.socket.sendto(data, self.address)

    def receive(self, timeout):
        self.socket.settimeout(timeout)
        try:
            return self.socket.recv(65535)
        except socket.timeout:
            return None

    def query(self, name, request_id, mask=nqrp.ALL_FIELDS):
        """Sends one query; returns the first datagram that comes back, decoded."""
        self.send(nqrp.make_request(name, request_id, mask))
        data = self.receive(REPLY_WAIT)
        if data is None:
            return None
        return nqrp.decode_reply(data, name, request_id, mask)


class QueryServiceTestCase(unittest.TestCase):
    """The service with a scripted console user, adapters and the reference server."""

    ADDRESSES = ["10.20.30.40", "2001:db8::40"]

    def setUp(self):
        kestrin.remove_service()
        kestrin.reg_delete_key(OPTIONS)
        self.install = kestrin.Install(self.id())
        # Installed before the stand-ins are: the installing run does not need
        # them, and a run of Kestrin.exe -i with them under the helper has
        # been seen to hang.
        self.assertEqual(self.install.run("-i")[1], 0)
        standins.clear()
        standins.install(self.install.folder)
        self.ready = kestrin.HeldEvent(r"Global\TermSrvReadyEvent")
        self.server = None
        value = kestrin.reg_query(r"HKLM\System\CurrentControlSet\Control\ComputerName\ComputerName",
                                  "ComputerName")
        self.computer = value[1].upper() if value else ""
        standins.script_session(1, user_name="bob", domain_name=self.computer, win_station_name="Console")
        standins.script_adapter(1, description="Wired", if_type=standins.IF_ETHERNET, addresses=self.ADDRESSES)
        kestrin.reg_add(OPTIONS, "Identification Server Reporting", 1, "REG_DWORD")
        kestrin.reg_add(OPTIONS, "Identification Server", "127.0.0.1")

    def tearDown(self):
        kestrin.remove_service()
        if self.server:
            self.server.stop()
        self.ready.release()
        standins.clear()
        standins.uninstall()
        kestrin.reg_delete_key(OPTIONS)

    def start(self, expect="RUNNING"):
        self.server = kestrin.IdentServer(self.install.folder)
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state(expect), expect, self.install.log_lines())

    def query(self, name, host="127.0.0.1", **options):
        reply = nqrp.query(host, name, timeout=REPLY_WAIT, **options)
        self.assertIsNotNone(reply, f"no {name} reply on {host}; log:\n" + "\n".join(self.install.log_lines()[-20:]))
        return reply

    def wait_for_line(self, predicate, timeout=REPLY_WAIT):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            if any(predicate(line) for line in self.install.log_lines()):
                return True
            time.sleep(0.1)
        return False

    def assert_still_answers(self, host="127.0.0.1"):
        self.assertEqual(self.query("nqrp", host)["constant"], 30)

    def error_lines(self, prefix):
        return [line for line in self.install.log_lines() if line.startswith(prefix)]


class QueryAnswerTest(QueryServiceTestCase):

    def test_every_query_is_answered_with_the_reported_identity(self):
        self.start()
        reports = self.server.wait_for_reports(1)
        self.assertTrue(reports, self.install.log_lines())
        report = reports[0]
        for host in LOOPBACKS:
            with self.subTest(host=host):
                nextgen = self.query("nextgen", host)
                self.assertEqual(nextgen["machine_uuid"], report["machine_uuid"])
                # The report puts the connection's own address first.
                self.assertEqual(nextgen["addresses"], report["addresses"][1:])
                self.assertEqual(nextgen["addresses"], self.ADDRESSES)
                self.assertEqual(nextgen["user"], report["user"])
                self.assertEqual(nextgen["user"], f"{self.computer}\\bob")
                self.assertEqual(nextgen["computer"], report["computer"])
                self.assertEqual(f"{nextgen['agent_version']['major']}.{nextgen['agent_version']['minor']}."
                                 f"{nextgen['agent_version']['build']}", report["agent_version"]["version"])
                self.assertEqual(nextgen["os"]["code"], report["os"]["code"])
                self.assertEqual(nextgen["mask"] & ~0x7FE, 0)

                logon = self.query("logon-user", host)
                self.assertEqual(logon["network_type"], 1)
                self.assertEqual(logon["user"], f"{self.computer}\\bob")
                self.assertEqual(logon["computer"].upper(), report["computer"].upper())
                self.assertEqual(logon["groups"], [])

                info = self.query("nqrp", host)
                self.assertEqual(info["network_type"], 1)
                self.assertEqual(info["constant"], 30)
                self.assertEqual((info["os_major"], info["os_minor"], info["os_build"]), (6, 1, 7601))
                self.assertEqual(info["computer"], report["computer"].upper())
                self.assertEqual(info["agent_version"], "UA 2.1.14.0")
                self.assertEqual(info["program_directory"], kestrin.windows_path(self.install.folder))
                self.assertEqual(info["system_directory"], r"C:\windows\system32")

    def test_nextgen_sends_only_the_fields_asked_for(self):
        self.start()
        self.assertEqual(self.query("nextgen", mask=0)["mask"], 0)
        reply = self.query("nextgen", mask=0)
        self.assertEqual(set(reply) - {"query", "request_id", "reserved", "mask", "machine_uuid", "addresses"}, set())
        reply = self.query("nextgen", mask=0x048, host="::1")
        self.assertEqual(reply["mask"], 0x048)
        self.assertEqual(set(reply) & {"computer", "user", "user_dn", "groups", "os"}, {"computer", "user"})



class BadInputTest(QueryServiceTestCase):

    def setUp(self):
        super().setUp()
        self.start()
        self.assert_still_answers()

    def test_short_datagrams_and_unknown_codes_get_no_reply(self):
        for host in LOOPBACKS:
            with self.subTest(host=host):
                querier = Querier(host)
                try:
                    querier.send(b"\x00\x0F\x01\x02\x03\x04\x05")          # seven bytes
                    querier.send(struct.pack("<HIH", 0x4242, 7, 0))       # unknown function code
                    querier.send(b"")
                    # Nothing comes back before the answer to the next query.
                    self.assertEqual(querier.query("logon-user", 0x1001)["request_id"], 0x1001)
                    self.assertIsNone(querier.receive(SILENCE))
                finally:
                    querier.close()
        self.assertEqual(self.error_lines("[!] CNQRPServer"), [])

    def test_queriers_that_went_away_do_not_stop_the_server(self):
        for host in LOOPBACKS:
            for request_id in range(30):
                gone = Querier(host)
                gone.send(nqrp.make_request("logon-user", request_id))
                gone.close()
            self.assert_still_answers(host)
        self.assertEqual(self.error_lines("[!] CNQRPServer::OnError"), [])

    def test_a_query_from_port_zero_costs_only_its_own_reply(self):
        # A reply to port 0 cannot be sent; the socket must go on serving.
        for _ in range(3):
            send_from_port_zero(nqrp.make_request("logon-user", 0x2002))
        self.assertTrue(self.wait_for_line(lambda line: line.startswith("[!] CNQRPServer::OnDatagramLost; Error=")))
        for _ in range(RECEIVES_PER_SOCKET + 1):
            self.assert_still_answers()
        self.assertEqual(self.error_lines("[!] CNQRPServer::OnError"), [])


def send_from_port_zero(payload, host="127.0.0.1", port=nqrp.DEFAULT_PORT):
    """A UDP datagram with source port 0, built by hand (the stack never picks 0)."""
    header = struct.pack("!HHHH", 0, port, 8 + len(payload), 0)  # checksum 0: none, allowed over IPv4
    with socket.socket(socket.AF_INET, socket.SOCK_RAW, socket.IPPROTO_UDP) as raw:
        raw.sendto(header + payload, (host, 0))


class FaultTest(QueryServiceTestCase):
    """A processor fault ends the service's process instead of leaving it half alive."""

    def test_a_fault_ends_the_process_and_a_restart_answers_again(self):
        self.start()
        self.assert_still_answers()
        # The next address lookup faults, on the main loop's thread.
        kestrin.reg_add(standins.IPHELPER_KEY, "AdaptersFault", 1, "REG_DWORD")
        standins.fire_address_change()
        self.assertTrue(self.install.wait_for_log("[!] Ending the process after exception 0xc0000005"),
                        self.install.log_lines()[-10:])
        self.assertTrue(any(line.startswith("[!] Unhandled exception 0xc0000005 at 0x")
                            for line in self.install.log_lines()))
        # Nothing is left to answer: the port is free again.
        for family, address in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
            self.assertTrue(self.port_becomes_free(family, address))
        # Windows' service manager restarts the service (the recovery actions
        # set at install); Wine's has none, so the test starts it.
        kestrin.sc("start", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("RUNNING"), "RUNNING")
        self.assert_still_answers()
        self.assertEqual(self.install.log_lines().count("CUserAgent: service running"), 2)

    @staticmethod
    def port_becomes_free(family, address, timeout=REPLY_WAIT):
        deadline = time.monotonic() + timeout
        while True:
            with socket.socket(family, socket.SOCK_DGRAM) as probe:
                try:
                    probe.bind((address, nqrp.DEFAULT_PORT))
                    return True
                except OSError:
                    if time.monotonic() > deadline:
                        return False
            time.sleep(0.2)


class QueryLogFloodTest(QueryServiceTestCase):
    """Anyone may send queries as fast as they like; the log must not grow
    with them."""

    FLOOD = 5000
    LINE = "CNQRPServer::OnReceiveFrom: NQRP Query; Bytes="

    def test_a_flood_is_counted_not_logged_line_by_line(self):
        self.start()
        self.assert_still_answers()
        querier = Querier("127.0.0.1")
        self.addCleanup(querier.close)
        started = time.monotonic()
        for request_id in range(self.FLOOD):
            querier.send(nqrp.make_request("nqrp", request_id))
        # A query after a quiet second is logged again, after the flood's count.
        time.sleep(1.5)
        self.assert_still_answers()
        seconds = time.monotonic() - started
        lines = self.install.log_lines()
        logged = sum(line.startswith(self.LINE) for line in lines)
        counts = [int(line.split()[1]) for line in lines
                  if line.startswith("CNQRPServer: ") and line.endswith("queries not logged (more than 10 a second)")]
        self.assertTrue(counts, lines[-20:])
        self.assertLessEqual(logged + sum(counts), self.FLOOD + 2)
        # At most ten a second, with a second's slack at either end.
        self.assertLessEqual(logged, 10 * (int(seconds) + 2), lines[-20:])
        self.assertEqual(kestrin.service_state(), "RUNNING")


class OversizeReplyTest(QueryServiceTestCase):
    """A NextGen reply that needs more than one datagram is not sent.

    The stand-ins give the user no groups, so the identity is made too large
    for a datagram by the machine's address list: 4,000 IPv6 addresses take
    68,000 bytes, and fit the reply buffer.
    """

    ADDRESSES = [f"2001:db8::{number:x}" for number in range(1, 4001)]

    def test_no_nextgen_reply_and_a_line_with_the_sizes(self):
        self.start()
        self.assertTrue(self.wait_for_line(lambda line: line == "CUserAgent: service running", timeout=60))
        for host, limit in (("127.0.0.1", 65507), ("::1", 65527)):
            with self.subTest(host=host):
                querier = Querier(host)
                try:
                    querier.send(nqrp.make_request("nextgen", 0x51, 0))
                    self.assertEqual(querier.query("logon-user", 0x52)["request_id"], 0x52)
                    self.assertIsNone(querier.receive(SILENCE))
                finally:
                    querier.close()
                self.assertTrue(self.wait_for_line(lambda line: line.startswith(
                    "[!] CNQRPServer::DoLogonUserQueryEx: Response larger than one datagram; Size=")
                    and line.endswith(f", MaxSize={limit}")), self.install.log_lines()[-10:])
        self.assertIsNone(nqrp.query("127.0.0.1", "nextgen", timeout=SILENCE))
        self.assert_still_answers()


class SiblingVersionTest(QueryServiceTestCase):
    """While the sibling security agent runs, the NQRP Query reports its version."""

    def setUp(self):
        super().setUp()
        self.remove_sibling()
        binary = '"' + kestrin.windows_path(SIBLING_EXE) + '"'
        result = kestrin.sc("create", SIBLING, "binPath=", binary, "start=", "demand")
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def tearDown(self):
        self.remove_sibling()
        super().tearDown()

    def remove_sibling(self):
        kestrin.remove_service(SIBLING)

    def test_the_running_sibling_agents_version_is_reported(self):
        self.start()
        self.assertEqual(self.query("nqrp")["agent_version"], "UA 2.1.14.0")  # installed, not running
        kestrin.sc("start", SIBLING)
        self.assertEqual(kestrin.wait_for_state("RUNNING", name=SIBLING), "RUNNING")
        self.assertEqual(self.query("nqrp")["agent_version"], "7.3.2.1")
        self.assertEqual(self.query("nqrp", "::1")["agent_version"], "7.3.2.1")

        # Quotes anywhere and trailing backslashes are not part of the file name.
        image = '"' + kestrin.windows_path(SIBLING_EXE) + '"\\\\'
        kestrin.reg_add(SIBLING_KEY, "ImagePath", image, "REG_EXPAND_SZ")
        self.assertEqual(self.query("nqrp")["agent_version"], "7.3.2.1")

        # A file without a version resource gives our own version.
        kestrin.reg_add(SIBLING_KEY, "ImagePath", kestrin.windows_path(QUERY_TOOL), "REG_EXPAND_SZ")
        self.assertEqual(self.query("nqrp")["agent_version"], "UA 2.1.14.0")

        kestrin.reg_add(SIBLING_KEY, "ImagePath", '"' + kestrin.windows_path(SIBLING_EXE) + '"', "REG_EXPAND_SZ")
        kestrin.sc("stop", SIBLING)
        self.assertEqual(kestrin.wait_for_state("STOPPED", name=SIBLING), "STOPPED")
        self.assertEqual(self.query("nqrp")["agent_version"], "UA 2.1.14.0")


class QueryServerLifecycleTest(QueryServiceTestCase):

    def test_start_and_stop_lines_in_order(self):
        self.start()
        self.assert_still_answers()
        kestrin.sc("stop", "Kestrin")
        self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")
        self.assertTrue(self.wait_for_line(lambda line: line == "SvrUninitialize End"))
        kestrin.assert_in_order(self, self.install.log_lines(), [
            "Novell not detected -- assuming Microsoft network",
            "Creating IO Buffer Manager",
            "Loading WTS Functions",
            "Creating NQRP Server",
            "Creating Identifier",
            "CUserAgent::Initialize: complete",
            "CUserAgent: service running",
            "Shutdown Signalled",
            "CUserAgent::Uninitialize",
            "CIdentity::Uninitialize",
            "Shutting down NQRP server socket ...",
            "CUserAgent::Uninitialize: Complete",
            "SvrUninitialize End",
        ])
        self.assertEqual(self.error_lines("[!] CUserAgent::Stop: Query server"), [])
        self.assertEqual(self.error_lines("[!] CUserAgent::Uninitialize: Query server"), [])
        # The port is free again.
        for family, address in ((socket.AF_INET, "0.0.0.0"), (socket.AF_INET6, "::")):
            with socket.socket(family, socket.SOCK_DGRAM) as probe:
                probe.bind((address, nqrp.DEFAULT_PORT))

    def test_answers_after_every_restart(self):
        for cycle in range(3):
            with self.subTest(cycle=cycle):
                if self.server:
                    self.server.stop()
                self.start()
                self.assert_still_answers("::1")
                kestrin.sc("stop", "Kestrin")
                self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")
                # Wine's service manager mishandles a start while the stopped
                # process is still on its way out.
                deadline = time.monotonic() + REPLY_WAIT
                while self.install.log_lines()[-1:] != ["Closed log file"]:
                    self.assertLess(time.monotonic(), deadline, self.install.log_lines()[-5:])
                    time.sleep(0.1)

    def test_a_taken_port_stops_the_start(self):
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as holder:
            holder.bind(("0.0.0.0", nqrp.DEFAULT_PORT))
            self.server = kestrin.IdentServer(self.install.folder)
            kestrin.sc("start", "Kestrin")
            self.assertTrue(self.install.wait_for_log("[!] SvrInitialize: Error initializing agent; Exiting"))
            self.assertEqual(kestrin.wait_for_state("STOPPED"), "STOPPED")
        lines = self.install.log_lines()
        kestrin.assert_in_order(self, lines, ["Creating NQRP Server",
                                              "[!] SvrInitialize: Error initializing agent; Exiting"])
        self.assertTrue(any(line.startswith("[!] CNQRPServer::Start: Failed to bind v4 socket to port 1305.")
                            for line in lines), lines)
        self.assertNotIn("Creating Identifier", lines)


class FakeAgent:
    """A UDP peer on loopback that answers every datagram with what reply(data) gives."""

    def __init__(self, reply):
        self.socket = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.socket.bind(("127.0.0.1", 0))
        self.port = self.socket.getsockname()[1]
        self.reply = reply
        self.thread = threading.Thread(target=self.serve, daemon=True)
        self.thread.start()

    def serve(self):
        while True:
            try:
                data, peer = self.socket.recvfrom(65535)
            except OSError:
                return
            answer = self.reply(data)
            if answer is not None:
                self.socket.sendto(answer, peer)

    def close(self):
        self.socket.close()


class QueryClientTest(unittest.TestCase):
    """The query client's exit status and output, against peers of the test's own."""

    def run_tool(self, *args):
        return subprocess.run(["python3", QUERY_TOOL, *args], capture_output=True, text=True, timeout=60)

    def test_help(self):
        result = self.run_tool("--help")
        self.assertEqual(result.returncode, 0)
        for text in ("nqrp", "logon-user", "nextgen", "--mask", "--json", "--load"):
            self.assertIn(text, result.stdout)

    def test_no_reply_is_a_time_out(self):
        agent = FakeAgent(lambda data: None)
        try:
            result = self.run_tool("nqrp", "127.0.0.1", "-p", str(agent.port), "-t", "0.5")
        finally:
            agent.close()
        self.assertEqual(result.returncode, nqrp.EXIT_TIMEOUT)
        self.assertIn("no reply", result.stderr)

    def test_bad_arguments_are_usage_errors(self):
        cases = [  # arguments after the query and host, and the option the error names
            (["--request-id", "0x1FFFFFFFF"], "--request-id"), (["--request-id=-1"], "--request-id"),
            (["-p", "70000"], "--port"), (["-p", "0"], "--port"), (["-p", "x"], "--port"),
            (["--encoding", "bogus"], "--encoding"), (["--encoding", "rot13"], "--encoding"),
            (["-m", "0x100000000"], "--mask"), (["-t", "0"], "--timeout"), (["-t", "-1"], "-t"),
            (["-t", "nan"], "--timeout"), (["-t", "1e10"], "--timeout"),
            (["--load", "--duration", "0"], "--duration"), (["--load", "--duration", "inf"], "--duration"),
            (["--load", "--outstanding", "0"], "--outstanding"), (["--load", "--outstanding", "-2"], "--outstanding"),
        ]
        for arguments, option in cases:
            with self.subTest(arguments=arguments):
                result = self.run_tool("nqrp", "127.0.0.1", *arguments)
                self.assertEqual(result.returncode, 2, result.stdout + result.stderr)
                self.assertRegex(result.stderr, rf"nqrp-query: error: argument [^:]*{option}")

    def test_the_default_host_is_the_loopback_of_the_chosen_family(self):
        for options, host in [([], "127.0.0.1"), (["-4"], "127.0.0.1"), (["-6"], "::1"), (["-6", "::2"], "::2")]:
            with self.subTest(options=options):
                self.assertEqual(nqrp.parse_arguments(["nqrp", *options]).host, host)

    def test_load_exits_with_the_time_out_status_when_queries_are_lost(self):
        # An echo of the request counts as its reply; each query waits up to the time-out.
        peers = [("silent", lambda data: None, "0.2", nqrp.EXIT_TIMEOUT), ("echo", bytes, "1", 0)]
        for name, reply, timeout, status in peers:
            with self.subTest(peer=name):
                agent = FakeAgent(reply)
                try:
                    result = self.run_tool("nqrp", "127.0.0.1", "-p", str(agent.port), "--load", "--json",
                                           "--duration", "1", "-t", timeout)
                finally:
                    agent.close()
                self.assertEqual(result.returncode, status, result.stdout + result.stderr)
                figures = json.loads(result.stdout)
                self.assertGreater(figures["sent"], 0)
                self.assertEqual(figures["lost"], figures["sent"] if status else 0)

    def test_malformed_replies(self):
        def logon_reply(data, *strings):
            request_id = struct.unpack_from("<I", data, 2)[0]
            body = b"".join(text.encode("utf-16-le") + b"\0\0" for text in strings)
            return struct.pack("<HIHH", 0x0F02, request_id, 0, 1) + body
        cases = {
            "truncated": lambda data: logon_reply(data, "PC", "bob")[:-1],
            "wrong code": lambda data: b"\x02\x00" + logon_reply(data, "PC", "bob", "OU", "")[2:],
            "wrong id": lambda data: logon_reply(data, "PC", "bob", "OU", "")[:2] + b"\0\0\0\0"
                                     + logon_reply(data, "PC", "bob", "OU", "")[6:],
            "trailing bytes": lambda data: logon_reply(data, "PC", "bob", "OU", "") + b"x",
        }
        for name, reply in cases.items():
            with self.subTest(name=name):
                agent = FakeAgent(reply)
                try:
                    result = self.run_tool("logon-user", "127.0.0.1", "-p", str(agent.port), "--request-id", "7")
                finally:
                    agent.close()
                self.assertEqual(result.returncode, nqrp.EXIT_MALFORMED, result.stdout + result.stderr)
                self.assertIn("malformed reply", result.stderr)

    def test_a_reply_printed_readably_and_as_json(self):
        def reply(data):
            request_id = struct.unpack_from("<I", data, 2)[0]
            strings = ("CORP\\PC-7", "CORP\\bob", "Sales", "staff", "sales team", "")
            return struct.pack("<HIHH", 0x0F02, request_id, 0, 1) + b"".join(
                text.encode("utf-16-le") + b"\0\0" for text in strings)
        agent = FakeAgent(reply)
        try:
            text = self.run_tool("logon-user", "127.0.0.1", "-p", str(agent.port))
            as_json = self.run_tool("logon-user", "127.0.0.1", "-p", str(agent.port), "--json",
                                    "--request-id", "0x2A")
        finally:
            agent.close()
        self.assertEqual(text.returncode, 0, text.stderr)
        self.assertIn("Network type: 1 (Microsoft)", text.stdout)
        self.assertIn("Groups:       staff, sales team", text.stdout)
        self.assertEqual(as_json.returncode, 0, as_json.stderr)
        self.assertEqual(json.loads(as_json.stdout), {
            "query": "logon-user", "request_id": 42, "reserved": 0, "network_type": 1, "computer": "CORP\\PC-7",
            "user": "CORP\\bob", "user_ou": "Sales", "groups": ["staff", "sales team"]})

    def test_nextgen_request_and_decoding(self):
        self.assertEqual(nqrp.make_request("nextgen", 0x01020304, 0x248),
                         bytes([0x10, 0x0F, 4, 3, 2, 1, 0, 0, 0x48, 0x02, 0, 0]))
        uuid_bytes = bytes([0x33, 0x22, 0x11, 0x00, 0x55, 0x44, 0x77, 0x66,
                            0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF])
        data = (struct.pack("<HIHIBH", 0x0F12, 9, 0, 0x248, 1, 16) + uuid_bytes + struct.pack("<H", 1)
                + bytes([4, 10, 1, 2, 3]) + b"CORP\\PC\0CORP\\bob\0" + struct.pack("<HB", 1, 0) + b"CORP\\Staff\0")
        self.assertEqual(nqrp.decode_reply(data, "nextgen", 9, 0x248), {
            "query": "nextgen", "request_id": 9, "reserved": 0, "mask": 0x248,
            "machine_uuid": "{00112233-4455-6677-8899-AABBCCDDEEFF}", "addresses": ["10.1.2.3"],
            "computer": "CORP\\PC", "user": "CORP\\bob", "groups": [{"name": "CORP\\Staff"}]})
        with self.assertRaises(nqrp.MalformedReply):
            nqrp.decode_reply(data, "nextgen", 9, 0x008)  # fields that were not asked for


if __name__ == "__main__":
    unittest.main()

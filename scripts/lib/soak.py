"""The work and the figures of scripts/soak; run by it inside its prefix.

  soak.py FOLDER PROGRAM COUNTERS_EXE QUERIES REPORTS
"""
import json
import os
import subprocess
import sys
import threading
import time

import agent_driver as driver

STEPS = 10
QUERY_KINDS = ("nqrp", "logon-user", "nextgen")
QUERY_OUTSTANDING = 8
REPORT_TIMEOUT = 30
# After the first step (the warm-up) the figures may move by this much and
# still count as flat: a leak of one handle, or of a few dozen bytes, per
# report or query adds up to more over the whole run.
TOLERANCE = {"handles": (16, 0.0), "threads": (2, 0.0), "private_bytes": (1 << 20, 0.03),
             "rss": (2 << 20, 0.03)}


class QueryLoad:
    """Sends queries of each kind in turn with tools/nqrp-query --load until a
    target count is reached."""

    def __init__(self):
        self.sent = 0
        self.answered = 0
        self.lost = 0
        self.kind = 0
        self.rate = 2000.0  # queries per second, refined by every run

    def run_to(self, target):
        while self.sent < target:
            left = target - self.sent
            # Each run's half-second warm-up is sent (and counted) as well.
            duration = min(10.0, max(0.1, left / self.rate - 0.5))
            kind = QUERY_KINDS[self.kind % len(QUERY_KINDS)]
            self.kind += 1
            result = subprocess.run(
                [sys.executable, os.path.join(driver.ROOT, "tools", "nqrp-query"), kind, "127.0.0.1", "--load",
                 "--json", "--outstanding", str(QUERY_OUTSTANDING), "--duration", f"{duration:.2f}"],
                capture_output=True, text=True)
            if result.returncode not in (0, 3):
                raise RuntimeError(f"nqrp-query failed ({result.returncode}): {result.stderr.strip()}")
            figures = json.loads(result.stdout)
            self.answered += figures["replies"]
            self.lost += figures["lost"]
            self.sent += figures["replies"] + figures["lost"]
            self.rate = max(100.0, figures["queries_per_second"])


# The console sessions the reports cycle through, one user each, so that the
# reports carry names of several lengths.
SESSIONS = {1: "bench0000", 2: "ann", 3: "soak.user.with.a.rather.longer.name", 4: "Bj\u00f6rn"}


class Reports:
    """Logs the sessions' users on and off in turn, one session after the
    other; each logon and each logoff is one report."""

    def __init__(self, server, trigger):
        self.server = server
        self.trigger = trigger
        self.sent = 0
        self.received = 0
        self.unhandled = 0

    def run_to(self, target):
        while self.sent < target:
            logon = self.sent % 2 == 0
            event, report_type = ((driver.WTS_SESSION_LOGON, driver.REPORT_USER) if logon else
                                  (driver.WTS_SESSION_LOGOFF, driver.REPORT_NO_USER))
            session = 1 + (self.sent // 2) % len(SESSIONS)
            at, tag = self.trigger.send(event, session)
            self.sent += 1
            user = SESSIONS[session] if logon else None
            if driver.wait_for_report(self.server, report_type, user, at + REPORT_TIMEOUT) is not None:
                self.received += 1
            if self.trigger.wait_handled(tag) is None:
                self.unhandled += 1


def counters(agent, counters_exe):
    """The agent's handles, threads, private bytes and working set, and the
    Linux resident size of its process."""
    pid = agent.linux_pid()
    if pid is None:
        return None
    out = driver.kestrin.wine(counters_exe, "Kestrin.exe").stdout
    lines = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
    if not lines:
        return None
    figures = dict(lines[0])
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                figures["rss"] = int(line.split()[1]) * 1024
    return figures


def print_row(label, figures, queries, reports):
    print(f"{label:>9} {queries.sent:>9} {reports.received:>8} {figures['handles']:>8} {figures['threads']:>8} "
          f"{figures['private_bytes'] / 1024:>12,.0f} {figures['working_set'] / 1024:>12,.0f} "
          f"{figures.get('rss', 0) / 1024:>12,.0f}", flush=True)


def flat(first, last):
    verdicts = {}
    for key, (absolute, relative) in TOLERANCE.items():
        allowed = max(absolute, relative * first[key])
        verdicts[key] = (last[key] - first[key], allowed, last[key] - first[key] <= allowed)
    return verdicts


def main():
    folder, program, counters_exe = sys.argv[1], sys.argv[2], sys.argv[3]
    total_queries, total_reports = int(sys.argv[4]), int(sys.argv[5])
    server = driver.IdentServer()
    agent = driver.Agent(folder, program)
    trigger = driver.Trigger()
    queries, reports = QueryLoad(), Reports(server, trigger)
    for session, user in SESSIONS.items():
        driver.standins.script_session(session, user_name=user, win_station_name=f"Console{session}")
    try:
        agent.start()
        if driver.wait_for_report(server, driver.REPORT_STARTUP, None, time.perf_counter() + 60) is None:
            raise RuntimeError("the agent sent no startup report")
        if not driver.wait_for_query_port():
            raise RuntimeError("the agent does not answer on UDP 1305")
        print(f"\n{total_queries} queries ({', '.join(QUERY_KINDS)} in turn, {QUERY_OUTSTANDING} outstanding) and "
              f"{total_reports} reports (logons and logoffs of {len(SESSIONS)} sessions in turn) against the agent, in {STEPS} steps\n")
        print(f"{'step':>9} {'queries':>9} {'reports':>8} {'handles':>8} {'threads':>8} {'private KiB':>12} "
              f"{'working KiB':>12} {'Linux RSS KiB':>12}")
        samples = []
        before = counters(agent, counters_exe)
        if before is None:
            raise RuntimeError("cannot read the agent's counters")
        print_row("start", before, queries, reports)
        started = time.perf_counter()
        for step in range(1, STEPS + 1):
            query_thread = threading.Thread(target=queries.run_to, args=(total_queries * step // STEPS,))
            query_thread.start()
            reports.run_to(total_reports * step // STEPS)
            query_thread.join()
            figures = counters(agent, counters_exe)
            if figures is None:
                print(f"the agent's process is gone after step {step}")
                return 1
            samples.append(figures)
            print_row(f"{step * 100 // STEPS}%", figures, queries, reports)
        elapsed = time.perf_counter() - started

        print(f"\nqueries: {queries.sent} sent, {queries.answered} answered, {queries.lost} lost; "
              f"reports: {reports.sent} triggered, {reports.received} received at the server, "
              f"{reports.unhandled} triggers not handled within {REPORT_TIMEOUT} s; {elapsed:.0f} s")
        first, last = samples[0], samples[-1]
        print(f"after the warm-up ({100 // STEPS}%) -> at the end:")
        verdicts = flat(first, last)
        for key, (growth, allowed, ok) in verdicts.items():
            print(f"  {key:<14}{first[key]:>14,} -> {last[key]:>14,}  ({growth:+,}; allowed +{allowed:,.0f}) "
                  f"{'flat' if ok else 'GROWING'}")
        all_flat = all(ok for _, _, ok in verdicts.values())
        complete = reports.received == reports.sent and reports.unhandled == 0
        print(f"\nresult: {'flat' if all_flat else 'not flat'}"
              f"{'' if complete else '; reports were lost'}")
        return 0 if all_flat and complete else 1
    finally:
        agent.stop()
        agent.remove()
        server.stop()


if __name__ == "__main__":
    sys.exit(main())

"""The measurement of scripts/bench-logon; run by it inside its prefix.

  bench_logon.py FOLDER PROGRAM LOGONS STARTS
"""
import statistics
import sys
import time

import agent_driver as driver

# Log lines that mark the steps of a logon, in the order the agent writes them.
LOGON_STEPS = (
    ("event", "[IDENT] Session change: WTS_SESSION_LOGON"),
    ("handling", "[IDENT] HandleLogon: SessionID="),
    ("identified", "[IDENT] Logon user identity:"),
    ("reported", "[IDENT] OnIdentifyLogonUser: Successfully reported"),
)
START_STEPS = (
    ("process", "User Agent build version"),
    ("initializing", "SvrInitialize Begin"),
    ("running", "CUserAgent: service running"),
    ("identified", "[IDENT] Startup computer identity:"),
    ("reported", "[IDENT] IdentifyStartup: Successfully reported"),
)
REPORT_TIMEOUT = 30
# The steps of a logon as printed: (label, key of the time after the trigger).
MARKS = (("agent logs the session change", "event"), ("agent logs HandleLogon", "handling"),
         ("agent logs the user identified", "identified"), ("report arrives at the server", "report"),
         ("agent logs the report's success", "reported"), ("control handler returns", "handled"))


def ms(seconds):
    return seconds * 1000.0


def step_times(tail, steps, until_text, timeout=2.0):
    """The time each step's line was written, from the lines the tail has or
    gets within the time-out, up to the line with until_text."""
    found = {}
    deadline = time.perf_counter() + timeout
    while time.perf_counter() < deadline:
        try:
            written, text = tail.lines.get(timeout=max(0.0, deadline - time.perf_counter()))
        except driver.queue.Empty:
            break
        for name, marker in steps:
            if name not in found and marker in text:
                found[name] = written
        if until_text in text:
            break
    return found


def measure_starts(agent, server, tail, starts):
    results = []
    for number in range(starts):
        if number:
            agent.stop()
        server.drain()
        tail.drain()
        started = agent.start()
        arrived = driver.wait_for_report(server, driver.REPORT_STARTUP, None, started + 60)
        steps = step_times(tail, START_STEPS, START_STEPS[-1][1])
        if arrived is None:
            print(f"start {number + 1}: no startup report within 60 s", file=sys.stderr)
            continue
        steps["report"] = arrived
        results.append((arrived - started, {name: at - started for name, at in steps.items()}))
        if not agent.wait_running():
            raise RuntimeError("the service did not report running")
    return results


def one_logon(server, tail, trigger, number):
    """Logs bench<number> on at the console and off again; returns the logon's
    figures, or None when its report did not come."""
    user = f"bench{number:04d}"
    driver.script_console_user(user)  # outside the timed interval
    server.drain()
    tail.drain()
    sent, tag = trigger.send(driver.WTS_SESSION_LOGON, 1)
    arrived = driver.wait_for_report(server, driver.REPORT_USER, user, sent + REPORT_TIMEOUT)
    handled = trigger.wait_handled(tag)
    steps = step_times(tail, LOGON_STEPS, LOGON_STEPS[-1][1])
    logon = None
    if arrived is not None:
        logon = {"number": number, "report": arrived - sent, **{name: at - sent for name, at in steps.items()}}
        if handled is not None:
            logon["handled"] = handled - sent
    # The logoff, so that the next logon is a new user's.
    sent, tag = trigger.send(driver.WTS_SESSION_LOGOFF, 1)
    off = driver.wait_for_report(server, driver.REPORT_NO_USER, None, sent + REPORT_TIMEOUT)
    trigger.wait_handled(tag)
    if logon is not None and off is not None:
        logon["logoff"] = off - sent
    return logon


def summary(values):
    values = sorted(values)
    return (f"median {ms(statistics.median(values)):7.2f}  p90 {ms(driver.percentile(values, 0.9)):7.2f}  "
            f"p99 {ms(driver.percentile(values, 0.99)):7.2f}  max {ms(values[-1]):7.2f} ms")


def median_of(results, key):
    values = [r[key] for r in results if key in r]
    return statistics.median(values) if values else float("nan")


def print_logons(logons, results, trigger_count):
    latencies = [r["report"] for r in results]
    print(f"\nlogons: {logons}, reports received: {len(latencies)}")
    if not latencies:
        return
    print(f"logon event -> report at the server: {summary(latencies)}")
    logoffs = [r["logoff"] for r in results if "logoff" in r]
    if logoffs:
        print(f"logoff event -> report at the server: {summary(logoffs)}")
    print("\nwhere a logon's time goes (medians, ms after the trigger was sent; log lines timed as written):")
    previous = 0.0
    for label, key in MARKS:
        at = median_of(results, key)
        print(f"  {label:<34}{ms(at):8.2f}   (+{ms(at - previous):.2f})")
        previous = at
    slowest = max(results, key=lambda r: r["report"])
    print(f"  the slowest logon (number {slowest['number']}): " + ", ".join(f"{key} {ms(slowest[key]):.2f}" for _, key in MARKS if key in slowest))


def print_starts(results):
    if not results:
        print("\nsc start -> first report: no start produced a report")
        return
    totals = sorted(r[0] for r in results)
    print(f"\nsc start -> first report at the server, {len(totals)} starts: median {ms(statistics.median(totals)):.0f} ms "
          f"(each: {', '.join(f'{ms(t):.0f}' for t in totals)})")
    print("  where it goes (medians, ms after sc start; log lines timed as written):")
    for label, key in (("process logs its first line", "process"), ("agent starts initializing", "initializing"),
                       ("agent reports running", "running"), ("startup identity logged", "identified"),
                       ("report arrives at the server", "report"), ("agent logs the report's success", "reported")):
        values = [r[1][key] for r in results if key in r[1]]
        if values:
            print(f"    {label:<34}{ms(statistics.median(values)):8.0f}")


def main():
    folder, program, logons, starts = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
    server = driver.IdentServer()
    agent = driver.Agent(folder, program)
    tail = driver.LogTail(agent.log_path)
    trigger = driver.Trigger()
    try:
        start_results = measure_starts(agent, server, tail, starts)
        if not driver.wait_for_query_port():
            raise RuntimeError("the agent does not answer on UDP 1305")
        results = []
        for number in range(1, logons + 1):
            figures = one_logon(server, tail, trigger, number)
            if figures is None:
                print(f"logon {number}: no report within {REPORT_TIMEOUT} s", file=sys.stderr)
            else:
                results.append(figures)
            if number % 50 == 0:
                print(f"[kestrin] {number} logons", file=sys.stderr, flush=True)
        print_logons(logons, results, trigger.count)
        print_starts(start_results)
        return 0 if len(results) == logons else 1
    finally:
        agent.stop()
        agent.remove()
        server.stop()


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/env python3
"""What scripts/run shows, and its verdict.

  run_view.py reports [--json]   reference-server JSON lines on standard input
                                 -> one short line each ([report] or [http])
  run_view.py log                the agent's log lines on standard input ->
                                 the same lines, those this run expects marked
  run_view.py verdict REPORTS QUERIES LOG [--change USER] [--update VERSION]
                                 one line saying what the run saw; exit 1
                                 when an expected step is missing (with
                                 --change a report of USER, with --update a
                                 report from the build of VERSION)
"""
import argparse
import json
import re
import sys

QUERIES = ("nqrp", "logon-user", "nextgen")

# Log lines of a healthy run that name something missing from this machine,
# not a fault of the agent: (pattern, why).
EXPECTED = [
    (r"\[!\] Firewall Exceptions: Unable to determine if UDP port 1305 is allowed: 0x80004001",
     "expected under Wine: no Windows Firewall service"),
    (r"\[!\] CIdentActiveDirectory::GetComputerDN: .*0X80040154",
     "expected under Wine: no Active Directory name translation, and no domain"),
    (r"\[!\] CUpdate: Stop signaled", "expected: the update thread's line at every stop"),
    (r"\[!\] CUpdate: Unable to get .*ua_update_x64\.md5",
     "expected: the reference server publishes no update unless asked to"),
]


def report_line(record):
    """[report] kind user DN groups: a, b -> reply   or   [http] METHOD path -> status."""
    if "http" in record:
        return f"[http] {record.get('method', '?')} {record['http']} -> {record.get('status')}"
    if "error" in record:
        return f"[report] malformed: {record['error']}"
    groups = ", ".join(group.get("name") or group.get("dn", "") for group in record.get("groups", []))
    fields = [record.get("report_kind", "?"), record.get("user") or "(no user)"]
    if record.get("user_dn"):
        fields.append(record["user_dn"])
    fields.append(f"groups: {groups or '(none)'}")
    version = (record.get("agent_version") or {}).get("version")
    if record.get("report_kind") == "startup" and version:
        fields.append(f"(agent {version})")
    if record.get("reply"):
        fields.append(f"-> {record['reply']}")
    return "[report] " + "  ".join(fields)


def show_reports(lines, as_json):
    for line in lines:
        line = line.strip()
        if not line:
            continue
        if as_json:
            print(f"[report] {line}", flush=True)
            continue
        try:
            print(report_line(json.loads(line)), flush=True)
        except ValueError:
            print(f"[report] {line}", flush=True)


def mark_expected(lines):
    for line in lines:
        line = line.rstrip("\r\n")
        why = next((why for pattern, why in EXPECTED if re.search(pattern, line)), None)
        print(f"{line}  ({why})" if why else line, flush=True)


def read_records(path):
    records = []
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            for line in file:
                try:
                    records.append(json.loads(line))
                except ValueError:
                    pass
    except FileNotFoundError:
        pass
    return records


def read_text(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return file.read()
    except FileNotFoundError:
        return ""


def user_name(report):
    """The user without the domain before it, in lower case."""
    return (report.get("user") or "").rpartition("\\")[2].lower()


def verdict(reports_path, queries_path, log_path, change=None, update=None):
    """(line, ok): reports by kind, queries answered, user changes, clean stop;
    change: the user who took over the console, update: the version published."""
    reports = [record for record in read_records(reports_path) if "report_kind" in record]
    kinds = {}
    for report in reports:
        kinds[report["report_kind"]] = kinds.get(report["report_kind"], 0) + 1
    users = [report.get("user", "") for report in reports if report["report_kind"] in ("startup", "user")]
    changes = sum(1 for before, after in zip(users, users[1:]) if before != after)
    answered = set(read_text(queries_path).split()) & set(QUERIES)
    clean = "SvrUninitialize End" in read_text(log_path)
    missing = []
    if not kinds.get("startup"):
        missing.append("a startup report")
    missing += [f"an answer to {query}" for query in QUERIES if query not in answered]
    if change and change.lower() not in {user_name(report) for report in reports}:
        missing.append(f"a report of {change} after the user change")
    updated = update and update in {(report.get("agent_version") or {}).get("version") for report in reports}
    if update and not updated:
        missing.append(f"a report from the updated build {update}")
    if not clean:
        missing.append("a clean stop")
    seen = ", ".join(f"{count} {kind}" for kind, count in sorted(kinds.items())) or "none"
    line = (f"reports: {seen}; queries answered: {len(answered)} of {len(QUERIES)}; "
            f"user changes seen: {changes}; {f'updated to {update}; ' if updated else ''}"
            f"{'clean stop' if clean else 'no clean stop'}")
    return (f"verdict: ok - {line}" if not missing else f"verdict: FAILED - missing {', '.join(missing)} - {line}",
            not missing)


def main(argv):
    if argv[:1] == ["reports"]:
        show_reports(sys.stdin, "--json" in argv[1:])
    elif argv[:1] == ["log"]:
        mark_expected(sys.stdin)
    elif argv[:1] == ["verdict"] and len(argv) >= 4:
        parser = argparse.ArgumentParser(prog="run_view.py verdict")
        parser.add_argument("paths", nargs=3)
        parser.add_argument("--change")
        parser.add_argument("--update")
        options = parser.parse_args(argv[1:])
        line, ok = verdict(*options.paths, change=options.change, update=options.update)
        print(f"[kestrin] {line}", flush=True)
        return 0 if ok else 1
    else:
        print(__doc__, file=sys.stderr)
        return 2
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

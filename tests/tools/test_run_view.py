"""scripts/run's report lines and verdict, from the files a run leaves."""
import importlib.util
import json
import os
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
SPEC = importlib.util.spec_from_file_location("run_view", os.path.join(ROOT, "scripts", "lib", "run_view.py"))
run_view = importlib.util.module_from_spec(SPEC)
SPEC.loader.exec_module(run_view)

STARTUP = {"report_kind": "startup", "user": r"PC\ada", "user_dn": "uid=ada,dc=corp", "groups": [{"name": "staff"}]}
BOB = {"report_kind": "user", "user": r"PC\bob", "agent_version": {"version": "2.1.15"}}
HEARTBEAT = {"report_kind": "heartbeat", "user": r"PC\bob"}


class RunViewTest(unittest.TestCase):

    def test_lines(self):
        self.assertEqual(run_view.report_line(STARTUP), r"[report] startup  PC\ada  uid=ada,dc=corp  groups: staff")
        self.assertEqual(run_view.report_line(dict(BOB, reply="ok")), r"[report] user  PC\bob  groups: (none)  -> ok")
        self.assertEqual(run_view.report_line({"http": "/x.md5", "method": "GET", "status": 404}),
                         "[http] GET /x.md5 -> 404")

    def test_verdict(self):
        all_queries = "nqrp\nlogon-user\nnextgen\n"
        cases = [  # (reports, queries answered, log, what the run made happen, ok, text in the line)
            ([STARTUP, BOB, HEARTBEAT], all_queries, "SvrUninitialize End", {}, True,
             "reports: 1 heartbeat, 1 startup, 1 user; queries answered: 3 of 3; user changes seen: 1; clean stop"),
            ([STARTUP, BOB], all_queries, "SvrUninitialize End", {"change": "BOB", "update": "2.1.15"}, True,
             "user changes seen: 1; updated to 2.1.15; clean stop"),
            ([STARTUP], all_queries, "SvrUninitialize End", {"change": "bob", "update": "2.1.15"}, False,
             "missing a report of bob after the user change, a report from the updated build 2.1.15"),
            ([BOB], "nqrp\nnextgen\n", "SvrUninitialize End", {}, False,
             "missing a startup report, an answer to logon-user"),
            ([STARTUP], all_queries, "Shutting Down", {}, False, "missing a clean stop"),
            ([], "", "", {}, False, "reports: none; queries answered: 0 of 3"),
        ]
        for reports, queries, log, expected, ok, text in cases:
            with self.subTest(text=text), tempfile.TemporaryDirectory() as folder:
                paths = [os.path.join(folder, name) for name in ("reports.jsonl", "queries.txt", "run.log")]
                for path, content in zip(paths, ["".join(json.dumps(r) + "\n" for r in reports), queries, log]):
                    with open(path, "w") as file:
                        file.write(content)
                line, passed = run_view.verdict(*paths, **expected)
                self.assertEqual(passed, ok, line)
                self.assertIn(text, line)
                self.assertTrue(line.startswith("verdict: ok - " if ok else "verdict: FAILED - "), line)


if __name__ == "__main__":
    unittest.main()

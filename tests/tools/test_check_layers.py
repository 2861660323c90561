"""scripts/check-layers against the tree and against copies of it with one
include that goes the wrong way."""
import os
import shutil
import subprocess
import tempfile
import unittest

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")
CHECK = os.path.join(ROOT, "scripts", "check-layers")


def check(src=None):
    return subprocess.run([CHECK] + ([src] if src else []), capture_output=True, text=True)


class CheckLayersTest(unittest.TestCase):

    def test_the_tree_keeps_its_floors(self):
        result = check()
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_an_include_up_or_sideways_is_named_with_its_rule(self):
        cases = [
            # (file, include added, what the line says)
            ("common/Format.cpp", "service/ServiceControl.h", "common (floor 1) includes up into service (floor 9)"),
            ("query/NQRPReplies.cpp", "update/Manifest.h", "query includes sideways into update (both floor 7)"),
            ("diag/Log.cpp", "nowhere/Thing.h", None),
        ]
        for path, include, rule in cases:
            with self.subTest(path=path, include=include), tempfile.TemporaryDirectory() as temp:
                src = os.path.join(temp, "src")
                shutil.copytree(os.path.join(ROOT, "src"), src)
                if include.startswith("nowhere/"):
                    os.makedirs(os.path.join(src, "nowhere"))
                with open(os.path.join(src, path), "a") as f:
                    f.write(f'#include "{include}"\n')
                result = check(src)
                self.assertEqual(result.returncode, 1, result.stdout)
                line = result.stdout.strip().splitlines()[-1]
                self.assertTrue(line.startswith(f"src/{path}:"), line)
                self.assertIn(rule or "nowhere is on no floor of src/LAYERS", line)


if __name__ == "__main__":
    unittest.main()

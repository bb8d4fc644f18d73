"""The run command and the scaling study, on the built programs at small sizes."""
import csv
import os
import re
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SMALL_N = 1000000


def tool(args, path):
    # At the tests' small sizes a tool's whole run takes seconds.
    env = dict(os.environ, OMP_NUM_THREADS="2")
    return subprocess.run([sys.executable, os.path.join(ROOT, path), *args], env=env, capture_output=True,
                          text=True, timeout=120)


def prebuilt():
    return ["--bin", os.environ["SUITE_BIN"], "--recurrence-n", str(SMALL_N),
            "--recurrence-bin", os.path.join(os.environ["SUITE_TEST_BIN"], f"n{SMALL_N}")]


class RunSuite(unittest.TestCase):
    def test_outputs_and_table(self):
        proc = tool(["--pi-n", "1e6", *prebuilt()], "runsuite")
        self.assertEqual(proc.returncode, 0, proc.stderr)
        out = proc.stdout
        for name in ("quadplain", "quadguard", "quadmerge", "growplain", "growsplit", "teamtally"):
            self.assertRegex(out, rf"(?m)^== {name}: ")
        self.assertRegex(out, r"(?m)^pi = \d\.\d{15}, N =   1000000, time = ")
        self.assertIn("Thread -1 is done! Total= 4.999995e+11\n", out)
        table = out.split("Summary", 1)[1]
        rows = {m.group(1): m for m in re.finditer(
            r"(?m)^(\w+)\s+(\d+)\s+N = (\d+)( \(reduced build\))?\s+(\d+\.\d+)\s+(\d+\.\d+)$", table)}
        self.assertEqual(sorted(rows), sorted(["quadplain", "quadguard", "quadmerge", "growplain", "growsplit"]),
                         table)
        for name, m in rows.items():
            self.assertGreater(float(m.group(5)), 0.0, f"{name} time")
            self.assertGreater(float(m.group(6)), 0.0, f"{name} speedup")
        self.assertEqual(rows["quadguard"].group(2), "2")
        self.assertEqual(rows["growsplit"].group(3), str(SMALL_N))
        self.assertTrue(rows["growsplit"].group(4), "the reduced build is labelled")

    def test_failing_program_stops_the_run(self):
        with tempfile.TemporaryDirectory() as d:
            for name in ("quadplain", "quadguard", "quadmerge", "growplain", "growsplit", "teamtally"):
                os.symlink(os.path.join(os.environ["SUITE_BIN"], name), os.path.join(d, name))
            os.remove(os.path.join(d, "quadguard"))
            with open(os.path.join(d, "quadguard"), "w") as f:
                f.write("#!/bin/sh\necho broken >&2\nexit 3\n")
            os.chmod(os.path.join(d, "quadguard"), 0o755)
            proc = tool(["--pi-n", "1000", "--bin", d], "runsuite")
        self.assertEqual(proc.returncode, 3)
        self.assertIn("quadguard failed with status 3: broken", proc.stderr)
        self.assertNotIn("== quadmerge:", proc.stdout)

    def test_bad_options(self):
        for args in (["--pi-n", "abc"], ["--pi-n", "0"], ["--pi-n", "3000000000"], ["--recurrence-n", "-4"],
                     ["--recurrence-bin", "/tmp"], ["--what"]):
            with self.subTest(args=args):
                proc = tool(args, "runsuite")
                self.assertEqual(proc.returncode, 2)
                self.assertRegex(proc.stderr, r"runsuite: error: .+")


class Scaling(unittest.TestCase):
    def test_study(self):
        with tempfile.TemporaryDirectory() as out:
            proc = tool(["--threads", "1,2", "--repeats", "1", "--pi-n", "1000000", "--out", out, *prebuilt()],
                        "bench/scaling.py")
            self.assertEqual(proc.returncode, 0, proc.stderr)
            self.assertRegex(proc.stderr, r"\[8/8\] growsplit threads=2 repeat=1")
            with open(os.path.join(out, "runs.csv")) as f:
                rows = list(csv.DictReader(f))
            self.assertEqual(list(rows[0].keys()),
                             ["program", "threads_requested", "threads", "problem_size", "repeat", "time_s", "result"])
            got = sorted((r["program"], int(r["threads"])) for r in rows)
            self.assertEqual(got, [("growplain", 1), ("growsplit", 1), ("growsplit", 2), ("quadguard", 1),
                                   ("quadguard", 2), ("quadmerge", 1), ("quadmerge", 2), ("quadplain", 1)])
            for r in rows:
                self.assertGreaterEqual(float(r["time_s"]), 0.0)
                self.assertEqual(int(r["problem_size"]), SMALL_N)
            with open(os.path.join(out, "machine.csv")) as f:
                facts = dict(csv.reader(f))
            for key in ("processor", "cores", "memory_bytes", "compiler", "openmp_environment"):
                self.assertIn(key, facts)
            self.assertIn("OMP_PROC_BIND=close", facts["openmp_environment"])
            with open(os.path.join(out, "summary.md")) as f:
                table = [ln for ln in f if re.match(r"\| (quad|grow)\w+ \|", ln)]
            self.assertEqual([ln.split("|")[1].strip() + ln.split("|")[2].strip() for ln in table],
                             ["quadplain1", "quadguard1", "quadguard2", "quadmerge1", "quadmerge2", "growplain1",
                              "growsplit1", "growsplit2"])
            png = os.path.join(out, "speedup.png")
            if subprocess.run(["sh", "-c", "command -v gnuplot"], capture_output=True).returncode == 0:
                with open(png, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            else:
                self.assertIn("gnuplot is not installed", proc.stderr)

    def test_bad_options(self):
        for args in (["--threads", "0"], ["--threads", "1,x"], ["--threads", ""], ["--repeats", "-1"],
                     ["--pi-n", "1.5"], ["--bogus"]):
            with self.subTest(args=args):
                proc = tool(args, "bench/scaling.py")
                self.assertEqual(proc.returncode, 2)
                self.assertRegex(proc.stderr, r"scaling\.py: error: .+")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

"""A teacher's class folder (tests/class: student pi programs, five right and five wrong in their
own ways) run beside the suite's programs in one ./runsuite; and, in the race-check tree, the race
check of every source in it."""
import csv
import json
import os
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.measure import races  # noqa: E402

CLASS = os.path.join(ROOT, "tests", "class")
CORRECT = ("pi_critical", "pi_atomic", "pi_padded", "pi_cyclic", "pi_unfused")
UNDISTURBED = ["--disturbed-load", "4096", "--disturbed-steal", "4096", "--disturbed-lost", "4096"]


def racy_line():
    """Where pi_racy.cpp adds to the shared total unguarded: the line the race check must name."""
    with open(os.path.join(CLASS, "pi_racy.cpp")) as f:
        return next(i for i, line in enumerate(f, 1) if line.strip() == "total += mine;")


class WholeClass(unittest.TestCase):
    def test_each_program_passes_or_fails_for_its_own_reason(self):
        with tempfile.TemporaryDirectory() as d:
            table = os.path.join(d, "summary.csv")
            env = dict(os.environ, OMP_NUM_THREADS="2")
            for name in ("OMP_PROC_BIND", "OMP_PLACES"):
                env.pop(name, None)
            proc = subprocess.run(
                [sys.executable, os.path.join(ROOT, "runsuite"), "--programs", CLASS, "--pi-n", "1e6",
                 "--recurrence-n", "1e6", "--recurrence-bin", os.path.join(os.environ["SUITE_TEST_BIN"], "n1000000"),
                 "--bin", os.environ["SUITE_BIN"], "--repeats", "3", "--run-timeout", "20", "--threads", "1,2",
                 "--no-calibrate", "--csv", table, "--report", os.path.join(d, "report.html"), *UNDISTURBED],
                env=env, capture_output=True, text=True, timeout=1500)
            said = f"\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
            self.assertEqual(proc.returncode, 1, said)  # the wrong ones fail; nothing stops the run
            self.assertNotIn("Traceback", proc.stderr)
            with open(table) as f:
                rows = [r for r in csv.DictReader(f) if r["program"].startswith("pi_")]
            with open(os.path.join(d, "grades.csv")) as f:
                grades = {r["program"]: r for r in csv.DictReader(f)}
            with open(os.path.join(d, "grades", "pi_lost", "results.json")) as f:
                lost = json.load(f)
        checks = {}
        for r in rows:
            checks.setdefault(r["program"], []).append((r["threads"], r["problem_size"], r["check"], r["note"]))
        self.assertEqual(sorted(checks), sorted(os.path.splitext(n)[0] for n in os.listdir(CLASS)))
        racy = f"pi_racy.cpp:{racy_line()}"
        tools, _ = races.find_tools()
        wrong = {"pi_lost": "pi = ", "pi_crash": "SIGSEGV", "pi_hang": "limit",
                 "pi_broken": "does not compile: pi_broken.cpp:16:", "pi_racy": racy if tools else ""}
        for name, found in checks.items():
            with self.subTest(name):
                # The row's other notes (a speedup a little above its team on a busy machine) may come first.
                self.assertTrue(all("built with " in note for *_, note in found), found)
                if name in CORRECT:
                    self.assertLessEqual({"1", "2"}, {threads for threads, *_ in found}, found)
                    self.assertTrue(all(not check.startswith("FAIL") for _, _, check, _ in found), found)
                elif name != "pi_racy" or tools:
                    self.assertTrue(all(check.startswith("FAIL") and wrong[name] in check for _, _, check, _ in found),
                                    found)
                else:  # without the race tools nothing catches a race that rarely shows: the note says why
                    self.assertTrue(all("race check skipped: " in note for *_, note in found), found)
        self.assertRegex(checks["pi_atomic"][0][3], r"1 warning, the first: pi_atomic\.c:\d+:\d+: warning: ")
        # The grades beside the page: every correct program's correctness points, each wrong one's reason.
        correct = {name for name, g in grades.items() if g["correct"] != "0"}
        self.assertTrue(set(CORRECT) <= correct <= set(CORRECT) | {"pi_racy"}, correct)  # a race may show, or not
        self.assertRegex(lost["tests"][1]["output"],
                         r"^at N = 997: pi = 3\.13758070232611\d: 1 interval lost \(the first\)$")
        self.assertEqual((lost["score"], grades["pi_broken"]["total"]), (sum(t["score"] for t in lost["tests"]), "0"))
        self.assertEqual(grades["pi_racy"]["race_free"] == "0", bool(tools))
        for name in CORRECT:  # one line each for the build and the race check, or one for both as before
            self.assertRegex(proc.stderr.replace("\n    ", " "), rf"(?m)^{name}: (built from .*\n{name}: race check: "
                                          rf"{'no race' if tools else 'skipped'}|.* unchanged since it was built"
                                          rf"{'; race check [(]as before[)]: no race' if tools else ''}$)")


class RaceCheck(unittest.TestCase):
    """In the race-check tree: the race check that runsuite gives every source reports the racy
    student program at its line and none of the correct ones, as race_control.py does for the
    suite's own checker."""

    def test_class_folder(self):
        tools, missing = races.find_tools()
        if tools is None:
            self.fail(f"the race check's tools are missing: {races.skipped_for_packages(missing)}")
        with tempfile.TemporaryDirectory() as d:
            for name in ("pi_racy.cpp", *(f"{n}.c" if n in ("pi_atomic", "pi_cyclic") else f"{n}.cpp" for n in CORRECT)):
                with self.subTest(name):
                    race, detail = races.check(os.path.join(CLASS, name), C.PI, d, os.path.splitext(name)[0], tools)
                    if name == "pi_racy.cpp":
                        self.assertIs(race, C.Race.FOUND, detail)
                        self.assertTrue(detail and all(f"pi_racy.cpp:{racy_line()} (" in line for line in detail), detail)
                    else:
                        self.assertEqual((race, detail), (C.Race.FREE, ()))


if __name__ == "__main__":
    unittest.main()

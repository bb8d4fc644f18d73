"""A teacher's class folder (tests/class: student pi programs, five right and five wrong in their
own ways) run beside the suite's programs in one ./runsuite; and, in the race-check tree, the race
check of every source in it."""
import csv
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.measure import races  # noqa: E402
from ompsuite.platform import sandbox  # noqa: E402

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
            free = "no race [(]clang.*, N = 1000 and [0-9]+, 2 and 4 threads[)]"
            self.assertRegex(proc.stderr.replace("\n    ", " "), rf"(?m)^{name}: (built from .*\n{name}: race check: "
                                          rf"{free if tools else 'skipped'}"
                                          rf"|.* unchanged since it was built"
                                          rf"{'; race check [(]as before[)]: no race' if tools else ''}$)")


HONEST = r"""
#include <omp.h>
#include <stdio.h>
#include <stdlib.h>
static double pi(long n) {
  double step = 1.0 / n, sum = 0.0;
#pragma omp parallel for reduction(+ : sum)
  for (long i = 0; i < n; i++) { double x = (i + 0.5) * step; sum += 4.0 / (1.0 + x * x); }
  return step * sum;
}
static void report(double value, long n, double t) { printf("pi = %.15f, N = %9ld, time = %.8f secs\n", value, n, t); }
"""
# Each hostile program: its source (after HONEST) and what its rows' checks must say (None: it passes).
HOSTILE = {
    # Tries to replace the baseline and itself, write in the home and class folders, stop and end the
    # tool, and leave a chain of processes in sessions of their own; then computes honestly.
    "tamper.c": (r"""#include <signal.h>
#include <unistd.h>
int main(int argc, char **argv) {
  const char *targets[] = {getenv("TAMPER_BASELINE"), getenv("TAMPER_HOME"), getenv("TAMPER_CLASS"), argv[0]};
  for (int i = 0; i < 4; i++) { FILE *f = fopen(targets[i], "w"); if (f) { fputs("#!/bin/sh\n", f); fclose(f); } }
  if (fork() == 0) {
    for (int depth = 0; depth < 30 && fork() == 0; depth++) setsid();
    execlp("sleep", "sleep", getenv("TAMPER_MARK"), (char *)0);
    _exit(1);
  }
  kill(getppid(), SIGTERM); kill(getppid(), SIGSTOP);
  long n = atol(argv[1]); double t = omp_get_wtime(); double value = pi(n); report(value, n, omp_get_wtime() - t);
}""", None),
    "rt.c": ("#include <signal.h>\nint main(void) { raise(SIGRTMIN + 2); }", "killed by SIGRTMIN+2"),
    # Racy only above the size a fixed check would use.
    "late_racy.c": (r"""int main(int argc, char **argv) {
  long n = atol(argv[1]); double step = 1.0 / n, sum = 0.0;
#pragma omp parallel for
  for (long i = 0; i < n; i++) {
    double x = (i + 0.5) * step;
    if (n > 1000) sum += 4.0 / (1.0 + x * x); /* RACE */
    else {
#pragma omp atomic
      sum += 4.0 / (1.0 + x * x);
    }
  }
  report(step * sum, n, 1e-6);
}""", "data race: late_racy.c:"),
    # Honest up to N = 20000, a constant above.
    "constant.c": (r"""int main(int argc, char **argv) {
  long n = atol(argv[1]); report(n <= 20000 ? pi(n) : 3.141592653589793, n, 1e-6);
}""", "of the serial"),
    "conflict.c": (r"""int main(int argc, char **argv) {
  long n = atol(argv[1]); report(pi(n), n, 1e-6); report(3.0, n, 1e-6);
}""", "different results"),
}


@unittest.skipIf(sandbox.unavailable(), f"no sandbox here: {sandbox.unavailable()}")
class HostileClass(unittest.TestCase):
    """Students' programs that attack the tools, each in a class folder run with one ./runsuite:
    every one fails alone with its reason, the tool ends normally with every table written, and
    the suite's programs, the home and class folders and the process table are as they were."""

    def test_each_fails_alone_and_nothing_reaches_the_rest(self):
        with tempfile.TemporaryDirectory() as d:
            tree, klass, home = (os.path.join(d, n) for n in ("tree", "class", "home"))
            release = os.path.dirname(os.environ["SUITE_BIN"])
            shutil.copytree(os.environ["SUITE_BIN"], os.path.join(tree, "bin"))
            for name in ("variant-build.json", "host-cpu.txt"):
                if os.path.exists(os.path.join(release, name)):
                    shutil.copy(os.path.join(release, name), tree)
            os.makedirs(home)
            os.makedirs(klass)
            for name, (code, _) in HOSTILE.items():
                with open(os.path.join(klass, name), "w") as f:
                    f.write(HONEST + code + "\n")
            with open(os.path.join(klass, "notelf"), "w") as f:
                f.write("no program at all\n")
            with open("/bin/true", "rb") as f, open(os.path.join(klass, "truncated"), "wb") as out:
                out.write(f.read(200))
            for name in ("notelf", "truncated"):
                os.chmod(os.path.join(klass, name), 0o755)
            os.symlink("/etc/passwd", os.path.join(klass, "leak.c"))
            os.symlink(shutil.which("touch"), os.path.join(klass, "run_touch"))
            baseline = os.path.join(tree, "bin", "quadplain")
            with open(baseline, "rb") as f:
                before = f.read()
            mark = f"{4000 + os.getpid() % 1000}.{os.getpid()}"
            table = os.path.join(d, "summary.csv")
            env = dict(os.environ, OMP_NUM_THREADS="2", HOME=home, TAMPER_BASELINE=baseline, TAMPER_MARK=mark,
                       TAMPER_HOME=os.path.join(home, "tamper-home"), TAMPER_CLASS=os.path.join(klass, "tamper"))
            for name in ("OMP_PROC_BIND", "OMP_PLACES"):
                env.pop(name, None)
            proc = subprocess.run(
                [sys.executable, os.path.join(ROOT, "runsuite"), "--programs", klass, "--pi-n", "1e5",
                 "--recurrence-n", "1e6", "--recurrence-bin", os.path.join(os.environ["SUITE_TEST_BIN"], "n1000000"),
                 "--bin", os.path.join(tree, "bin"), "--repeats", "1", "--run-timeout", "20", "--threads", "2",
                 "--no-calibrate", "--no-warmup", "--csv", table, *UNDISTURBED],
                env=env, capture_output=True, text=True, timeout=300)
            said = f"\nstdout:\n{proc.stdout}\nstderr:\n{proc.stderr}"
            self.assertEqual(proc.returncode, 1, said)
            self.assertNotIn("Traceback", proc.stderr)
            with open(table) as f:
                checks = {}
                for r in csv.DictReader(f):
                    checks.setdefault(r["program"], set()).add(r["check"])
            with open(baseline, "rb") as f:
                self.assertEqual(f.read(), before, "the baseline was changed")
            self.assertEqual(sorted(os.listdir(home)), [])
            self.assertEqual(sorted(os.listdir(klass)),
                             sorted([*HOSTILE, "notelf", "truncated", "leak.c", "run_touch"]))
            leftover = [p for p in os.listdir("/proc") if p.isdigit() and mark in _cmdline(p)]
            self.assertEqual(leftover, [], "processes outlived the run")
        for name, (_, why) in HOSTILE.items():
            with self.subTest(name):
                found = checks[os.path.splitext(name)[0]]
                if why is None:
                    # right: ok, or a figure a busy machine made no result of
                    self.assertTrue(all(re.match(r"(?:ok|impossible: .*)\Z", c) for c in found), (found, said))
                else:
                    self.assertTrue(all(c.startswith("FAIL") and why in c for c in found), (found, said))
        for name in ("notelf", "truncated"):
            self.assertTrue(all(c.startswith("FAIL") and "cannot be started" in c for c in checks[name]), checks[name])
        self.assertNotIn("leak", checks)
        self.assertNotIn("run_touch", checks)
        self.assertEqual(checks["quadplain"], {"ok"})


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""


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
                    race, detail = races.check(os.path.join(CLASS, name), C.PI, d, os.path.splitext(name)[0], tools,
                                               sizes=(races.RACE_N, 30011))
                    if name == "pi_racy.cpp":
                        self.assertIs(race, C.Race.FOUND, detail)
                        self.assertTrue(detail and all(f"pi_racy.cpp:{racy_line()} (" in line for line in detail), detail)
                    else:  # said with how it was checked
                        self.assertEqual((race, detail), (C.Race.FREE, (f"{races.CLANG}, N = 1000 and 30011, 2 and 4 "
                                                                        "threads",)))


if __name__ == "__main__":
    unittest.main()

"""The run command and the scaling study, on the built programs at small sizes, and on fake
programs that print wrong results, fail part way or get interrupted."""
import csv
import hashlib
import json
import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from ompsuite.export import benchjson  # noqa: E402  what the micro-benchmark library's tools read
from ompsuite.analyse.derive import study_of_journal  # noqa: E402
from ompsuite.study import Series, load, read_journal  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SMALL_N = 1000000
PROGRAMS = ("quadplain", "quadguard", "quadmerge", "growplain", "growsplit", "teamtally")


# These tests check what the tools write, not how quiet this machine is: nothing they run is
# marked disturbed (the rules have unit tests of their own).
UNDISTURBED = ["--disturbed-load", "4096", "--disturbed-steal", "4096", "--disturbed-lost", "4096"]


def tool(name, args, **kw):
    if name != "compare" and "--help" not in args:
        args = [*args, *UNDISTURBED]
    env = dict(os.environ, OMP_NUM_THREADS="2")
    env.pop("OMP_PROC_BIND", None)
    env.pop("OMP_PLACES", None)
    proc = subprocess.run([sys.executable, os.path.join(ROOT, name), *args], env=env, capture_output=True,
                          text=True, timeout=120, **kw)
    proc.stderr = proc.stderr.replace("\n    ", " ")  # lines wrapped to 100 columns, read whole
    return proc


def small(n=SMALL_N):
    return ["--recurrence-n", str(SMALL_N), "--recurrence-bin", os.path.join(os.environ["SUITE_TEST_BIN"], f"n{n}")]


def fake_bin(folder, name, script):
    """A folder of the real programs in which NAME is a shell script; $REAL is the real one and
    $CALLS counts its calls (the team probe counts too)."""
    for prog in PROGRAMS[:3] + PROGRAMS[5:]:
        os.symlink(os.path.join(os.environ["SUITE_BIN"], prog), os.path.join(folder, prog))
    os.remove(os.path.join(folder, name))
    with open(os.path.join(folder, name), "w") as f:
        f.write(f'#!/bin/sh\nREAL={os.environ["SUITE_BIN"]}/{name}\nCALLS={folder}/calls\n'
                'n=$(($(cat "$CALLS" 2>/dev/null || echo 0) + 1)); echo $n > "$CALLS"\n' + script)
    os.chmod(os.path.join(folder, name), 0o755)
    return folder


LIBRARY_COMPARE = "/usr/share/benchmark/compare.py"


def compare_script_or_skip(test):
    """Whether Debian's compare.py (libbenchmark-tools, with python3-scipy) can run; CI must have it."""
    have = os.path.exists(LIBRARY_COMPARE) and subprocess.run(
        ["/usr/bin/python3", "-c", "import scipy, numpy"], capture_output=True).returncode == 0
    if not have and os.environ.get("CI") == "true":
        test.fail("CI lacks libbenchmark-tools or python3-scipy (.ci/run installs them)")
    return have


# Every check passed: 0, or 3 where the busy machine left a figure that is no result (a speedup
# above its team at these small sizes, a calibration slowed meanwhile). 1 is a failed check.
CHECKED = (0, 3)
# A check column whose result was right: ok, or a figure the busy machine made no result of.
RIGHT = r"\A(?:ok|impossible: .*)\Z"


def facts_of(out):
    with open(os.path.join(out, "machine.csv")) as f:
        return dict(csv.reader(f))


def rows_of(path):
    with open(path) as f:
        return list(csv.DictReader(f))


class RunSuite(unittest.TestCase):
    def test_outputs_and_table(self):
        with tempfile.TemporaryDirectory() as d:
            proc = tool("runsuite", ["--pi-n", "1e6", "--repeats", "3", "--bin", os.environ["SUITE_BIN"],
                                     "--no-calibrate", "--precision", "off", "--csv", os.path.join(d, "s.csv"),
                                     "--markdown", os.path.join(d, "s.md"), "--json", os.path.join(d, "s.json"),
                                     "--report", os.path.join(d, "s.html"), *small()])
            self.assertIn(proc.returncode, CHECKED, proc.stderr)
            summary = {r["program"]: r for r in rows_of(os.path.join(d, "s.csv"))}
            with open(os.path.join(d, "s.html"), encoding="utf-8") as f:
                page = f.read()
            runs = benchjson.read_study(os.path.join(d, "s.json")).runs  # the runtime's default team
            self.assertEqual({(r.program, r.threads, r.threads_requested) for r in runs
                              if r.series is Series.STRONG and r.program == "quadguard"}, {("quadguard", 2, None)})
            with open(os.path.join(d, "s.md")) as f:
                md = f.read()
        out = proc.stdout
        for name in PROGRAMS:
            self.assertRegex(out, rf"(?m)^== {name}: ")
        self.assertRegex(out, r"(?m)^pi = \d\.\d{15}, N =   1000000, time = ")
        self.assertIn("teamtally: 2 threads, total 4.999995e+11: ok", out)
        # The terminal table: one row per timed program, every line of the summary within 100 columns.
        summary_lines = out[out.index("\nSummary:"):].splitlines()[1:]
        self.assertLessEqual(max(len(line) for line in summary_lines), 100, "\n".join(summary_lines))
        rows = {m.group(1): m.groups() for m in re.finditer(
            r"(?m)^(\w+) +(\d+) +(1e6) +([\d.]+ (?:s|ms|µs)) +(?:none \(n=\d\)|[\d.]+–[\d.]+) +(\d+\.\d\d) .* (?:ok|impossible)"
            r"(?: \[[\d-]+\])?$",
            out)}
        self.assertEqual(sorted(rows), sorted(PROGRAMS[:5]), out)
        self.assertEqual(rows["quadguard"][1], "2")
        self.assertEqual([summary[p]["runs"] for p in PROGRAMS[:5]], ["3", "3", "3", "1", "1"])
        for p in PROGRAMS[:5]:  # the terminal, the CSV, the Markdown and the page show one figure
            self.assertEqual(rows[p][4], "%.2f" % float(summary[p]["speedup"]))
            self.assertIn(f"| {p} | {rows[p][1]} | 1e6 | {summary[p]['runs']} | {rows[p][3]} |", md)
            self.assertRegex(page, f'<td class="l">{p}</td><td class="r">{rows[p][1]}</td><td class="r">1e6</td>'
                                   f'<td class="l state">.*?</td><td class="r">{summary[p]["runs"]}</td>'
                                   f'<td class="r">{rows[p][3]}</td>')
        self.assertIn("the recurrence programs ran once each", out)
        self.assertIn("OMP_PROC_BIND=close", out)

    def test_variants(self):
        # A user's own programs beside the suite's: the kind read from its output or given, its
        # check like its kind's, its speedup over the kind's serial baseline.
        variants = os.path.join(os.environ["SUITE_TEST_BIN"], "variants")
        with tempfile.TemporaryDirectory() as d:
            proc = tool("runsuite", ["--pi-n", "1e5", "--repeats", "2", "--bin", os.environ["SUITE_BIN"],
                                     "--no-calibrate", "--csv", os.path.join(d, "s.csv"), *small(),
                                     "--program", f"atomic={variants}/quadatomic",
                                     "--program", f"lossy={variants}/quadatomic_lossy:pi"])
            self.assertEqual(proc.returncode, 1, proc.stderr)
            summary = {r["program"]: r for r in rows_of(os.path.join(d, "s.csv"))}
        self.assertRegex(summary["atomic"]["check"], RIGHT)
        self.assertEqual(summary["atomic"]["threads"], "2")
        self.assertTrue(summary["atomic"]["speedup"])
        self.assertRegex(summary["lossy"]["check"], r"^FAIL: 2 of 2 runs: pi = 3\.14\d+ is not within")
        self.assertRegex(proc.stderr, r"(?m)^check failed: lossy threads=2 N=100000 \(2 runs\): FAIL")
        self.assertRegex(proc.stdout, r"(?m)^lossy +2 +1e5 .* FAIL \[[-\d]+\]$")
        # One lost interval at N = 1e8 is within the rounding bounds (2.6e-8 from pi, of 4.4e-8 allowed;
        # from the serial pi, of 8.9e-8), so only the untimed runs at the small check sizes can see
        # it; the timed row fails with them.
        with tempfile.TemporaryDirectory() as d:
            proc = tool("runsuite", ["--pi-n", "1e8", "--repeats", "1", "--threads", "2", "--bin",
                                     os.environ["SUITE_BIN"], "--no-calibrate", "--csv", os.path.join(d, "s.csv"),
                                     *small(), "--program", f"lossy={variants}/quadatomic_lossy:pi"])
            summary = {r["program"]: r for r in rows_of(os.path.join(d, "s.csv"))}
        self.assertEqual(proc.returncode, 1, proc.stderr)
        self.assertRegex(summary["quadguard"]["check"], RIGHT)
        self.assertRegex(summary["lossy"]["check"], r"^FAIL: 1 of 1 runs: failed the check at N = 997: pi = ")
        for given, message in ((f"x={variants}/nothing", "has no program nothing"),
                              ("x=/etc/passwd", "has passwd, but it is not executable"),
                              ("quadplain=/bin/true", "that name is taken"),
                              ("x=/bin/true:fft", "unknown kind 'fft': the kinds are pi, recurrence"),
                              ("x=/bin/true:team", "kind 'team' is not one of pi, recurrence"),
                              ("1x=/bin/true", "NAME must be a letter")):
            with self.subTest(given=given):
                proc = tool("runsuite", ["--program", given, "--bin", os.environ["SUITE_BIN"], *small()])
                self.assertEqual(proc.returncode, 2, proc.stderr)
                self.assertRegex(proc.stderr, rf"\A(?:.*\n)*runsuite: (?:error: )?--program .*{message}.*\n\Z")

    def test_checks_and_failures(self):
        with tempfile.TemporaryDirectory() as d:
            # A wrong pi is caught after the run has finished, with status 1, as the last word.
            wrong = fake_bin(os.path.join(d, "wrong") if os.mkdir(os.path.join(d, "wrong")) is None else "",
                             "quadmerge", 'echo "pi = 3.200000000000000, N = $(printf %9d "$1"), time = 0.01 secs"\n')
            proc = tool("runsuite", ["--pi-n", "1000", "--repeats", "2", "--bin", wrong, "--no-calibrate", *small()])
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertRegex(proc.stderr, r"(?m)^check failed: quadmerge .*: FAIL: pi = 3\.2")
            self.assertIn("== teamtally", proc.stdout)
            # A program killed by a signal is named by the signal, and the tool exits 128 + its number.
            os.mkdir(os.path.join(d, "killed"))
            killed = fake_bin(os.path.join(d, "killed"), "quadguard", 'kill -SEGV $$\n')
            proc = tool("runsuite", ["--pi-n", "1000", "--bin", killed, "--no-calibrate", *small()])
            self.assertEqual(proc.returncode, 128 + signal.SIGSEGV, proc.stderr)
            self.assertIn("quadguard was killed by SIGSEGV", proc.stderr.splitlines()[-1])
            self.assertNotIn("Traceback", proc.stderr)

    def test_bad_options(self):
        for args, message in ((["--pi-n", "abc"], "not a whole number"), (["--pi-n", "0"], "must be at least 1"),
                              (["--pi-n", "3000000000"], "must be at most 2147483647"),
                              (["--repeats", "-4"], "must be at least 1"),
                              (["--recurrence-bin", "/tmp"], "needs --recurrence-n"), (["--what"], "unrecognized")):
            with self.subTest(args=args):
                proc = tool("runsuite", args)
                self.assertEqual(proc.returncode, 2)
                self.assertRegex(proc.stderr, rf"\Arunsuite: .*{message}.* \(see runsuite --help\)\n\Z")


class Scaling(unittest.TestCase):
    def study(self, out, *args, bindir=None, **kw):
        calibration = [] if "--calibration" in args else ["--no-calibrate"]
        return tool("scaling", ["--threads", "1,2", "--repeats", "1", "--pi-n", "1e6", "--out", out,
                                "--bin", bindir or os.environ["SUITE_BIN"], *calibration, *small(), *args], **kw)

    def test_study(self):
        with tempfile.TemporaryDirectory() as out:
            variant = os.path.join(os.environ["SUITE_TEST_BIN"], "variants", "quadatomic")
            proc = self.study(out, "--repeats", "2", "--program", f"atomic={variant}:pi")
            self.assertIn(proc.returncode, CHECKED, proc.stderr)
            rows = rows_of(os.path.join(out, "runs.csv"))
            self.assertEqual(list(rows[0])[:13], ["series", "program", "threads_requested", "threads", "problem_size",
                                                  "size_note", "repeat", "time_s", "result", "check_value", "check",
                                                  "disturbed", "started"])
            # The kernel splits a short run's CPU time between user and system by its ticks: the sum is exact.
            self.assertTrue(all(float(r["user_s"]) + float(r["system_s"]) > 0 for r in rows
                                if r["problem_size"] == "1000000"), "every run's own CPU time is recorded")
            got = sorted((r["program"], int(r["threads"])) for r in rows if r["repeat"] == "1" and r["series"] == "strong")
            self.assertEqual(got, [("atomic", 1), ("atomic", 2), ("growplain", 1), ("growsplit", 1), ("growsplit", 2),
                                   ("quadguard", 1),
                                   ("quadguard", 2), ("quadmerge", 1), ("quadmerge", 2), ("quadplain", 1)])
            self.assertEqual({r["check"] for r in rows}, {"ok"})
            facts = facts_of(out)
            for key in ("schema", "host", "processor", "cores", "compiler", "binding", "pi_n", "recurrence_n",
                        "suite_version", "suite_commit", "tools_version"):
                self.assertTrue(facts.get(key), key)
            # Where the programs came from, in results.json too: the variant by its digest.
            with open(variant, "rb") as f:
                digest = f"atomic={hashlib.sha256(f.read()).hexdigest()}"
            with open(os.path.join(out, "results.json")) as f:
                self.assertEqual(json.load(f)["context"]["ompsuite_machine"]["variant_digests"], digest)
            self.assertIn("OMP_PROC_BIND=close", facts["binding"])
            self.assertRegex(facts["placement_quadguard_2"], r"^0:\{.+\} 1:\{.+\}$")
            summary = rows_of(os.path.join(out, "summary.csv"))
            self.assertEqual([(r["program"], r["threads"]) for r in summary],
                             [("quadplain", "1"), ("quadguard", "1"), ("quadguard", "2"), ("quadmerge", "1"),
                              ("quadmerge", "2"), ("atomic", "1"), ("atomic", "2"), ("growplain", "1"),
                              ("growsplit", "1"), ("growsplit", "2")])
            one = {r["program"]: r for r in summary if r["threads"] == "1"}
            self.assertEqual(one["quadguard"]["units_from_serial"], "0")  # one thread prints the serial pi
            two = next(r for r in summary if r["program"] == "quadmerge" and r["threads"] == "2")
            self.assertAlmostEqual(float(two["karp_flatt"]),
                                   (1 / float(two["speedup"]) - 0.5) / 0.5, places=6)
            if "no plots: matplotlib is not installed" not in proc.stderr:
                with open(os.path.join(out, "speedup.png"), "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
                self.assertTrue(os.path.exists(os.path.join(out, "speedup.svg")))
            elif os.environ.get("CI") == "true":
                self.fail("CI lacks python3-matplotlib (.ci/run installs it)")
            # The study itself, loaded as compare loads it: every run the CSV view holds.
            self.assertEqual(len(load(os.path.join(out, "study.json")).runs), len(rows))
            # The machine as hwloc records it, and the runs as the micro-benchmark library's compare.py reads them.
            self.assertEqual(os.path.exists(os.path.join(out, "topology.xml")), facts["topology_source"] == "hwloc")
            self.assertRegex(facts["cores_physical"], r"^\d+$")
            if compare_script_or_skip(self):
                cmd = ["/usr/bin/python3", LIBRARY_COMPARE, "--no-color", "filters", os.path.join(out, "results.json"),
                       "quadplain/threads:1/", "quadguard/threads:2/"]
                lines = subprocess.run(cmd, capture_output=True, text=True, timeout=120).stdout.splitlines()
                pair = "[quadplain/threads:1/ vs. quadguard/threads:2/]N:1000000/series:strong"
                clean = [sum((r["series"], r["program"], r["threads_requested"]) == ("strong", p, t) and r["check"] == "ok"
                             and not r["disturbed"] for r in rows) for p, t in (("quadplain", "1"), ("quadguard", "2"))]
                self.assertEqual(sum(line.startswith(pair + " ") for line in lines), min(clean), lines)  # clean runs, paired
                self.assertTrue(any(pair + "_pvalue" in line and "U Test" in line for line in lines), lines)

    def test_users_binding_kept(self):
        with tempfile.TemporaryDirectory() as out:
            env = dict(os.environ, OMP_PROC_BIND="spread", OMP_PLACES="threads")
            proc = subprocess.run([sys.executable, os.path.join(ROOT, "scaling"), "--threads", "2", "--repeats", "1",
                                   "--pi-n", "1000", "--out", out, "--bin", os.environ["SUITE_BIN"], "--no-calibrate", *small()],
                                  env=env, capture_output=True, text=True, timeout=300)
            self.assertIn(proc.returncode, CHECKED, proc.stderr)
            facts = facts_of(out)
            self.assertIn("OMP_PLACES=threads OMP_PROC_BIND=spread (the user's own)", facts["binding"])

    def test_recurrence_built_for_another_n(self):
        with tempfile.TemporaryDirectory() as out:
            proc = self.study(out, "--recurrence-bin", os.path.join(os.environ["SUITE_TEST_BIN"], "n1000"))
            self.assertEqual(proc.returncode, 1, proc.stderr)
            self.assertRegex(proc.stderr, r"(?m)^check failed: growplain .*programs built for another N\?")
            checks = {r["program"]: r["check"] for r in rows_of(os.path.join(out, "runs.csv"))}
            self.assertRegex(checks["quadmerge"], RIGHT)
            self.assertTrue(checks["growplain"].startswith("FAIL: final value"), checks)

    def test_failure_part_way_keeps_rows(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "out")
            bindir = fake_bin(d, "quadmerge", '[ $n -eq 3 ] && { echo "disk on fire" >&2; exit 7; }\nexec $REAL "$@"\n')
            proc = self.study(out, "--repeats", "3", bindir=bindir)
            self.assertEqual(proc.returncode, 7)
            last = proc.stderr.splitlines()[-1]
            self.assertRegex(last, rf"^scaling: quadmerge failed with status 7: disk on fire; (\d+) of 33 runs saved "
                                   rf"in {re.escape(out)}$")
            saved = int(re.search(r"(\d+) of 33", last).group(1))
            rows = rows_of(os.path.join(out, "runs.csv"))
            self.assertEqual(len(rows), saved)
            self.assertGreater(saved, 0)
            self.assertTrue(os.path.exists(os.path.join(out, "summary.md")))

    def test_interrupted_keeps_rows(self):
        with tempfile.TemporaryDirectory() as d:
            out = os.path.join(d, "out")
            bindir = fake_bin(d, "quadmerge", f'[ $n -eq 3 ] && {{ touch {d}/waiting; sleep 60; }}\nexec $REAL "$@"\n')
            env = dict(os.environ, OMP_NUM_THREADS="2")
            proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "scaling"), "--threads", "1,2", "--repeats", "3",
                                     "--pi-n", "1e5", "--out", out, "--bin", bindir, "--no-calibrate", *small()], env=env,
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
            deadline = time.time() + 120
            while not os.path.exists(os.path.join(d, "waiting")) and time.time() < deadline:
                time.sleep(0.05)
            os.killpg(proc.pid, signal.SIGINT)  # as Ctrl-C does: the whole foreground group
            _, err = proc.communicate(timeout=60)
            self.assertEqual(proc.returncode, 128 + signal.SIGINT, err)
            self.assertNotIn("Traceback", err)
            self.assertRegex(err.splitlines()[-1], rf"^scaling: interrupted by SIGINT; \d+ of 33 runs saved in ")
            saved = int(re.search(r"(\d+) of 33", err.splitlines()[-1]).group(1))
            self.assertEqual(len(rows_of(os.path.join(out, "runs.csv"))), saved)
            self.assertGreater(saved, 0)

    def test_killed_study_resumes(self):
        """kill -9 part way, then --resume: the study is the journal's runs and then the rest of the
        plan's, none run twice; its figures are those of the runs its journal holds. A journal of
        another machine is refused in one line."""
        with tempfile.TemporaryDirectory() as d:
            out, journal = os.path.join(d, "out"), os.path.join(d, "out", "runs.jsonl")
            bindir = fake_bin(d, "quadmerge", f'[ $n -eq 5 ] && {{ touch {d}/waiting; sleep 60; }}\nexec $REAL "$@"\n')
            args = ["--threads", "1,2", "--repeats", "3", "--pi-n", "1e5", "--bin", bindir, "--no-calibrate",
                    "--precision", "off", *small(), *UNDISTURBED]
            proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "scaling"), *args, "--out", out],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, start_new_session=True)
            deadline = time.time() + 120
            while not os.path.exists(os.path.join(d, "waiting")) and time.time() < deadline:
                time.sleep(0.05)
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
            before = read_journal(journal).runs
            self.assertGreater(len(before), 0)
            self.assertFalse(os.path.exists(os.path.join(out, "study.json")))
            resumed = tool("scaling", [*args, "--resume", out])
            self.assertIn(resumed.returncode, CHECKED, resumed.stderr)
            after, study = read_journal(journal), load(os.path.join(out, "study.json"))
            self.assertEqual(after.runs[:len(before)], before)
            self.assertEqual(study.runs, after.runs)
            self.assertEqual(len({(r.config, r.repeat) for r in study.runs}), len(study.runs), "a run made twice")
            self.assertEqual(len(study.runs), 33)
            self.assertEqual(study.summaries, study_of_journal(journal).summaries)
            with open(journal) as f:
                lines = f.read().split("\n")
            lines[0] = lines[0].replace('["cpus", "', '["cpus", "9')
            with open(journal, "w") as f:
                f.write("\n".join(lines))
            refused = subprocess.run([sys.executable, os.path.join(ROOT, "scaling"), "--resume", out],
                                     capture_output=True, text=True, timeout=120)
            self.assertEqual(refused.returncode, 2)
            self.assertRegex(refused.stderr.splitlines()[-1],
                             rf"^scaling: {re.escape(journal)} was made on another machine \(cpus 9\d+ there, \d+ here\)$")

    def test_sweep_weak_and_model(self):
        with tempfile.TemporaryDirectory() as d:
            out, cal = os.path.join(d, "out"), os.path.join(d, "calibration.csv")
            with open(cal, "w") as f:  # figures far below any real run's, except a costly region start
                f.write("figure,threads,median,low95,high95,unit,note\n" + "".join(
                    f"{fig},{t},{v},,,s,\n" for fig, v in (("add_latency", 1e-11), ("mul_latency", 1e-11),
                                                          ("first_touch", 1e-4), ("write_touched", 1e-4),
                                                          ("critical", 0), ("static_loop", 0), ("reduction", 0),
                                                          ("first_region", 1e-3)) for t in (1, 2)))
            # quadmerge prints its real lines with an impossible time: the model must flag it.
            bindir = fake_bin(d, "quadmerge", '"$REAL" "$@" | sed "s/time = [0-9.]*/time = 0.00000001/"\n')
            proc = self.study(out, "--sweep", "1e5", "--weak", "1000", "--calibration", cal, bindir=bindir)
            # Too fast for the floor and for its team: no result, said as such, and no failed check.
            self.assertEqual(proc.returncode, 3, proc.stderr)
            self.assertNotIn("check failed", proc.stderr)
            self.assertRegex(proc.stderr, r"untrusted: \d+ of \d+ speedups are above their team")
            summary = rows_of(os.path.join(out, "summary.csv"))
            merge = [r for r in summary if r["program"] == "quadmerge" and r["series"] == "strong"]
            self.assertTrue(merge and all(r["check"].startswith("impossible: ") for r in merge), merge)
            sweep = {(r["program"], r["threads"], r["problem_size"]): r for r in summary if r["series"] == "sweep"}
            self.assertEqual(len(sweep), 3 * 5)  # quadplain and two programs at 1 and 2 threads, N = 1e3 .. 1e5
            self.assertEqual(sweep[("quadguard", "2", "1000")]["bound_by"], "construct overhead")
            self.assertEqual(sweep[("quadplain", "1", "100000")]["bound_by"], "addition latency")
            self.assertTrue(all(re.match(RIGHT, r["check"]) for k, r in sweep.items() if k[0] != "quadmerge"))
            weak = [(r["program"], r["threads"], r["problem_size"]) for r in summary if r["series"] == "weak"]
            self.assertEqual(sorted(weak), [("quadguard", "1", "1000"), ("quadguard", "2", "2000"),
                                            ("quadmerge", "1", "1000"), ("quadmerge", "2", "2000")])
            with open(os.path.join(out, "summary.md")) as f:
                text = f.read()
            self.assertRegex(text, r"- quadguard, 2 threads: beats quadplain by 10% from N = .+ measured, "
                                   r"\d.* predicted")
            for name in ("calibration.csv",) + (
                    ("sweep.png", "weak.png") if "no plots: matplotlib" not in proc.stderr else ()):
                self.assertTrue(os.path.exists(os.path.join(out, name)), name)

    def test_bad_options(self):
        with tempfile.TemporaryDirectory() as existing:
            open(os.path.join(existing, "runs.csv"), "w").close()  # an earlier study is never overwritten
            for args, message in ((["--threads", "0"], "from 1 to 4096"), (["--threads", "1,x"], "comma-separated"),
                                  (["--threads", ""], "comma-separated"), (["--repeats", "-1"], "at least 1"),
                                  (["--pi-n", "1.5"], "not a whole number"), (["--bogus"], "unrecognized"),
                                  (["--out", os.path.join(existing, "runs.csv", "x"), "--bin", "/x"], "as the output folder: a part of the path is not a folder"),
                                  (["--out", existing, "--bin", "/x"], "already holds runs.csv")):
                with self.subTest(args=args):
                    proc = tool("scaling", args)
                    self.assertEqual(proc.returncode, 2, proc.stderr)
                    self.assertRegex(proc.stderr, rf"(?m)^scaling: (error: )?.*{message}")
                    self.assertNotIn("Traceback", proc.stderr)


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

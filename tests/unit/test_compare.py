"""compare on stored studies (fixtures/compare, written by its make.py): reading study.json and the
a results.json, refusing what is not a study in one line, telling studies of one
host apart, the side-by-side tables, the verdicts and their counts at the options' limits."""
import contextlib
import csv
import dataclasses
import io
import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest
from typing import Any, Optional, Sequence, Tuple, Union
from unittest import mock

from ompsuite import catalogue as C
from ompsuite.analyse import derive
from ompsuite.cli import compare
from ompsuite.errors import SuiteError
from ompsuite.export import comparison, plot
from ompsuite.study import FORMAT, JOURNAL, JOURNAL_MARK, Config, Flag, Journal, Mark, Run, Series, Study, dumps, \
    variants_json

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FIXTURES = os.path.join(ROOT, "tests", "unit", "fixtures", "compare")
BEFORE, AFTER, OLD = (os.path.join(FIXTURES, name) for name in ("before", "after", "old"))
CAT = C.Catalogue()


class Temp(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp)

    def put(self, name: str, text: Union[str, bytes, None] = None, source: Optional[str] = None) -> str:
        """A file of this text (or a copy of source) at tmp/name; its folder."""
        path = os.path.join(self.tmp, name)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        if source is not None:
            shutil.copy(source, path)
        else:
            with open(path, "wb") as f:
                f.write(text if isinstance(text, bytes) else (text or "").encode())
        return os.path.dirname(path)


class Reading(Temp):
    def test_a_study_from_its_folder_or_its_file(self) -> None:
        for path in (BEFORE, os.path.join(BEFORE, "study.json")):
            rows = comparison.rows(comparison.read_study(path))
            merge = rows[(Series.STRONG, "quadmerge", 2, None)]
            self.assertEqual((merge.runs, merge.left_out), (7, 1))
            self.assertIn((Series.SWEEP, "quadguard", 2, 1000), rows)  # other series keep their size
            self.assertIsNone(rows[(Series.STRONG, "quadmerge", None, None)].efficiency)
        # A folder holding both is read from its study.json, never from the file it replaces.
        both = self.put("both/study.json", source=os.path.join(BEFORE, "study.json"))
        self.put("both/results.json", source=os.path.join(OLD, "results.json"))
        self.assertEqual(comparison.read_study(both).fact("host"), "lab")

    def test_results_json_of_the_previous_version(self) -> None:
        s = comparison.read_study(OLD)
        self.assertEqual((s.fact("host"), s.completed), ("old-vm", False))
        self.assertEqual(comparison.incomplete(s), "stopped by SIGTERM; 10 of 12 runs saved in out")
        rows = comparison.rows(s)
        self.assertEqual(sorted((k[1], comparison.team(k[2])) for k in rows),
                         [("quadguard", "?"), ("quadmerge", "2"), ("quadplain", "1")])  # no team report
        # The runtime's default team, reported by nobody (asked 0, threads null): a team unknown,
        # whose efficiency is left out rather than divided by zero; the disturbed 9 ms left out.
        guard = rows[(Series.STRONG, "quadguard", None, None)]
        self.assertEqual((guard.runs, guard.median_s, guard.asked, guard.efficiency), (4, 0.0042, (None,), None))
        self.assertAlmostEqual(guard.speedup or 0, 0.0083 / 0.0042)
        merge = rows[(Series.STRONG, "quadmerge", 2, None)]
        self.assertEqual((merge.runs, merge.median_s), (3, 0.00435))  # the failed run enters no figure
        self.assertEqual(merge.check.reason, "1 of 3 runs: pi = 3.2 is not within 4.4e-09 of pi")
        self.assertAlmostEqual(merge.efficiency or 0, 0.0083 / 0.00435 / 2)
        self.assertEqual(len(comparison.samples(s)[(Series.STRONG, "quadguard", None, N)]), 3)

    def test_what_is_not_a_study_is_refused_in_one_line(self) -> None:
        with open(os.path.join(BEFORE, "study.json")) as f:
            good = f.read()
        with open(os.path.join(OLD, "results.json")) as f:
            old = json.load(f)
        fifo = os.path.join(self.put("fifo/x", ""), "study.json")
        os.mkfifo(fifo)
        foreign = dict(old, context={"host_name": "x"})
        mistyped = json.loads(json.dumps(old))
        mistyped["benchmarks"][0]["ompsuite_time_s"] = "fast"

        def median(value: str) -> str:  # the first summary's median_s
            return re.sub(r'"median_s": [^,]*', f'"median_s": {value}', good, count=1)
        cases = (  # (where, what the one line says)
            (os.path.join(self.tmp, "missing"), "is not a study folder: no such folder"),
            (self.put("empty/x", ""), "holds no study.json"),
            (self.put("cut/study.json", good[:len(good) // 2]), "study.json: not JSON"),
            (self.put("nan/study.json", median("NaN")), "NaN is not a number"),
            (self.put("huge/study.json", median("1e999")), "median_s is too large"),
            (self.put("later/study.json", re.sub(r'"format": \d+', '"format": 4', good)), "format 4 is not one this version reads (1, 2, 3)"),
            (self.put("list/study.json", "[]"), "it is not a study"),
            (self.put("bytes/study.json", good.replace("quadplain", "quad\xffplain").encode("latin-1")),
             "not UTF-8"),
            (os.path.dirname(fifo), "not a regular file"),
            (self.put("unknown/study.json", good.replace('"quadplain"', '"quadfake"')),
             "names quadfake, which is neither the suite's nor a variant"),
            (self.put("foreign/results.json", json.dumps(foreign)), "not written by this suite"),
            (self.put("mistyped/results.json", json.dumps(mistyped)), "time_s is 'fast', not a time in seconds"),
            (self.put("bare/study.json", dumps(Study((("host", "lab"),), CAT))), "it holds no results"),
        )
        for path, says in cases:
            with self.subTest(says=says):
                with self.assertRaises(SuiteError) as cm:
                    comparison.read_studies([path])
                self.assertEqual(cm.exception.status, 1)
                self.assertIn(says, str(cm.exception))
                self.assertNotIn("\n", str(cm.exception))
        with self.assertRaisesRegex(SuiteError, "given twice") as cm:
            comparison.read_studies([BEFORE, BEFORE + "/"])
        self.assertEqual(cm.exception.status, 2)

    def test_the_command_refuses_with_one_line_and_writes_nothing(self) -> None:
        out = os.path.join(self.tmp, "out")
        damaged = self.put("damaged/study.json", "{")
        proc = subprocess.run([sys.executable, os.path.join(ROOT, "compare"), "--out", out, BEFORE, damaged],
                              capture_output=True, text=True, timeout=120)
        self.assertEqual(proc.returncode, 1, proc.stderr)  # an input it cannot read
        self.assertRegex(proc.stderr, r"^compare: .*damaged/study\.json: not JSON \([^\n]*\)\n$")
        self.assertFalse(os.path.exists(out))


N = 1000000


def lab(host: str = "lab") -> Study:
    return Study((("host", host),), CAT)


class Labels(Temp):
    def test_one_host_twice_is_told_apart_by_the_shortest_end_of_its_path(self) -> None:
        base = os.path.basename(self.tmp)
        paths = [os.path.join(self.tmp, p) for p in ("out", "a/out", "b/out", "b/in")]
        self.assertEqual(comparison.labels(paths, [lab()] * 4),
                         [f"lab ({base}/out)", "lab (a/out)", "lab (b/out)", "lab (in)"])
        # Another host is named alone; a study without one by its folder.
        self.assertEqual(comparison.labels(paths[1:3], [lab(), lab("other")]), ["lab", "other"])
        self.assertEqual(comparison.labels(paths[1:3], [lab(""), lab("")]), ["a/out", "b/out"])
        # A study's own file stands for its folder; two in one folder are told apart by their names.
        a = os.path.join(self.put("a/out/study.json", "{}"), "study.json")
        b = os.path.join(self.put("b/out/results.json", "{}"), "results.json")
        c = os.path.join(self.put("b/out/study.json", "{}"), "study.json")
        self.assertEqual(comparison.labels([a, os.path.join(self.tmp, "b/out")], [lab()] * 2),
                         ["lab (a/out)", "lab (b/out)"])
        self.assertEqual(comparison.labels([b, c], [lab()] * 2), ["lab (results.json)", "lab (study.json)"])


class Document(Temp):
    def compare(self, *args: str, status: int = 0) -> Tuple[str, str, str, str, Any]:
        out = os.path.join(self.tmp, "out")
        drawn = os.path.join(out, "compare.png")
        stdout, stderr = io.StringIO(), io.StringIO()
        with mock.patch.object(plot, "compare_plot", return_value=[drawn], create=True) as plotted, \
                contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            self.assertEqual(compare.run(compare.parse(["--out", out, *args])), status)
        with open(os.path.join(out, "compare.md")) as f:
            md = f.read()
        for line in (stdout.getvalue() + stderr.getvalue()).splitlines():
            self.assertLessEqual(len(line), 100, line)
        return out, md, stdout.getvalue(), stderr.getvalue().replace("\n    ", " "), plotted

    def test_side_by_side_and_verdicts(self) -> None:
        out, md, stdout, stderr, plotted = self.compare("--aa", BEFORE, AFTER, OLD)
        labels = ["lab (before)", "lab (after)", "old-vm"]
        (folder, studies, names), _ = plotted.call_args
        self.assertEqual((folder, [s.fact("host") for s in studies], names),
                         (out, ["lab", "lab", "old-vm"], labels))
        self.assertIn("| old-vm | AMD EPYC 7B13 | 2 | 23.5 | c++ (Debian 12.2.0-14) 12.2.0 | OMP_PLACES=cores "
                      f"OMP_PROC_BIND=close | 2026-12-09T03:21:44+00:00 | 1000000 | 1000000 (reduced) | 6 | {OLD} |",
                      md)
        # One column per study, each under its own name; each row's state, the reasons under the
        # table, an unknown team shown as such, a configuration a study lacks as a dash.
        self.assertIn("| program | threads | lab (before) median | lab (before) speedup | lab (before) efficiency "
                      "| lab (before) % of floor | lab (before) check | lab (after) median |", md)
        self.assertIn("| quadguard | ? | — | — | — | — | — | — | — | — | — | — | 4.2 ms | 1.98 | n/a | n/a "
                      "| ok |", md)
        self.assertIn("| quadmerge | 2 | 4.329 ms | 1.92 | 0.96 | 95.9 | ok | 3.896 ms | 2.14 | 1.07 | n/a | FAIL "
                      "| 4.35 ms | 1.91 | 0.95 | n/a | FAIL |", md)
        self.assertIn("- quadmerge 2 threads, old-vm: FAIL: 1 of 3 runs: pi = 3.2 is not within 4.4e-09 of pi", md)
        self.assertIn("## Series: sweep\n\n| program | threads | problem size |", md)
        self.assertIn("| strong | quadguard | 2 | 1000000 | 6 / 6 | 1.500 | 1.488–1.511 | 0.00216 | 2% | slower | ok "
                      "|  |", md)
        self.assertIn("| strong | quadmerge | ? | 1000000 | 6 / 6 | 1.000 | 0.993–1.007 | 1 | 2% | ~ | ok |", md)
        # A failed check's times get no verdict, and the reason is said, as is a configuration one lacks.
        self.assertIn("- quadmerge 2 threads N=1e6: FAIL in lab (after): 1 of 7 runs: pi = 3.2 is not", md)
        self.assertIn("- quadguard ? threads N=1e6: not in lab (before)", md)
        # Only configurations with runs enough for significance count; the fills' single runs do not.
        self.assertIn("A/A: 1 of 3 configurations called a change (33% false positives); 4 left out, with too few "
                      "runs to reach significance", md)
        self.assertIn("A/A: 0 of 1 configuration called a change (0% false positives)", md)
        # The terminal: the verdicts, both medians, the reasons numbered, what got none.
        self.assertIn("program            T    N    before     after  ratio  verdict  check\n"
                      "quadplain          1  1e6  8.325 ms  8.325 ms  1.000  ~        ok\n"
                      "quadguard          2  1e6  4.246 ms  6.369 ms  1.500  slower   ok\n", stdout)
        self.assertIn("quadguard (sweep)  2  1e3     21 µs     21 µs  1.000  ~        ok\n", stdout)
        self.assertIn("no verdict: quadmerge 2 threads N=1e6: FAIL in lab (after): 1 of 7 runs: pi = 3.2 is not "
                      "within\n    4.4e-09 of pi\n", stdout)
        self.assertTrue(stdout.endswith(f"written: {out}/compare.md, verdicts.csv, compare.png\n"), stdout)
        self.assertNotIn("| ", stdout)
        self.assertIn("the study in " + AFTER + " did not finish (interrupted by SIGINT)", stderr)
        self.assertNotIn("different problem sizes", stderr)
        with open(os.path.join(out, "verdicts.csv"), newline="") as f:
            found = list(csv.DictReader(f))
        self.assertEqual(list(found[0]), list(comparison.VERDICT_FIELDS))
        self.assertEqual([(r["after"], r["program"], r["threads"], r["verdict"]) for r in found
                          if r["verdict"] != "~"], [("lab (after)", "quadguard", "2", "slower")])
        self.assertEqual(len(found), 8)  # 7 configurations against after, 1 against old-vm

    def test_every_state_and_its_reason_and_the_status_of_a_slower_one(self) -> None:
        before = comparison.read_study(BEFORE)
        marks = {"quadplain": Mark(Flag.UNTRUSTED, "3 of the 6 clean runs asked for are missing"),
                 "growsplit": Mark(Flag.IMPOSSIBLE, "speedup 5.59 on 2 threads is above its team")}
        marked = dataclasses.replace(before, summaries=tuple(
            s.with_mark(marks[s.program]) if s.program in marks and s.series is Series.STRONG else s
            for s in before.summaries))
        path = self.put("marked/study.json", dumps(marked))
        _, md, stdout, _, _ = self.compare(path, AFTER)
        self.assertIn("| growsplit | 2 | 1.212 ms | 5.59 | 2.80 | 342.4 | impossible |", md)
        self.assertIn("- quadplain 1 thread, lab (marked): untrusted: 3 of the 6 clean runs asked for", md)
        self.assertIn("| strong | growsplit | 2 | 1000000 | 1 / 1 | 1.000 | n too small | 1 | 2% | ~ | impossible/ok |",
                      md)
        self.assertRegex(stdout, r"(?m)^quadplain +1 +1e6 .* untrusted/ok \[1\]$")
        self.assertRegex(stdout, r"(?m)^growsplit +2 +1e6 .* impossible/ok \[2\]$")
        self.assertIn("[2] growsplit 2 threads N=1e6, lab (marked): impossible: speedup 5.59 on 2 threads", stdout)
        shutil.rmtree(os.path.join(self.tmp, "out"))
        # quadguard 1.5 times slower: a status of its own where asked for.
        _, _, stdout, _, _ = self.compare("--fail-on", "slower", BEFORE, AFTER, status=compare.SLOWER)
        self.assertIn("slower: 1 of 7 configurations (exit status 4)", stdout)

    def test_a_node_against_its_reference(self) -> None:
        ref = os.path.join(self.tmp, "ref.json")
        stdout, stderr = io.StringIO(), io.StringIO()
        with contextlib.redirect_stdout(stdout), contextlib.redirect_stderr(stderr):
            self.assertEqual(compare.run(compare.parse(["--make-reference", ref, BEFORE, AFTER])), 0)
        self.assertIn("written: " + ref, stdout.getvalue())
        self.assertIn("differ by more than 10% for quadguard 2 threads N=1e6; quadmerge 2", stderr.getvalue())
        made = comparison.read_study(ref)
        # The two studies' clean runs pooled; quadguard's tolerance their spread (1.5), the rest the band.
        tolerance = comparison.tolerances(made)
        self.assertAlmostEqual(tolerance[(Series.STRONG, "quadguard", 2, N)], 0.5, places=3)
        self.assertEqual(tolerance[(Series.STRONG, "quadplain", 1, N)], 0.02)
        self.assertEqual(next(s.runs for s in made.summaries if s.key == (Series.STRONG, "quadplain", 1, N)), 12)
        with self.assertRaises(SuiteError) as cm:
            compare.run(compare.parse(["--make-reference", ref, BEFORE]))
        self.assertEqual(cm.exception.status, 2)
        for value in ("nan", "-0.1", "x"):  # an admin's edit that is no tolerance
            edited = dataclasses.replace(made, machine=tuple((k, value if k.startswith("tolerance strong quadplain")
                                                              else v) for k, v in made.machine))
            with self.assertRaisesRegex(SuiteError, "tolerance strong quadplain 1 1000000 = " + value):
                comparison.tolerances(edited)
        # A reference of before alone: before is within it, after's quadguard is slower.
        ref = os.path.join(self.tmp, "before.json")
        with contextlib.redirect_stdout(io.StringIO()):
            compare.run(compare.parse(["--make-reference", ref, BEFORE]))
        _, _, stdout, _, _ = self.compare("--reference", ref, BEFORE)
        self.assertRegex(stdout, r"(?m)^quadguard +2 +1e6 .* within +ok +2%$")
        shutil.rmtree(os.path.join(self.tmp, "out"))
        _, md, stdout, _, _ = self.compare("--reference", ref, AFTER, status=compare.SLOWER)
        self.assertRegex(stdout, r"(?m)^quadguard +2 +1e6 .* slower +ok +2%$")
        self.assertIn("## lab (after) against reference", md)

    def test_a_machine_value_is_no_spreadsheet_formula(self) -> None:
        before = comparison.read_study(BEFORE)
        for host in ("=HYPERLINK(\"http://x\")", "@SUM(1)", "+1+2"):
            with self.subTest(host=host):
                hostile = dataclasses.replace(before, machine=tuple(
                    (k, host if k == "host" else v) for k, v in before.machine))
                out, _, _, _, _ = self.compare(BEFORE, self.put("f/study.json", dumps(hostile)))
                with open(os.path.join(out, "verdicts.csv"), newline="") as f:
                    self.assertEqual({r["after"] for r in csv.DictReader(f)}, {"'" + host})
                shutil.rmtree(out)

    def test_provenance_that_differs_and_a_killed_study(self) -> None:
        before = comparison.read_study(BEFORE)
        made = (("suite_commit", "0b2b1e0edd8db99bc53576c27cc512e3c1709c30 with changes"),
                ("variant_digests", "atomic=" + "ab" * 32 + " same=" + "cd" * 32))
        later = dataclasses.replace(before, machine=before.machine + made)
        _, md, _, _, _ = self.compare(self.put("a/study.json", dumps(later)), self.put("b/study.json", dumps(
            dataclasses.replace(later, machine=before.machine + (made[0], ("variant_digests", "same=" + "cd" * 32))))))
        self.assertIn("## Programs and tools that differ\n\n- atomic: lab (a) abababababab, lab (b) absent\n\n", md)
        odd = [comparison.Compared(v, dataclasses.replace(before, machine=(("variant_digests", f"v={v}"),)), v)
               for v in ("a|<b>", "c")]  # a digest is text from a file, escaped as any other
        self.assertIn("- v: a\\|\\<b\\> a\\|\\<b\\>, c c", comparison.provenance_lines(odd))
        shutil.rmtree(os.path.join(self.tmp, "out"))
        # A study killed before it wrote its files is read from its journal, and said to be partial.
        folder = os.path.join(self.tmp, "killed")
        os.makedirs(folder)
        journal = Journal(os.path.join(folder, JOURNAL), {"journal": JOURNAL_MARK, "format": FORMAT, "plan": {},
                                                          "machine": [list(p) for p in before.machine + made],
                                                          "variants": variants_json(before.catalogue)})
        for run in before.runs:
            journal.add(run)
        journal.close()
        _, md, _, stderr, _ = self.compare(BEFORE, folder)
        self.assertIn(f"the study in {folder} did not finish (stopped after {len(before.runs)} runs; only its "
                      "journal is left)", stderr)
        self.assertIn("- suite_commit: lab (before) unknown, lab (killed) 0b2b1e0edd8d with changes\n", md)

    def test_different_sizes_are_said(self) -> None:
        before = comparison.read_study(BEFORE)
        larger = dataclasses.replace(before, summaries=tuple(
            dataclasses.replace(s, problem_size=2 * N) if s.program == "quadplain" and s.series is Series.STRONG
            else s for s in before.summaries))
        _, md, _, stderr, _ = self.compare(BEFORE, self.put("larger/study.json", dumps(larger)))
        self.assertIn("the studies used different problem sizes (quadplain: 1000000 on lab (before), 2000000 on lab "
                      "(larger))", stderr)
        self.assertIn("**Different problem sizes:**", md)
        self.assertIn("| quadplain | 1 | 8.325 ms | 1.00 | 1.00 | 99.7 | ok | 8.325 ms |", md)  # still one row
        shutil.rmtree(os.path.join(self.tmp, "out"))
        # Two sizes of one program in one study: both rows shown, told apart by their size.
        both = dataclasses.replace(before, summaries=before.summaries + tuple(
            s for s in larger.summaries if s.program == "quadplain" and s.series is Series.STRONG))
        _, md, _, stderr, _ = self.compare(BEFORE, self.put("both/study.json", dumps(both)))
        self.assertIn("quadplain: 1000000 on lab (before), 1000000 and 2000000 on lab (both)", stderr)
        self.assertIn("| quadplain | 1 | 1000000 | 8.325 ms | 1.00 | 1.00 | 99.7 | ok | 8.325 ms |", md)
        self.assertIn("| quadplain | 1 | 2000000 | — | — | — | — | — | 8.325 ms |", md)


class Counts(unittest.TestCase):
    """As many runs as --repeats allows (1000; 520 was where the rank test's float overflowed), and
    a team nobody reported: verdicts without a traceback."""

    def study(self, times: Sequence[float], threads: Optional[int] = 1, program: str = "quadplain") -> Study:
        return derive.rederived(Study((("host", "lab"),), CAT, tuple(
            Run(Config(Series.STRONG, program, threads, N), threads, k, time_s=t, result="3.141592653589793",
                entry=CAT.get(program))
            for k, t in enumerate(times, 1))))

    def test_runs_at_the_repeats_limit(self) -> None:
        for n in (520, 1000):
            with self.subTest(runs=n):
                times = [0.01 * (1 + 0.001 * (k % 37)) for k in range(n)]
                a, b = (comparison.Compared(name, self.study(t), name) for name, t in (
                    ("a", times), ("b", [1.05 * t for t in times])))
                (row,), _ = comparison.verdicts(a, b)
                self.assertEqual((row.runs_before, row.runs_after, row.verdict.label), (n, n, "slower"))
                self.assertAlmostEqual(row.verdict.ratio, 1.05)
                (same,), _ = comparison.verdicts(a, a)
                self.assertEqual(same.verdict.label, "~")
        unknown = comparison.Compared("u", self.study([0.01, 0.011, 0.012], None, "quadmerge"), "u")
        (row,), _ = comparison.verdicts(unknown, unknown)
        self.assertEqual(row.cells()[4], "?")

    def test_a_long_name_gives_way_in_the_terminal(self) -> None:
        name = "a_variant_named_" + "x" * 90
        cat = CAT.with_variant(name, "/bin/true", "pi")
        study = derive.rederived(Study((("host", "lab"),), cat, tuple(
            Run(Config(Series.STRONG, name, 2, N), 2, k, time_s=0.01 * k, result="3.141592653589793",
                entry=cat.get(name)) for k in (1, 2, 3))))
        pair = comparison.Compared("a", study, "a"), comparison.Compared("b", study, "b")
        lines = comparison.terminal_lines(*pair, *comparison.verdicts(*pair))
        self.assertEqual(max(map(len, lines)), 100)
        self.assertRegex(lines[2], r"^a_variant_named_x+\.\.\.  2  1e6 +20 ms  20 ms  1.000  ~ +ok$")
        # A line that wraps is never broken inside an option's name.
        said = comparison.terminal_lines(*pair, [], ["x" * 74 + " --disturbed-steal CORES"])
        self.assertEqual(said[-1], "    --disturbed-steal CORES")

    def test_why_there_is_no_verdict(self) -> None:
        quiet = self.study([0.01, 0.011, 0.012])
        busy = derive.rederived(dataclasses.replace(quiet, runs=tuple(
            dataclasses.replace(r, disturbed="other load 1.0 CPU-s") for r in quiet.runs)),
            {Config(Series.STRONG, "quadplain", 1, N): "3 of the 3 clean runs asked for are missing"})
        zero = self.study([0.0, 0.011, 0.012])
        elsewhere = self.study([0.01, 0.011], 2, "quadguard")
        busy_why = "3 of the 3 clean runs asked for are missing; no clean run: the median is of 3 disturbed runs"
        for a, b, why in ((quiet, busy, f"no clean runs in b: {busy_why}"),
                          (busy, quiet, f"no clean runs in a: {busy_why}"),
                          (quiet, zero, "a time of 0 in b"),
                          (quiet, elsewhere, "not in b")):
            with self.subTest(why=why):
                pair = comparison.Compared("a", a, "a"), comparison.Compared("b", b, "b")
                found, left = comparison.verdicts(*pair)
                self.assertEqual(found, [])
                self.assertIn(f"- quadplain 1 thread N=1e6: {why}\n",
                              "\n".join(comparison.verdict_lines(*pair, found, left, 0.02, 0.05)))


if __name__ == "__main__":
    unittest.main()

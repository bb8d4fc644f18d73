"""Results in google benchmark's JSON: names, entries and aggregates on a tiny set of runs and on a
stored study, a study read back with the same figures, damaged files refused, and what the library's
own compare.py prints."""
import collections
import copy
import dataclasses
import json
import os
import re
import shutil
import statistics
import subprocess
import tempfile
import unittest
from typing import Any, Callable, Counter, Dict, List, Optional, Tuple

from ompsuite.analyse import derive
from ompsuite.export import benchjson as B
from ompsuite.errors import SuiteError
from ompsuite.platform.files import write_atomic
from ompsuite.study import Config, Run, Series, load


FIXTURE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "fixtures", "study.json")
COMPARE = "/usr/share/benchmark/compare.py"
COMPARE_PYTHON = "/usr/bin/python3"
CONTEXT = {"host": "node1", "date": "2026-12-09T03:00:00+00:00", "num_cpus": 2, "compiler": "g++ 12.2",
           "binding": "OMP_PLACES=cores", "caches": [{"type": "Unified", "level": 3, "size": 33554432,
                                                      "num_sharing": 2}], "load_avg": [0.1, 0.2, 0.3]}
FAILED = ("quadguard", 2, 100000, 2)
DISTURBED = ("quadplain", 1, 200000, 3)


def tiny_runs(scale: float = 1.0, failed: Optional[Tuple[str, int, int, int]] = FAILED,
              disturbed: Optional[Tuple[str, int, int, int]] = DISTURBED) -> List[Dict[str, Any]]:
    """Two programs, two teams (the serial one at 1), two sizes, 4 repetitions, interleaved as a
    study runs them. The failed and the disturbed run take 100 times as long, so that a figure
    they entered would show it."""
    runs = []
    for repeat in range(1, 5):
        for n in (100000, 200000):
            for program, team in (("quadplain", 1), ("quadguard", 1), ("quadguard", 2)):
                key = (program, team, n, repeat)
                t = round(scale * n * 1e-8 / team * (1 + 0.01 * repeat), 8)
                slow = 100 if key in (failed, disturbed) else 1
                runs.append({"series": "sweep", "program": program, "threads": team, "threads_requested": team,
                             "problem_size": n, "repeat": repeat, "time_s": t * slow,
                             "cpu_s": round(t * team, 6), "check": "FAIL: pi is 3.3" if key == failed else "ok",
                             "disturbed": "load 1.9 on 2 cores" if key == disturbed else "",
                             "result": "3.141592653589793", "extra": {"load1": 0.25 * repeat, "name": "x"}})
    return runs


def name(program: str, team: int, n: int) -> str:
    return f"{program}/threads:{team}/N:{n}/series:sweep"


class Document(unittest.TestCase):
    def setUp(self) -> None:
        self.runs = tiny_runs()
        self.doc = B.results_document(CONTEXT, self.runs)
        self.entries = self.doc["benchmarks"]

    def test_one_entry_per_run_named_and_marked(self) -> None:
        iterations = [e for e in self.entries if e["run_type"] == "iteration"]
        self.assertEqual(len(iterations), len(self.runs))
        names = collections.Counter(e["name"] for e in iterations)
        clean = {name(p, t, n): 4 for n in (100000, 200000) for p, t in (("quadplain", 1), ("quadguard", 1),
                                                                         ("quadguard", 2))}
        clean[name(*FAILED[:3])] -= 1
        clean[name(*DISTURBED[:3])] -= 1
        self.assertEqual(names, {**clean, name(*FAILED[:3]) + "/failed": 1, name(*DISTURBED[:3]) + "/disturbed": 1})

        by_name = {e["name"]: e for e in iterations}
        failed, disturbed = by_name[name(*FAILED[:3]) + "/failed"], by_name[name(*DISTURBED[:3]) + "/disturbed"]
        self.assertEqual((failed["error_occurred"], failed["error_message"]), (True, "FAIL: pi is 3.3"))
        self.assertEqual((disturbed["error_occurred"], disturbed["error_message"]),
                         (True, "disturbed: load 1.9 on 2 cores"))
        # They still say which benchmark and repetition they were.
        self.assertEqual((failed["run_name"], failed["repetition_index"]), (name(*FAILED[:3]), FAILED[3] - 1))
        self.assertEqual(disturbed["ompsuite_disturbed"], "load 1.9 on 2 cores")

        library = {"name", "family_index", "per_family_instance_index", "run_name", "run_type", "repetitions",
                   "repetition_index", "threads", "error_occurred", "error_message", "iterations", "real_time",
                   "cpu_time", "time_unit"}
        for e in iterations:
            run = next(r for r in self.runs if (r["program"], r["threads"], r["problem_size"], r["repeat"]) ==
                       (e["ompsuite_program"], e["threads"], e["ompsuite_problem_size"], e["repetition_index"] + 1))
            self.assertEqual(e["time_unit"], "ns")
            self.assertAlmostEqual(e["real_time"], run["time_s"] * 1e9, delta=1e-6)
            self.assertAlmostEqual(e["cpu_time"], run["cpu_s"] * 1e9, delta=1e-6)
            self.assertEqual((e["iterations"], e["repetitions"]), (1, 4))
            self.assertEqual(e["ompsuite_extra_load1"], run["extra"]["load1"])
            self.assertEqual("error_occurred" in e, e["name"] != e["run_name"])
            self.assertEqual(set(e) - library, {k for k in e if k.startswith("ompsuite_")})
        self.assertEqual(self.doc["context"]["host_name"], "node1")
        self.assertEqual(self.doc["context"]["ompsuite_schema"], 1)
        self.assertEqual(self.doc["context"]["library_build_type"], "release")

    def test_aggregates_over_clean_runs_only(self) -> None:
        aggs = [e for e in self.entries if e["run_type"] == "aggregate"]
        self.assertEqual(len(aggs), 6 * 4)
        for e in aggs:
            with self.subTest(e["name"]):
                base = e["run_name"]
                self.assertEqual(e["name"], f"{base}_{e['aggregate_name']}")
                clean = [r for r in self.runs if name(r["program"], r["threads"], r["problem_size"]) == base
                         and r["check"] == "ok" and not r["disturbed"]]
                real = [r["time_s"] * 1e9 for r in clean]
                expected = {"mean": statistics.mean(real), "median": statistics.median(real),
                            "stddev": statistics.stdev(real), "cv": statistics.stdev(real) / statistics.mean(real)}
                self.assertAlmostEqual(e["real_time"], expected[e["aggregate_name"]], delta=1e-6 * expected["mean"])
                self.assertEqual(e["aggregate_unit"], "percentage" if e["aggregate_name"] == "cv" else "time")
                self.assertEqual(e["iterations"], len(clean))
        # Aggregates follow their benchmark's repetitions, as the library writes them.
        order = [e["run_name"] for e in self.entries]
        self.assertEqual(order, sorted(order, key=order.index))
        self.assertFalse([e for e in B.results_document(CONTEXT, self.runs, aggregates=False)["benchmarks"]
                          if e["run_type"] == "aggregate"])

    def test_units_untimed_runs_and_lone_runs(self) -> None:
        grow = dict(self.runs[0], program="growplain", problem_size=1000000, time_s=0.004211, cpu_s=None, extra={})
        team = dict(grow, program="teamtally", problem_size=None, time_s=None, repeat=2)
        lone = B.results_document(CONTEXT, [grow, team])["benchmarks"]
        self.assertEqual([e["name"] for e in lone],
                         ["growplain/threads:1/N:1000000/series:sweep", "teamtally/threads:1/series:sweep/untimed"])
        self.assertEqual((lone[0]["time_unit"], lone[0]["real_time"], lone[0]["cpu_time"]), ("us", 4211.0, 0.0))
        self.assertEqual((lone[1]["iterations"], lone[1]["real_time"], lone[1]["error_occurred"]), (0, 0.0, True))
        # The team the program reported names the benchmark; the request where it reported none.
        self.assertEqual(B.benchmark_name(dict(grow, threads=None, threads_requested=4)),
                         "growplain/threads:4/N:1000000/series:sweep")

    def test_malformed_runs_are_refused(self) -> None:
        cases: Dict[str, Callable[[Dict[str, Any]], object]] = {
            "lacks time_s": lambda r: r.pop("time_s"),
            "repeat 1 twice": lambda r: r.update(repeat=1),
            "not a time": lambda r: r.update(time_s=float("nan")),
            "only text, numbers": lambda r: r["extra"].update(bad=[1, 2]),
            "without '/'": lambda r: r.update(series="a/b"),
        }
        for why, change in cases.items():
            with self.subTest(why):
                runs = copy.deepcopy(self.runs)
                change(runs[-1])
                with self.assertRaisesRegex(ValueError, re.escape(why)):
                    B.results_document(CONTEXT, runs)


class Files(unittest.TestCase):
    def setUp(self) -> None:
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.path = os.path.join(self.tmp.name, "results.json")
        self.runs = tiny_runs()
        write_atomic(self.path, B.document_text(B.results_document(CONTEXT, self.runs)))

    def test_a_study_reads_back_with_the_same_figures(self) -> None:
        # Every figure of the study read back is derived as the run command derived its own: the
        # weak series' efficiency, the floors of its calibration, the untrusted row and its reason.
        study = load(FIXTURE)
        weak = [Run(Config(Series.WEAK, "quadguard", t, 1000000 * t), t, k, time_s=0.001 * (1 + 0.1 * (t - 1)) * k,
                    result="3.141592653589764", entry=study.catalogue.get("quadguard")) for t in (1, 2) for k in (1, 2)]
        made = dataclasses.replace(study, runs=study.runs + tuple(weak))
        made = derive.rederived(made, *derive.judgements(study))
        write_atomic(self.path, B.document_text(B.study_document(made)))
        back = B.read_study(self.path)
        self.assertEqual((back.runs, back.summaries, back.machine), (made.runs, made.summaries, made.machine))
        self.assertEqual([r.interference and r.interference.values() for r in back.runs],
                         [r.interference and r.interference.values() for r in made.runs])
        rows = {s.key: s for s in back.summaries}
        self.assertAlmostEqual(rows[(Series.WEAK, "quadguard", 2, 2000000)].efficiency or 0, 1 / 1.1)
        self.assertIn("clean runs asked for are missing", rows[(Series.STRONG, "atomic", None, 1000000)].untrusted)
        self.assertIsNotNone(rows[(Series.STRONG, "quadplain", 1, 1000000)].pct_floor)

    def test_damaged_files_are_refused(self) -> None:
        with open(self.path) as f:
            text = f.read()
        doc = json.loads(text)
        first = next(i for i, e in enumerate(doc["benchmarks"]) if e["run_type"] == "iteration")

        def edited(change: Callable[[Dict[str, Any]], object]) -> str:
            d = copy.deepcopy(doc)
            change(d)
            return json.dumps(d)

        cases = {
            "not JSON": text[: len(text) // 2],
            "not a number JSON allows": text.replace('"real_time": ', '"real_time": NaN, "x": ', 1),
            "no context object": '{"benchmarks": []}',
            "has no ompsuite_schema": edited(lambda d: d["context"].pop("ompsuite_schema")),
            "ompsuite_schema is 2": edited(lambda d: d["context"].update(ompsuite_schema=2)),
            "lacks ompsuite_check": edited(lambda d: d["benchmarks"][first].pop("ompsuite_check")),
            "does not match its run": edited(lambda d: d["benchmarks"][first].update(ompsuite_check="FAIL: x")),
            "is not its run's": edited(lambda d: d["benchmarks"][first].update(real_time=1.0)),
            "twice": edited(lambda d: d["benchmarks"].append(d["benchmarks"][first])),
            "repeat is 0": edited(lambda d: d["benchmarks"][first].update(ompsuite_repeat=0)),
        }
        damaged = os.path.join(self.tmp.name, "damaged.json")
        for why, content in cases.items():
            with self.subTest(why):
                with open(damaged, "w") as f:
                    f.write(content)
                with self.assertRaises(SuiteError) as cm:
                    B.read_study(damaged)
                self.assertEqual(cm.exception.status, 2)
                self.assertIn(damaged, str(cm.exception))
                self.assertIn(why, str(cm.exception))
        with self.assertRaisesRegex(SuiteError, "absent.json"):
            B.read_study(os.path.join(self.tmp.name, "absent.json"))


class FromStudy(unittest.TestCase):
    """results.json of a study: its runs, its machine, its topology."""

    def test_runs_and_context(self) -> None:
        study = load(FIXTURE)
        doc = B.study_document(study)
        iterations = [e for e in doc["benchmarks"] if e["run_type"] == "iteration"]
        self.assertEqual(len(iterations), len(study.runs))
        names = {e["name"] for e in iterations}
        for expected in ("quadguard/threads:2/N:997/series:check",
                         "quadguard/threads:2/N:1000000/series:strong/disturbed",
                         "quadmerge/threads:2/N:1000000/series:strong/failed",
                         "teamtally/threads:2/series:strong/untimed",
                         "atomic/threads:2/N:1000000/series:strong",  # its team unknown: named by the one asked
                         "growplain/threads:1/N:1000000/series:strong"):
            self.assertIn(expected, names)
        grow = next(e for e in iterations if e["ompsuite_program"] == "growplain")
        self.assertEqual((grow["time_unit"], grow["real_time"], grow["ompsuite_extra_system_s"]),
                         ("us", 21000.0, 0.017))
        ctx = doc["context"]
        self.assertEqual({k: ctx[k] for k in ("host_name", "num_cpus", "mhz_per_cpu", "topology_cores", "load_avg")},
                         {"host_name": "vm", "num_cpus": 2, "mhz_per_cpu": 2450, "topology_cores": 2,
                          "load_avg": [0.31, 0.22, 0.1]})
        self.assertEqual([c["size"] for c in ctx["caches"]], [32768, 32768, 524288, 33554432])
        self.assertEqual(ctx["ompsuite_machine"]["pi_n"], "1000000")
        # A study file's topology record cannot set the keys this writer owns.
        odd = dataclasses.replace(study, topology_context={"ompsuite_schema": 9, "date": "x", "num_cpus": 4})
        ctx = B.study_document(odd)["context"]
        self.assertEqual((ctx["ompsuite_schema"], ctx["date"], ctx["num_cpus"]), (1, "2026-12-09T03:21:44+00:00", 4))

    def test_unknown_teams_and_teams_asked_that_gave_one(self) -> None:
        # Asked 2 and 4, obtained 2 both times: one benchmark, its repetitions numbered across
        # both; and a run whose team neither the runtime nor the request says.
        runs = [dict(tiny_runs()[0], threads=2, threads_requested=asked, repeat=k, time_s=0.001 * k)
                for asked in (2, 4) for k in (1, 2)]
        runs.append(dict(tiny_runs()[0], threads=None, threads_requested=0, time_s=0.001))
        doc = B.results_document(CONTEXT, runs)
        one = [e for e in doc["benchmarks"] if e["run_name"] == "quadplain/threads:2/N:100000/series:sweep"]
        self.assertEqual(sorted(e["repetition_index"] for e in one if e["run_type"] == "iteration"), [0, 1, 2, 3])
        self.assertEqual(one[-1]["iterations"], 4)  # the aggregates are over all four
        self.assertIn("quadplain/threads:0/N:100000/series:sweep", {e["name"] for e in doc["benchmarks"]})
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "results.json")
            write_atomic(path, B.document_text(doc))
            self.assertEqual([(r.threads_requested, r.threads) for r in B.read_study(path).runs],
                             [(2, 2), (2, 2), (4, 2), (4, 2), (None, None)])


ROW = re.compile(r"^(?P<name>\S.*?)\s+[+-]\d+\.\d{4}\s+[+-]\d+\.\d{4}(?:\s+\d+){4}$")
UTEST = re.compile(r"^(?P<name>\S.*?)_pvalue\s+(?P<time>\d\.\d{4})\s+\d\.\d{4}\s+"
                   r"U Test, Repetitions: (?P<a>\d+) vs (?P<b>\d+)")


class LibraryCompare(unittest.TestCase):
    """Debian's compare.py (libbenchmark-tools, with python3-scipy) reading two generated files."""

    def setUp(self) -> None:
        missing = []
        if not os.path.isfile(COMPARE):
            missing.append(f"{COMPARE} (Debian package libbenchmark-tools)")
        if not shutil.which(COMPARE_PYTHON) or subprocess.run(
                [COMPARE_PYTHON, "-c", "import scipy.stats, numpy"], capture_output=True).returncode != 0:
            missing.append(f"scipy and numpy for {COMPARE_PYTHON} (python3-scipy, python3-numpy)")
        if missing:
            why = "google benchmark's compare.py cannot run: missing " + " and ".join(missing)
            if os.environ.get("CI") == "true":
                self.fail(why)
            self.skipTest(why)
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def compare(self, *args: str) -> Tuple[Counter[str], Dict[str, Tuple[int, int, float]]]:
        proc = subprocess.run([COMPARE_PYTHON, COMPARE, "--no-color", *args], capture_output=True, text=True,
                              timeout=60, cwd=self.tmp.name)
        self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        lines = proc.stdout.splitlines()
        utests = {m["name"]: (int(m["a"]), int(m["b"]), float(m["time"])) for m in map(UTEST.match, lines) if m}
        return collections.Counter(m["name"] for m in map(ROW.match, lines) if m), utests

    def write(self, fname: str, runs: List[Dict[str, Any]]) -> str:
        path = os.path.join(self.tmp.name, fname)
        write_atomic(path, B.document_text(B.results_document(CONTEXT, runs)))
        return fname

    def test_benchmarks_and_filters_modes(self) -> None:
        # The second machine is half as fast and has no failed or disturbed run.
        a = self.write("a.json", tiny_runs())
        b = self.write("b.json", tiny_runs(scale=2.0, failed=None, disturbed=None))
        rows, utests = self.compare("benchmarks", a, b)
        names = [name(p, t, n) for n in (100000, 200000) for p, t in (("quadplain", 1), ("quadguard", 1),
                                                                      ("quadguard", 2))]
        expected = {n: 4 for n in names}
        expected[name(*FAILED[:3])] = expected[name(*DISTURBED[:3])] = 3
        expected.update({f"{n}_{agg}": 1 for n in names for agg in ("mean", "median", "stddev", "cv")})
        expected["OVERALL_GEOMEAN"] = 1
        self.assertEqual(rows, expected)
        # One U test per benchmark, on its clean runs: the failed and the disturbed run are not in it.
        self.assertEqual({n: u[:2] for n, u in utests.items()}, {n: (expected[n], 4) for n in names})
        self.assertTrue(all(u[2] < 0.1 for u in utests.values()), utests)

        rows, utests = self.compare("filters", a, "quadplain/threads:1/", "quadguard/threads:2/")
        pair = "[quadplain/threads:1/ vs. quadguard/threads:2/]"
        self.assertEqual({n: u[:2] for n, u in utests.items()},
                         {f"{pair}N:100000/series:sweep": (4, 3), f"{pair}N:200000/series:sweep": (3, 4)})
        self.assertEqual(rows[f"{pair}N:100000/series:sweep_median"], 1)
        self.assertNotIn(f"{pair}N:100000/series:sweep/failed", rows)


if __name__ == "__main__":
    unittest.main()

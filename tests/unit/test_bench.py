"""The benchmarks' reading of what the tools wrote: compare's verdict table and each run's time window."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "bench"))

import aa  # noqa: E402
import noisy  # noqa: E402
from ompsuite.export import comparison  # noqa: E402
from ompsuite.platform import files
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.analyse.significance import Verdict  # noqa: E402


class Study:
    def __init__(self, label):
        self.label = label


class VerdictTable(unittest.TestCase):
    def test_verdicts_read_back_as_written(self):
        found = [(("strong", "quadguard", "2", "100"), 5, 5, Verdict(2.0, (1.9, 2.1), 25, 0.008, "slower", "")),
                 (("strong", "odd|name~", "1", "100"), 5, 5, Verdict(1.0, None, 12, 1.0, "~", "not significant: p 1"))]
        with tempfile.TemporaryDirectory() as tmp:
            path = os.path.join(tmp, "verdicts.csv")
            with open(path, "w") as f:
                f.write(files.csv_text(comparison.VERDICT_FIELDS, comparison.verdict_rows(Study("A"), Study("B"), found)))
            rows = aa.verdict_rows(path)
        self.assertEqual([(r["program"], r["threads"], r["verdict"]) for r in rows],
                         [("quadguard", "2", "slower"), ("odd|name~", "1", "~")])
        self.assertEqual((aa.interval(rows[0]), aa.interval(rows[1])), ("1.9–2.1", "n too small"))


RUNS = ("series,program,threads_requested,problem_size,repeat,disturbed,watched_s,other_load_s,machine_cpus,tick_hz\n"
        "strong,quadplain,1,100,1,,0.3,0,2,100\n"
        "strong,quadguard,2,100,1,other load 1 CPU-s,0.2,1,2,100\n"
        "strong,quadplain,1,100,2,,0.3,0,2,100\n")


def progress_lines(*times):
    labels = ["[1/3] quadplain threads=1 N=100 repeat=1", "[2/3] quadguard threads=2 N=100 repeat=1",
              "[3/3] quadplain threads=1 N=100 repeat=2"]
    return {k: (t, noisy.RUN_LINE.fullmatch(labels[k - 1])) for k, t in enumerate(times, 1)}


class RunWindows(unittest.TestCase):
    def windows(self, text, lines, ended=20.0):
        with tempfile.TemporaryDirectory() as tmp:
            with open(os.path.join(tmp, "runs.csv"), "w") as f:
                f.write(text)
            return [(r["program"], s, e) for r, s, e in noisy.windows(tmp, lines, ended)]

    def test_progress_lines_bracket_each_run_and_its_own_start_wins(self):
        self.assertEqual(self.windows(RUNS, progress_lines(10.0, 10.5, 11.0)),
                         [("quadplain", 10.0, 10.5), ("quadguard", 10.5, 11.0), ("quadplain", 11.0, 20.0)])
        started = RUNS.replace("tick_hz\n", "tick_hz,started\n").replace(",100\n", ",100,5.0\n")
        self.assertEqual(self.windows(started, {})[1], ("quadguard", 5.0, 5.2))

    def test_a_run_and_a_progress_line_that_disagree_are_refused(self):
        lines = progress_lines(10.0, 10.5, 11.0)
        lines[2], lines[3] = lines[3], lines[2]
        with self.assertRaisesRegex(SuiteError, "run 2 .* cannot be matched"):
            self.windows(RUNS, lines)
        with self.assertRaisesRegex(SuiteError, "run 3 .* no start time"):
            self.windows(RUNS, progress_lines(10.0, 10.5))

    def test_only_runs_within_the_hog_count_as_inside(self):
        runs = [({"n": 1}, 1.0, 2.0), ({"n": 2}, 2.0, 3.0), ({"n": 3}, 3.0, 4.5), ({"n": 4}, 5.0, 6.0)]
        inside, partly, apart = noisy.overlaps(runs, 2.0, 4.0)
        self.assertEqual(([r["n"] for r in inside], [r["n"] for r in partly], [r["n"] for r in apart]),
                         ([2], [3], [1, 4]))


if __name__ == "__main__":
    unittest.main()

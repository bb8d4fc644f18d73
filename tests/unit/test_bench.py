"""The benchmarks' reading of what the tools wrote: each run's time window."""
import dataclasses
import os
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__)))), "bench"))

import noisy  # noqa: E402
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.platform.interference import Interference  # noqa: E402
from ompsuite.study import Config, Run, Series, Study  # noqa: E402

CAT = C.Catalogue()


def study(started=None):
    """Three runs as a study holds them, each watched for 0.3 s or 0.2 s; started at 5.0 when given."""
    runs = [Run(Config(Series.STRONG, program, threads, 100), threads, repeat, disturbed=disturbed, started=started,
                interference=Interference(watched_s, 2, 2, 100), entry=CAT.get(program))
            for program, threads, repeat, disturbed, watched_s in (
                ("quadplain", 1, 1, "", 0.3), ("quadguard", 2, 1, "other load 1 CPU-s", 0.2),
                ("quadplain", 1, 2, "", 0.3))]
    return Study((), CAT, tuple(runs))


def progress_lines(*times):
    labels = ["[1/3] quadplain threads=1 N=100 repeat=1", "[2/3] quadguard threads=2 N=100 repeat=1",
              "[3/3] quadplain threads=1 N=100 repeat=2"]
    return {k: (t, noisy.RUN_LINE.fullmatch(labels[k - 1])) for k, t in enumerate(times, 1)}


class RunWindows(unittest.TestCase):
    def windows(self, s, lines, ended=20.0):
        return [(r.program, start, end) for r, start, end in noisy.windows("out", s, lines, ended)]

    def test_progress_lines_bracket_each_run_and_its_own_start_wins(self):
        self.assertEqual(self.windows(study(), progress_lines(10.0, 10.5, 11.0)),
                         [("quadplain", 10.0, 10.5), ("quadguard", 10.5, 11.0), ("quadplain", 11.0, 20.0)])
        self.assertEqual(self.windows(study(started=5.0), {})[1], ("quadguard", 5.0, 5.2))

    def test_a_run_and_a_progress_line_that_disagree_are_refused(self):
        lines = progress_lines(10.0, 10.5, 11.0)
        lines[2], lines[3] = lines[3], lines[2]
        with self.assertRaisesRegex(SuiteError, "run 2 .* cannot be matched"):
            self.windows(study(), lines)
        with self.assertRaisesRegex(SuiteError, "run 3 .* no start time"):
            self.windows(study(), progress_lines(10.0, 10.5))
        unwatched = dataclasses.replace(study(started=5.0).runs[0], interference=None)
        with self.assertRaisesRegex(SuiteError, "run 1 .* no start time"):
            self.windows(Study((), CAT, (unwatched,)), {})

    def test_only_runs_within_the_hog_count_as_inside(self):
        runs = [({"n": 1}, 1.0, 2.0), ({"n": 2}, 2.0, 3.0), ({"n": 3}, 3.0, 4.5), ({"n": 4}, 5.0, 6.0)]
        inside, partly, apart = noisy.overlaps(runs, 2.0, 4.0)
        self.assertEqual(([r["n"] for r in inside], [r["n"] for r in partly], [r["n"] for r in apart]),
                         ([2], [3], [1, 4]))


if __name__ == "__main__":
    unittest.main()

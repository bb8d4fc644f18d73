"""A class's grades on a made-up study: the rubric's arithmetic for each measure, the diagnosis of
each usual wrong pi from its printed value, and the near-copy measure."""
import csv
import json
import os
import tempfile
import tomllib
import unittest
from unittest import mock

from ompsuite import catalogue as C
from ompsuite.analyse import grades
from ompsuite.analyse.diagnose import diagnose, why_wrong
from ompsuite.errors import SuiteError
from ompsuite.export.grades import GradeFiles
from ompsuite.study import Check, Config, Flag, Mark, Run, Series, Study, Summary

RIGHT = "3.141592737425386"  # a correct program's pi at N = 997
TEAM = "ignores the team asked for: asked 2, ran 4"  # validate's reason for a program that runs its own team


def class_study():
    cat = C.Catalogue()
    made = {"good": C.Build("good.c", race=C.Race.FREE), "slow": C.Build("slow.c", race=C.Race.FREE),
            "liar": C.Build("liar.c", race=C.Race.FREE), "teamless": C.Build("teamless.c", race=C.Race.FREE),
            "wrong": C.Build("wrong.c", race=C.Race.FREE), "broken": C.Build("broken.c", error="broken.c:3: error: x"),
            "fixed": C.Build("fixed.c", race=C.Race.FREE)}
    for name, build in made.items():
        cat = cat.with_variant(name, f"/class/{name}", "pi", build)
    runs, rows = [], [Summary(Series.STRONG, "quadmerge", 2, 10**6, runs=3, median_s=0.012, speedup=1.7,
                              entry=cat.get("quadmerge"))]
    for name, value, check, median, speedup, marks in (
            ("good", RIGHT, Check.passed(), 0.010, 1.8, ()), ("slow", RIGHT, Check.passed(), 0.030, 0.6, ()),
            ("liar", RIGHT, Check.passed(), 0.001, 18.0, (Mark(Flag.IMPOSSIBLE, "liar's own time cannot be right"),)),
            ("teamless", RIGHT, Check.failed(TEAM), None, None, (Mark(Flag.FAILED, f"1 of 1 runs: {TEAM}"),)),
            ("wrong", "3.142595494945690", Check.failed("pi = 3.142595494945690 is not within"), None, None, ()),
            ("broken", "", Check.failed(made["broken"].failure), None, None, ())):
        runs.append(Run(Config(Series.CHECK, name, 2, 997), 2, 1, result=value, printed_n=997 if value else None,
                        check=check, entry=cat.get(name)))
        rows.append(Summary(Series.STRONG, name, 2, 10**6, runs=3, median_s=median, speedup=speedup, marks=marks,
                            entry=cat.get(name)))
    # Its own N whatever it is asked: a right pi, for another N.
    runs.append(Run(Config(Series.CHECK, "fixed", 2, 997), 2, 1, result="3.141592653589764", printed_n=10**6,
                    check=Check.failed("printed N = 1000000, asked for 997"), entry=cat.get("fixed")))
    return Study((), cat, tuple(runs), tuple(rows))


def points(study, rubric=grades.DEFAULT):
    return {g.program: {s.criterion: s.points for s in g.scores} for g in grades.grade(study, rubric)}


def rubric(text):
    return grades.parse_rubric(tomllib.loads(text))


class Rubric(unittest.TestCase):
    def test_each_criterion_and_measure(self):
        study = class_study()
        full = {"builds": 10, "correct": 40, "race_free": 20, "team": 10}
        got = points(study)  # the default: the efficiency table at the largest team
        self.assertEqual(got["good"], {**full, "performance": 20})        # efficiency 90%
        self.assertEqual(got["slow"], {**full, "performance": 10})        # 30%: the 25% row
        self.assertEqual(got["liar"], {**full, "performance": 0})         # an impossible time earns nothing
        self.assertEqual(got["teamless"], {**full, "team": 0, "performance": 0})
        self.assertEqual(got["wrong"], {**full, "correct": 0, "performance": 0})
        self.assertEqual(sum(got["broken"].values()), 0)
        self.assertEqual(got["fixed"], {**full, "correct": 0, "performance": 0})
        said = {g.program: g for g in grades.grade(study)}
        self.assertIn("not to be trusted (liar's own time cannot be right)", said["liar"].scores[-1].output)
        self.assertEqual(said["teamless"].diagnosis.split("; ")[0], TEAM)
        self.assertIn("x taken at the left end", said["wrong"].diagnosis)
        self.assertTrue(said["broken"].diagnosis.startswith("does not compile: broken.c:3"))
        self.assertEqual(said["fixed"].diagnosis, "printed N = 1000000, asked for 997")
        threshold = points(study, rubric('[performance]\nmeasure = "speedup"\nat_least = 1.5\nthreads = 2'))
        self.assertEqual((threshold["good"]["performance"], threshold["slow"]["performance"]), (20, 0))
        best = points(study, rubric('correct = 30\n[performance]\nmeasure = "best"\npoints = 30'))
        self.assertEqual((best["good"]["correct"], best["good"]["performance"], best["slow"]["performance"]),
                         (30, 30, 10))  # the class's best time over its own: 0.010 / 0.030
        suite = points(study, rubric('[performance]\nmeasure = "suite"'))
        self.assertEqual((suite["good"]["performance"], suite["slow"]["performance"]), (20, 8))  # 0.012 / 0.030
        table = points(study, rubric('[performance]\npoints = 5\ntable = [[0.25, 2], [0.8, 5]]'))
        self.assertEqual((table["good"]["performance"], table["slow"]["performance"]), (5, 2))

    def test_refused(self):
        for text in ('bulds = 3', '[performance]\nmeasure = "fastest"', 'team = -1', 'team = true',
                     '[performance]\ntable = [[0.5]]', '[performance]\nthreads = 0', 'performance = 3'):
            with self.subTest(text), self.assertRaises(ValueError):
                rubric(text)
        with tempfile.NamedTemporaryFile("w", suffix=".toml") as f:
            f.write("builds = [")
            f.flush()
            with self.assertRaises(SuiteError) as e:
                grades.load_rubric(f.name)
            with mock.patch("importlib.import_module", side_effect=ImportError), \
                    self.assertRaisesRegex(SuiteError, r"^--rubric needs Python 3\.11 or later"):
                grades.load_rubric(f.name)  # an older Python: one line, not a traceback
        self.assertEqual(e.exception.status, 2)
        self.assertIn("not a rubric", str(e.exception))

    def test_files_a_course_system_reads(self):
        with tempfile.TemporaryDirectory() as d:
            GradeFiles().write(class_study(), d)
            with open(os.path.join(d, "grades", "slow", "results.json")) as f:
                slow = json.load(f)
            with open(os.path.join(d, "grades.csv")) as f:
                rows = {r["program"]: r for r in csv.DictReader(f)}
        self.assertEqual((slow["score"], slow["max_score"]), (90, 100))
        self.assertEqual(slow["score"], sum(t["score"] for t in slow["tests"]))
        self.assertEqual(slow["tests"][-1]["output"], "speedup 0.60 at 2 threads, efficiency 30%")
        self.assertEqual((rows["good"]["total"], rows["wrong"]["correct"]), ("100", "0"))


class Diagnosis(unittest.TestCase):
    def test_the_usual_mistakes_at_997(self):
        for printed, team, said in (
                (RIGHT, 2, ""),
                ("3.142595494945690", 2, "x taken at the left end of each interval"),
                ("3.140589476891519", 2, "x taken at the right end of each interval"),
                ("3.143599761927093", 2, "a step of 1/(N-1)"),
                ("3.141592751860884", 2, "the step held in single precision"),
                ("3.141593933105469", 2, "the sum held in single precision"),
                ("3.137580702326114", 2, "1 interval lost (the first)"),
                ("3.139585713091851", 2, "1 interval lost (the last)"),
                ("3.145604772524657", 2, "1 interval counted twice (the first)"),
                ("3.138383108538726", 2, "1 interval lost (i = 498)"),
                ("3.134371073439456", 2, "2 intervals lost (each thread's first)"),
                ("1.852985406940759", 2, "a sum over only one thread's share (thread 0's block of 2)"),
                ("3.141592737426400", 2, "6.66e-13 outside the values any order of summation gives (0.956 times"),
                ("3.141692737425400", 2, "+0.0001 from pi: 298 times the bound (3.4e-07)"),
                ("nan", 2, "not a number")):
            with self.subTest(said):
                self.assertTrue(diagnose(printed, 997, team).startswith(said) if said else
                                diagnose(printed, 997, team) == "", diagnose(printed, 997, team))
        self.assertEqual(diagnose("3.141592653589793", 10**8), "")  # beyond the exact sizes: the pi bound
        self.assertEqual(why_wrong([(RIGHT, 997, 2), ("3.14\x1b[2J", 10007, 2)]),  # a terminal control, shown
                         "at N = 10007: pi = 3.14\\x1b[2J: not a number")


class NearCopies(unittest.TestCase):
    def test_renamed_and_recommented_is_one(self):
        a = "// mine\nint main() { double sum = 0; for (int i = 0; i < n; i++) sum += 4.0 / (1 + x * x); }"
        b = "/* by B */ int main(){double total=0;\nfor(int k=0;k<n;k++) total+=4.0/(1+y*y);}"
        c = "int main() { double s = 0;\n#pragma omp parallel for reduction(+:s)\nwhile (n--) s += f(n); return 0; }"
        self.assertEqual(grades.tokens(a), grades.tokens(b))
        self.assertEqual(grades.near_copies({"a": a, "b": b, "c": c}), [("a", "b", 1.0)])


if __name__ == "__main__":
    unittest.main()

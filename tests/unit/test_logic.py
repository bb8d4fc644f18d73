"""The tools' own logic without running a program: the catalogue, the checks' bounds, the
summary statistics, the model's terms and the checks' bounds."""
import dataclasses
import os
import itertools
import random
import struct
import tempfile
import unittest
from fractions import Fraction
from unittest import mock
from decimal import Decimal

from ompsuite import catalogue as C
from ompsuite.analyse import stats
from ompsuite.analyse import validate
from ompsuite.errors import SuiteError
from ompsuite.analyse.model import Model
from ompsuite.platform.interference import Interference
from ompsuite.study import Check, Config, Flag, Run, Series, State, Summary

CAT = C.Catalogue()


def midpoint_pi(n, skip=()):
    """The serial program's pi, in its order of operations (4 / fma(x, x, 1) is exact enough
    here: the fused and the plain denominator differ in the last bit only)."""
    step = 1.0 / n
    total = 0.0
    for i in range(n):
        if i not in skip:
            x = (i + 0.5) * step
            total += 4.0 / (x * x + 1.0)
    return f"{total * step:.15f}"


def pi_run(program, threads, n, result, repeat=1, time_s=0.1, **kw):
    return Run(Config(Series.STRONG, program, threads, n), threads, repeat, time_s=time_s, result=result, printed_n=n,
               entry=CAT.get(program), **kw)


class Catalogue(unittest.TestCase):
    def test_entries_and_variants(self):
        cat = CAT.with_variant("atomic", "/x/atomic", "pi")
        atomic = cat.get("atomic")
        self.assertEqual((atomic.baseline, atomic.team, atomic.variant), ("quadplain", C.Team.PROBE, True))
        self.assertNotIn(atomic.point, {p.point for p in CAT})  # a point type of its own
        with self.assertRaisesRegex(SuiteError, "taken"):
            cat.with_variant("atomic", "/y", "pi")
        self.assertEqual(C.parse_variant("a=/p/q:pi"), ("a", "/p/q", "pi"))
        self.assertEqual(C.parse_variant("a=/p/q:r/s"), ("a", "/p/q:r/s", None))  # a colon in the path
        with tempfile.TemporaryDirectory() as d:
            open(os.path.join(d, "q:v2"), "w").close()
            self.assertEqual(C.parse_variant(f"a={d}/q:v2"), ("a", f"{d}/q:v2", None))  # a file's own colon
        with self.assertRaisesRegex(SuiteError, r"^--program x: unknown kind 'fft': the kinds are pi, recurrence$"):
            C.parse_variant("x=path/myatomic:fft")
        for bad in ("a", "a=", "9a=/p", "a b=/p"):
            with self.subTest(bad=bad), self.assertRaises(SuiteError):
                C.parse_variant(bad)
        self.assertEqual(C.kind_of_output("pi = 3.1, N = 1, time = 0.1 secs\n"), "pi")
        self.assertEqual(C.kind_of_output("Parallel RunTime:  1.0 seconds\n"), "recurrence")
        self.assertIsNone(C.kind_of_output("hello\n"))


def _fma_term(x):
    return 4.0 / float(Fraction(x) ** 2 + 1)  # fma(x, x, 1): the exact value, rounded once


def _plain_term(x):
    return 4.0 / (1.0 + x * x)


def team_pi(n, term, share, teams=3, merge=None, skip=(), twice=(), x_of=None):
    """A parallel program's printed pi, in its order of operations: share(n, teams) gives each
    thread's indices in its order, each thread sums its terms, and merge (default: in thread
    order) combines the partial sums; skip and twice lose or double intervals, x_of replaces the
    midpoint of interval i."""
    step = 1.0 / n
    partial = []
    for t, indices in enumerate(share(n, teams)):
        p = 0.0
        for i in indices:
            if i not in skip:
                p += term(x_of(i, step) if x_of else (i + 0.5) * step) * (2 if i in twice else 1)
        partial.append(p)
    total = merge(partial) if merge else sum(partial, 0.0)
    return f"{total * step:.15f}"


def blocked(n, teams):
    return [range(t * n // teams, (t + 1) * n // teams) for t in range(teams)]


def cyclic(n, teams):
    return [range(t, n, teams) for t in range(teams)]


def chunked(n, teams, chunk=7):
    return [[i for c in range(t * chunk, n, teams * chunk) for i in range(c, min(c + chunk, n))] for t in range(teams)]


def dynamic(n, teams):
    """Chunks of random size handed to whichever thread asks next."""
    rng, shares, i = random.Random(n), [[] for _ in range(teams)], 0
    while i < n:
        size = rng.randint(1, 40)
        shares[rng.randrange(teams)].extend(range(i, min(i + size, n)))
        i += size
    return shares


def tree(partial):
    """A reduction's pairwise merge."""
    while len(partial) > 1:
        partial = [partial[k] + partial[k + 1] if k + 1 < len(partial) else partial[k]
                   for k in range(0, len(partial), 2)]
    return partial[0]


class VariantBounds(unittest.TestCase):
    """A variant is held to what any order of summation of either term can print, not to the
    serial program's digits; faults still fail at every check size."""

    def check(self, n, printed, threads, serial=True):
        """The variant's check, after the serial program's (4 / fma, in order) or alone."""
        v = validate.Validator()
        if serial:
            self.assertTrue(v.check(pi_run("quadplain", 1, n, team_pi(n, _fma_term, blocked, teams=1))).ok)
        cat = CAT.with_variant("student", "/x/student", "pi")
        run = Run(Config(Series.CHECK, "student", threads, n), threads, 1, time_s=0.1, result=printed, printed_n=n,
                  entry=cat.get("student"))
        return v.check(run)

    def test_every_order_and_term_passes_and_faults_fail_at_every_check_size(self):
        from ompsuite.measure.plans import CHECK_SIZES
        f32 = lambda v: struct.unpack("f", struct.pack("f", v))[0]
        for n in CHECK_SIZES:
            for teams, term, share in itertools.product((1, 3), (_fma_term, _plain_term),
                                                        (blocked, cyclic, chunked, dynamic)):
                with self.subTest(n=n, teams=teams, term=term.__name__, share=share.__name__):
                    # One thread, unfused: at 997 one unit of the 15th decimal off the serial pi.
                    check = self.check(n, team_pi(n, term, share, teams, merge=tree if share is dynamic else None), teams)
                    self.assertTrue(check.ok, check)
            short = lambda n, teams: [range(t * (n // teams), (t + 1) * (n // teams)) for t in range(teams)]
            faults = {
                "lost last interval": team_pi(n, _fma_term, blocked, skip={n - 1}),
                "doubled interval": team_pi(n, _plain_term, cyclic, twice={n // 2}),
                "left end, not midpoint": team_pi(n, _fma_term, blocked, x_of=lambda i, step: i * step),
                "block bound drops the remainder": team_pi(n, _fma_term, short),
                "racy merge lost a partial sum": team_pi(n, _fma_term, blocked, merge=lambda p: p[0] + p[2]),
                # Within pi_bound at 997 (about 3e-8 off): the exact interval, or the serial pi, sees it.
                "step held in single precision": team_pi(n, _fma_term, blocked,
                                                         x_of=lambda i, step: (i + 0.5) * f32(step)),
            }
            for (fault, printed), serial in itertools.product(faults.items(), (True, False)):
                with self.subTest(n=n, fault=fault, serial=serial):
                    self.assertFalse(self.check(n, printed, 3, serial).ok, printed)


class Checks(unittest.TestCase):
    def check(self, runs):
        v = validate.Validator()
        return [v.check(r) for r in runs]

    def test_pi_bounds_catch_a_lost_interval_at_small_n(self):
        n = 20000
        good, lost = midpoint_pi(n), midpoint_pi(n, skip={n - 1})
        checks = self.check([pi_run("quadplain", 1, n, good), pi_run("quadguard", 2, n, good),
                             pi_run("quadmerge", 2, n, lost)])
        self.assertEqual([c.ok for c in checks], [True, True, False])
        self.assertIn("is not within", checks[2].reason)

    def test_team_of_one_must_print_the_serial_pi(self):
        n = 1000
        good = midpoint_pi(n)
        off = f"{Decimal(good) + Decimal('1e-15'):.15f}"  # within every bound, but not the serial pi
        checks = self.check([pi_run("quadplain", 1, n, good), pi_run("quadguard", 1, n, off),
                             pi_run("quadguard", 2, n, off)])
        self.assertEqual([c.ok for c in checks], [True, False, True])
        self.assertIn("one thread printed", checks[1].reason)

    def test_printed_n_and_missing_lines(self):
        r = dataclasses.replace(pi_run("quadplain", 1, 1000, midpoint_pi(1000)), printed_n=999)
        self.assertIn("printed N = 999", self.check([r])[0].reason)
        silent = Run(Config(Series.STRONG, "quadplain", 1, 10), 1, 1, entry=CAT.get("quadplain"))
        self.assertEqual(self.check([silent])[0], Check.failed("printed nothing"))
        odd = dataclasses.replace(silent, output="pi is about 3.14\n")
        self.assertEqual(self.check([odd])[0].reason, 'no pi line: expected "pi = <value>, N = <N>, time = '
                                                      '<seconds> secs"; see docs/variants.md')
        grow = Run(Config(Series.STRONG, "growsplit", 2, 10), 2, 1, time_s=0.1, result="1.0",
                   entry=CAT.get("growsplit"), output="Parallel RunTime  :  0.1 seconds\nFinal Result x:  1.0 \n")
        self.assertEqual(self.check([grow])[0].reason, 'no check value line: expected "Result ||opt||^2_2 : '
                                                       '<value>"; see docs/variants.md')
        for kind in C.VARIANT_KINDS:  # each line as the message and docs/variants.md give it is read
            for label, fields, shape in kind.expected:
                line = shape.replace("<value>", "1.5").replace("<N>", "10").replace("<seconds>", "0.1")
                self.assertEqual(sorted(kind.read(line.replace("<name>", "opt[N]") + "\n")), sorted(fields), label)

    def test_recurrence_closed_forms(self):
        # N = 5 by hand: the final value is RATIO**7, the check value sum(RATIO**(2(k+1))) / 5.
        r = Decimal(validate.RATIO)
        self.assertAlmostEqual(float(validate.closed_final(5)), float(r ** 7), places=15)
        self.assertAlmostEqual(float(validate.closed_check(5, 1)), float(sum(r ** (2 * (k + 1)) for k in range(6)) / 5))
        entry = CAT.get("growplain")
        run = Run(Config(Series.STRONG, "growplain", 1, 5), 1, 1, time_s=0.1, result=f"{float(r ** 7):.17g}",
                  check_value=f"{float(validate.closed_check(5, 1)):f}", entry=entry)
        self.assertTrue(self.check([run])[0].ok)
        run = dataclasses.replace(run, config=Config(Series.STRONG, "growplain", 1, 6))  # built for another N
        self.assertIn("built for another N", self.check([run])[0].reason)

    def test_team_report(self):
        out = "Number of threads = 2\nThread 1 is starting...\nThread 0 is starting...\n"
        entry = CAT.get("teamtally")
        run = Run(Config(Series.STRONG, "teamtally", 2, 0), 2, 1, result=validate.TEAM_TOTAL, team_reported=2,
                  entry=entry, output=out)
        self.assertTrue(self.check([run])[0].ok)
        run = dataclasses.replace(run, output=out + "Thread 1 is starting...\n")  # a thread started twice
        self.assertIn("start lines", self.check([run])[0].reason)


class Statistics(unittest.TestCase):
    def test_summary_rows(self):
        n = 1000
        pi = midpoint_pi(n)
        runs = [pi_run("quadplain", 1, n, pi, k, t) for k, t in ((1, 0.30), (2, 0.20), (3, 0.13))]
        runs += [pi_run("quadguard", 2, n, pi, k, t) for k, t in ((1, 0.14), (2, 0.10), (3, 0.09))]
        runs += [pi_run("quadmerge", 2, n, pi, 1, 0.1, check=Check.failed("made up"))]
        rows = {r.program: r for r in stats.summarise(runs, CAT)}
        self.assertEqual(list(rows), ["quadplain", "quadguard", "quadmerge"])
        guard = rows["quadguard"]
        self.assertEqual((guard.min_s, guard.median_s, guard.max_s), (0.09, 0.10, 0.14))
        self.assertAlmostEqual(guard.speedup, 2.0)  # medians 0.2 / 0.1, not means or minima
        self.assertAlmostEqual(guard.efficiency, 1.0)
        self.assertAlmostEqual(guard.karp_flatt, 0.0)
        self.assertEqual((guard.units_from_serial, guard.reproducible), (0, "yes"))
        # Repeats that print different right values: their order of summation varies, which is allowed.
        other = pi[:-1] + str((int(pi[-1]) + 1) % 10)
        varied = stats.summarise(runs[:4] + [pi_run("quadguard", 2, n, other, 2, 0.1)], CAT)[1]
        self.assertEqual((varied.reproducible, varied.notes, guard.notes),
                         ("no: 2 results in 2 runs", (stats.ORDER_NOTE,), ()))
        self.assertEqual(rows["quadmerge"].check.reason, "1 of 1 runs: made up")
        self.assertIsNone(rows["quadmerge"].median_s)  # a failed run enters no figure

    def test_a_time_that_leaves_out_much_of_its_life_is_said(self):
        from ompsuite.platform.interference import Interference
        n, pi = 1000, midpoint_pi(1000)
        # A run at a check size lived 4 ms: its start and end. Each row's runs lived 104 ms.
        start = dataclasses.replace(pi_run("quadguard", 2, 997, midpoint_pi(997)), config=Config(
            Series.CHECK, "quadguard", 2, 997), interference=Interference(0.004, 2))
        for printed, noted in ((0.05, True), (0.097, False), (0.08, False)):
            runs = [start] + [pi_run("quadguard", 2, n, pi, k, printed, interference=Interference(0.104, 2))
                              for k in (1, 2, 3)]
            row = stats.summarise(runs, CAT)[0]
            self.assertEqual("its printed time covers 50% of its process's life" in row.note, noted, row.note)
            self.assertTrue(row.check.ok)  # said, never failed: a program may rightly time its kernel alone

    def test_no_speedup_above_its_team_is_a_result(self):
        def fill(program, threads, wall, system, repeat=1, **kw):
            return Run(Config(Series.STRONG, program, threads, 1000), threads, repeat, time_s=wall, result="1",
                       interference=Interference(wall, 2, user_s=wall - system, system_s=system), entry=CAT.get(program),
                       **kw)
        # growplain met memory the VM had handed back: nearly all its time in page faults.
        runs = [fill("growplain", 1, 3.49, 3.36), fill("growsplit", 1, 0.226, 0.02), fill("growsplit", 2, 0.12, 0.04),
                fill("growsplit", 2, 0.20, 0.30, repeat=2, disturbed="steal 0.1 s")]
        rows = {(r.program, r.threads): r for r in stats.summarise(runs, CAT)}
        one, two = rows[("growsplit", 1)], rows[("growsplit", 2)]
        self.assertEqual((one.state, two.state), (State.IMPOSSIBLE, State.IMPOSSIBLE))
        self.assertIn("on 1 thread is above its team: growplain spent 3.36 s of 3.49 s in page faults that growsplit "
                      "did not meet", one.impossible)
        # Without the faults: (3.49 - 3.36) / (0.12 - 0.04 / 2) = 1.3 on two threads.
        self.assertAlmostEqual(two.speedup_no_faults, 0.13 / 0.10)
        self.assertIn("met the kernel's page faults differently: 0.12–0.2 s, of which 0.04–0.30 s system", two.note)
        # Within 10% of the team without an interval: a note, not a verdict.
        near = [fill("growplain", 1, 2.1, 0.1), fill("growsplit", 2, 1.0, 0.1)]
        row = stats.summarise(near, CAT)[1]
        self.assertEqual(row.state, State.OK)
        self.assertIn("a little above the team of 2", row.note)
        # A variant printing a quarter of its time on two threads, beside a baseline with one disturbed run
        # (left out): faster than two threads even against the baseline's best run, so its own time is wrong.
        cat = CAT.with_variant("fibber", "/x/fibber", "pi")
        pi = midpoint_pi(1000)
        runs = [pi_run("quadplain", 1, 1000, pi, k, t) for k, t in ((1, 0.20), (2, 0.21), (3, 0.22))]
        runs += [pi_run("quadplain", 1, 1000, pi, 4, 0.5, disturbed="other load 1.0 CPU-s (1.0 cores)")]
        runs += [Run(Config(Series.STRONG, "fibber", 2, 1000), 2, k, time_s=0.05, result=pi, printed_n=1000,
                     entry=cat.get("fibber")) for k in (1, 2, 3)]
        fibber = stats.summarise(runs, cat)[1]
        self.assertEqual(fibber.state, State.IMPOSSIBLE)
        self.assertIn("fibber's own time cannot be right", fibber.impossible)
        self.assertNotIn("disturbed", fibber.impossible)

    def test_crossover_interpolates_in_log_n(self):
        rows = [Summary(Series.SWEEP, "quadguard", 2, n, speedup=s, entry=CAT.get("quadguard"))
                for n, s in ((1000, 0.5), (100000, 1.7))]
        self.assertAlmostEqual(stats.measured_crossover(rows, "quadguard", 2), 10000.0)
        self.assertIsNone(stats.measured_crossover(rows, "quadguard", 2, gain=2.0))


class TimeModel(unittest.TestCase):
    FIGURES = {("add_latency", 1): (1e-9, 1e-9), ("first_region", 2): (1e-5, 1e-5), ("critical", 2): (1e-6, 1e-6),
               ("static_loop", 2): (2e-6, 2e-6), ("reduction", 2): (3e-6, 3e-6), ("mul_latency", 1): (4e-9, 4e-9),
               ("first_touch", 2): (0.1, 0.1), ("write_touched", 2): (0.5, 0.5)}

    def test_terms(self):
        m = Model(self.FIGURES)
        self.assertEqual(m.terms(CAT.get("quadguard"), 2, 10**6),
                         {"addition latency": 10**6 * 1e-9 / 2, "construct overhead": 1e-5})
        merge = m.terms(CAT.get("quadmerge"), 2, 10**6)["construct overhead"]
        self.assertAlmostEqual(merge, 1e-5 - 1e-6 + 2e-6 + 3e-6)
        fill = m.terms(CAT.get("growsplit"), 2, 10**6 - 1)  # 8 MB: writes 4 ms beat the 2 ms chain
        self.assertAlmostEqual(fill["first touch"], 0.008 * 0.1)
        self.assertAlmostEqual(fill["memory writes"], 0.008 * 0.5)
        self.assertIsNone(m.terms(CAT.get("quadguard"), 4, 10))  # no calibration for that team
        self.assertAlmostEqual(m.crossover(CAT.get("quadguard"), 2), 1.1 * 1e-5 / (1e-9 * (1 - 1.1 / 2)))
        # A figure from a user's file so small that the crossover's divisor underflows: no crossover.
        tiny = Model({**self.FIGURES, ("add_latency", 1): (5e-324, 5e-324)})
        self.assertIsNone(tiny.crossover(CAT.get("quadguard"), 2))
        # ... and so small that a median over the floor leaves the doubles: no floor, in words.
        row, = tiny.apply([Summary(Series.STRONG, "quadplain", 1, 10**6, median_s=1e-3, entry=CAT.get("quadplain"))])
        self.assertEqual((row.pct_floor, row.floor_s), (None, None))
        self.assertIn("no finite floor", row.note)

    def test_median_below_its_floor_is_no_result(self):
        m = Model({**self.FIGURES, ("add_latency", 1): (1e-9, 0.9e-9)})  # floor 5e-4 s, least 4.5e-4 s
        guard = CAT.get("quadguard")
        rows = m.apply([Summary(Series.STRONG, "quadguard", 2, 10**6, median_s=t, median_low=low, median_high=high,
                                entry=guard)
                        for t, low, high in ((4.8e-4, None, None), (4e-4, None, None), (4e-4, 3.9e-4, 4.6e-4),
                                             (4e-4, 3.9e-4, 4.4e-4))])
        self.assertEqual([r.state for r in rows], [State.OK, State.IMPOSSIBLE, State.OK, State.IMPOSSIBLE])
        self.assertTrue(all(r.check.ok for r in rows))  # no fault of the program's: its time is no result
        self.assertIn("80% of the floor", rows[1].impossible)
        self.assertIn("the calibration is suspect", rows[1].impossible)
        self.assertEqual(rows[0].bound_by, "addition latency")
        fibber = CAT.with_variant("fibber", "/x/fibber", "pi").get("fibber")
        row = m.apply([Summary(Series.STRONG, "fibber", 2, 10**6, median_s=4e-4, entry=fibber)])[0]
        self.assertIn("so fibber's own time cannot be right", row.impossible)
        from ompsuite.analyse import derive
        from ompsuite.study import Study
        lines = derive.doubt_lines(Study((), CAT, summaries=(row,)))
        self.assertEqual(len(lines), 1)
        self.assertIn("fibber printed times below the calibration's floors", lines[0])

    def test_what_the_calibration_cannot_resolve_or_does_not_cover(self):
        m = Model({**self.FIGURES, ("critical", 1): (-1.75e-9, -3.5e-9), ("reduction", 1): (3.2e-9, 3.1e-9),
                   ("static_loop", 1): (1.7e-9, -0.4e-9)}, cores=2)
        lines = {line.split(":")[0]: line for line in m.describe()}
        # Within its interval of nothing: under the interval's width, never a negative cost.
        self.assertEqual(lines["- critical"], "- critical: < 3.5 ns (1 thr), 1000 ns (2 thr)")
        self.assertEqual(lines["- static_loop"], "- static_loop: < 4.2 ns (1 thr), 2000 ns (2 thr)")
        self.assertEqual(lines["- reduction"], "- reduction: 3.2 ns (1 thr), 3000 ns (2 thr)")
        four = m.apply([Summary(Series.STRONG, "quadguard", 4, 10**6, median_s=1e-3, entry=CAT.get("quadguard"))])
        self.assertEqual(four[0].note, "oversubscribed: 4 threads on 2 cores, which the calibration does not measure")


class CalibrationWatch(unittest.TestCase):
    """The calibration is taken again while other load or steal disturbs it, and not used when
    every try was disturbed."""

    @staticmethod
    def snapshots(*others, steal=0.0):
        """take() for runs that each saw this many CPU-seconds of other load, and steal seconds."""
        from ompsuite.platform.interference import CpuTimes, Snapshot
        busy, stolen, taken = [0.0], [0.0], []
        for other in others:
            taken += [None, other]  # the load shows in the snapshot after the run

        def take():
            other = taken.pop(0)
            busy[0] += other or 0.0
            stolen[0] += steal if other is not None else 0.0
            return Snapshot(CpuTimes(busy[0], stolen[0], 2, 100), {})
        return take

    def test_retaken_until_quiet(self):
        from ompsuite.measure import calibration
        env = {"PATH": "/usr/bin:/bin"}
        with mock.patch.object(calibration, "progress") as said:
            done, why = calibration.watched(["true"], env, {}, take=self.snapshots(5.0, 0.0))
        self.assertIsNone(why)
        self.assertEqual(done.returncode, 0)
        self.assertEqual(len(said.call_args_list), 1)
        self.assertIn("the calibration was disturbed (other load", said.call_args.args[0])
        with mock.patch.object(calibration, "progress"):
            _, why = calibration.watched(["true"], env, {}, take=self.snapshots(5.0, 5.0, 5.0))
        self.assertRegex(why, r"^other load: \d")
        with mock.patch.object(calibration, "progress"):  # a threshold raised by the user is the one used
            _, why = calibration.watched(["true"], env, {"load_cores": 1e6}, take=self.snapshots(5.0))
        self.assertIsNone(why)

    def test_sporadic_steal_passes_and_lasting_steal_does_not(self):
        # A virtual machine's few percent of steal leaves the calibration's medians as they are; steal
        # of a large share of its time does not.
        from ompsuite.measure import calibration
        env = {"PATH": "/usr/bin:/bin"}
        with mock.patch.object(calibration, "progress"):
            _, why = calibration.watched(["sleep", "0.5"], env, {}, take=self.snapshots(0.0, 0.0, 0.0, steal=0.08))
            self.assertIsNone(why)
            _, why = calibration.watched(["sleep", "0.5"], env, {}, tries=1, take=self.snapshots(0.0, steal=0.4))
            self.assertRegex(why, r"^steal: \d\.\d\d cores over 0\.20 \(--disturbed-steal\)")




class approx(float):
    """A float equal to any within a part in 10^9 of it."""
    def __eq__(self, other):
        return abs(self - other) <= 1e-9 * max(abs(self), 1.0)

    __hash__ = float.__hash__


class Progress(unittest.TestCase):
    def test_a_quoted_path_cannot_steer_the_terminal(self):
        import contextlib
        import io
        from ompsuite.platform.console import progress
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            progress("v: run /tmp/x\x1b]0;owned\x07y/prog \u202e\nsecond line")
        self.assertEqual(err.getvalue(), "v: run /tmp/x\\x1b]0;owned\\x07y/prog \\u202e\nsecond line\n")

    def test_time_left_from_runs_of_the_same_kind(self):
        from ompsuite.platform.console import RunProgress
        from ompsuite.measure.plans import Job
        fill, pi = CAT.get("growplain"), CAT.get("quadplain")
        jobs = [Job(Config(Series.STRONG, "quadplain", 1, 5), pi, "", k, "", (), {}) for k in (1, 2)]
        jobs += [Job(Config(Series.STRONG, "growplain", t, 10), fill, "", 1, "", (), {}) for t in (1, 2)]
        jobs += [Job(Config(Series.STRONG, "quadplain", 2, 5), pi, "", 1, "", (), {})]
        p = RunProgress(jobs, live=False)
        self.assertEqual(p.estimate(0), (0.0, 5))
        p.done(1, 0.1)
        # A fill not yet timed is counted, never priced as a pi run; the pi run on two threads
        # is priced from the same program and size on one.
        self.assertEqual(p.estimate(1), (approx(0.2), 2))
        p.done(3, 10.0)
        # Left: the other team's fill like the first, and the pi run, not the mean of all runs.
        self.assertEqual(p.estimate(3), (approx(10.1), 0))


if __name__ == "__main__":
    unittest.main()

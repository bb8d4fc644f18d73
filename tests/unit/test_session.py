"""The scheduling, with an executor that starts no process: repeats and their interleaving, the
rounds that replace disturbed runs and chase the precision target, the budget, a stop part way,
the journal, and summaries keyed on the team obtained."""
import contextlib
import dataclasses
import io
import json
import os
import random
import re
import tempfile
import unittest
from unittest import mock

from ompsuite import catalogue as C
from ompsuite.analyse import significance
from ompsuite.analyse.derive import study_of_journal
from ompsuite.errors import Interrupted, SuiteError
from ompsuite.measure import flow, plans
from ompsuite.options import Options
from ompsuite.measure.session import Session, Stopped, conclude
from ompsuite.platform import machine as M
from ompsuite.study import FORMAT, JOURNAL_MARK, Config, Flag, Journal, Run, Series, load, read_journal, dumps, Study

CAT = C.Catalogue()
N = 100000000
# The serial sum, exact for this N as the checks want it.
PI_1E8 = "3.141592653589903"


class Binding:
    def env(self, threads=None):
        return {} if threads is None else {"OMP_NUM_THREADS": str(threads)}


class FakeExecutor:
    """Turns a job into a scripted run: time(job, k) gives the k-th run's time of its
    configuration (None: no time printed), team(job) the team obtained, disturbed(job, k) a reason."""

    def __init__(self, time=None, team=None, disturbed=None, stop_after=None):
        self.time = time or (lambda job, k: 0.1 / (job.threads or 1))
        self.team = team or (lambda job: job.threads if job.entry.parallel else 1)
        self.disturbed = disturbed or (lambda job, k: "")
        self.stop_after = stop_after
        self.shortfalls, self.ran, self.count = [], [], {}

    def run(self, job):
        if self.stop_after is not None and len(self.ran) == self.stop_after:
            raise Interrupted(2)
        k = self.count[job.config] = self.count.get(job.config, 0) + 1
        self.ran.append(job.config)
        n = job.problem_size
        result = PI_1E8 if n == N else _small_pi(n)
        return Run(job.config, self.team(job), job.repeat, time_s=self.time(job, k), result=result,
                   disturbed=self.disturbed(job, k), printed_n=n, entry=job.entry)


def _small_pi(n):
    step, total = 1.0 / n, 0.0
    for i in range(n):
        x = (i + 0.5) * step
        total += 4.0 / (x * x + 1.0)
    return f"{total * step:.15f}"


def strong_jobs(teams=(1, 2), repeats=3, catalogue=CAT):
    return plans.strong(catalogue, plans.Folders("/bin"), Binding(), list(teams), N, repeats)


def run_session(jobs, executor, precision=0.0, budget=2.0, journal=None):
    topup = plans.TopUp(jobs, precision, budget)
    session = Session(executor, journal=journal, live=False)
    with contextlib.redirect_stderr(io.StringIO()):  # one progress line per run
        session.execute(jobs, topup=topup)
    return session, topup


def study_of(session, topup, stopped=None):
    return conclude(session, CAT, None, topup, (("host", "test"),), stopped)


class Scheduling(unittest.TestCase):
    def test_repeats_interleave_every_program_and_team(self):
        ex = FakeExecutor()
        run_session(strong_jobs(repeats=3), ex)
        first_round = [(c.program, c.threads) for c in ex.ran[:5]]
        self.assertEqual(first_round, [("quadplain", 1), ("quadguard", 1), ("quadmerge", 1),
                                       ("quadguard", 2), ("quadmerge", 2)])
        self.assertEqual(len(ex.ran), 15)  # 3 rounds of 5, nothing more without disturbance or target
        self.assertEqual(ex.ran[5:10], ex.ran[:5])

    def test_rounds_are_shuffled_by_the_seed_and_checks_keep_their_order(self):
        import random
        checks = plans.small_checks(CAT, plans.Folders("/bin"), Binding(), [1, 2])
        sizes = {s: sorted({j.problem_size for j in plans.small_checks(CAT, plans.Folders("/bin"), Binding(), [1],
                                                                         s)}) for s in range(20)}
        drawn = {n[-1] for n in sizes.values()}  # a third check size, drawn from the seed: no fixed one to spot
        self.assertTrue(len(drawn) > 10 and all(plans.DRAWN_CHECK[0] <= n < plans.DRAWN_CHECK[1] for n in drawn))
        self.assertEqual(sizes[3], sorted({j.problem_size for j in plans.small_checks(CAT, plans.Folders("/bin"),
                                                                                       Binding(), [1], 3)}))
        timed = strong_jobs(repeats=8)
        jobs = checks + plans.interleave(timed, random.Random(7))
        self.assertEqual(jobs[:len(checks)], checks)
        rounds = [jobs[len(checks) + 5 * k:len(checks) + 5 * (k + 1)] for k in range(8)]
        for k, r in enumerate(rounds):  # each round is the same runs, in an order of its own
            self.assertEqual(sorted(j.config.program + str(j.threads) for j in r),
                             sorted(j.config.program + str(j.threads) for j in timed[5 * k:5 * (k + 1)]))
            self.assertEqual({j.repeat for j in r}, {k + 1})
        firsts = {r[0].config for r in rounds}
        self.assertGreater(len(firsts), 1)  # no program always meets the machine first
        again = checks + plans.interleave(timed, random.Random(7))
        self.assertEqual(again, jobs)  # the seed repeats the order
        self.assertNotEqual(checks + plans.interleave(timed, random.Random(8)), jobs)

    def test_disturbed_run_is_replaced_and_left_out(self):
        # quadguard at 2 threads: its first run disturbed and ten times slower.
        def time(job, k):
            slow = job.program == "quadguard" and job.threads == 2 and k == 1
            return 1.0 if slow else 0.1 / job.threads
        ex = FakeExecutor(time=time, disturbed=lambda job, k: "other load: 1.00 cores over 0.10 (--disturbed-load)"
                          if job.program == "quadguard" and job.threads == 2 and k == 1 else "")
        session, topup = run_session(strong_jobs(repeats=3), ex)
        guard2 = Config(Series.STRONG, "quadguard", 2, N)
        self.assertEqual(ex.ran.count(guard2), 4)  # one more run replaced the disturbed one
        self.assertEqual(ex.ran[-1], guard2)
        row = next(s for s in study_of(session, topup).summaries if s.key == (Series.STRONG, "quadguard", 2, N))
        self.assertEqual((row.left_out, row.runs), (1, 4))
        self.assertAlmostEqual(row.median_s, 0.05)  # the slow disturbed run is out of the figures
        self.assertFalse(row.has(Flag.UNTRUSTED))
        self.assertEqual(str(row.mark(Flag.DISTURBED)),
                         "1 of 4 runs disturbed (other load in 1 run, 1.00 cores over 0.10 (--disturbed-load))")

    def test_budget_spent_marks_untrusted(self):
        # quadmerge's runs break the steal rule, by more each time; quadguard's the lost-cores rule once.
        def disturbed(job, k):
            if job.program == "quadmerge":
                return f"steal: {0.1 * k:.2f} cores over 0.02 (--disturbed-steal)"
            return "kept off its cores: 0.50 cores over 0.25 (--disturbed-lost)" if job.program == "quadguard" and \
                k == 1 else ""
        ex = FakeExecutor(time=lambda job, k: 0.05 * k if job.program == "quadmerge" else 0.05, disturbed=disturbed)
        session, topup = run_session(strong_jobs(teams=(2,), repeats=3), ex, budget=2.0)
        merge2 = Config(Series.STRONG, "quadmerge", 2, N)
        self.assertEqual(ex.ran.count(merge2), 6)  # twice the planned runs, then no more
        study = study_of(session, topup)
        row = next(s for s in study.summaries if s.program == "quadmerge")
        self.assertTrue(row.has(Flag.UNTRUSTED))
        self.assertIn("3 of the 3 clean runs asked for are missing after 6 runs, the budget: disturbed; no clean run: "
                      "the median is of 6 disturbed runs", row.untrusted)
        # Its median is shown, of the disturbed runs, in brackets; no speedup is made of it.
        self.assertAlmostEqual(row.median_s, 0.175)
        self.assertEqual((row.speedup, row.efficiency), (None, None))
        from ompsuite.export import tables
        self.assertEqual(tables.median_cell(row), "(175 ms)")
        # One note for the row, its figure covering the runs it was seen in; the closing line names
        # the one option that would have admitted them (quadguard's disturbed run was replaced).
        notes = tables.row_notes(row)
        self.assertEqual(len(notes), 1, notes)
        self.assertIn("6 of 6 runs disturbed (steal in 6 runs, mean 0.35 cores over 0.02 (--disturbed-steal))",
                      notes[0])
        from ompsuite.analyse.derive import doubt_lines
        closing = " ".join(doubt_lines(study))
        self.assertIn("steal (0.35 cores, mean of 6 runs, over 0.02)", closing)
        self.assertIn("accept more with --disturbed-steal CORES", closing)
        self.assertNotIn("--disturbed-lost", closing)
        self.assertNotIn("--disturbed-load", closing)
        self.assertTrue(next(s for s in study.summaries if s.program == "quadguard").check.ok)

    def test_precision_target_runs_more_until_met_or_budget(self):
        # Spread runs of quadguard at 2 threads: the interval is wide, so rounds of it and its
        # baseline follow until the budget; steady ones need none.
        def time(job, k):
            if job.program == "quadguard" and job.threads == 2:
                return 0.05 * (1.0 + 0.3 * (k % 3))
            return 0.1 / job.threads
        ex = FakeExecutor(time=time)
        session, topup = run_session(strong_jobs(teams=(1, 2), repeats=3), ex, precision=0.03, budget=2.0)
        guard2 = Config(Series.STRONG, "quadguard", 2, N)
        self.assertEqual(ex.ran.count(guard2), 6)
        self.assertEqual(ex.ran.count(Config(Series.STRONG, "quadmerge", 2, N)), 3)
        study = study_of(session, topup)
        row = next(s for s in study.summaries if s.key == (Series.STRONG, "quadguard", 2, N))
        self.assertTrue(row.has(Flag.IMPRECISE))
        line = [n for n in study.notes if "precision target" in n]
        self.assertEqual(len(line), 1)
        self.assertIn("not met within the budget for: quadguard 2 threads", line[0])
        self.assertNotIn("quadmerge", line[0])

    def test_the_bootstrap_is_retaken_only_as_the_runs_grow(self):
        # A target no spread meets: 100 rounds of top-ups, the interval taken again each time the
        # runs have grown by a tenth (and once more at the budget), not every round.
        sizes = []
        real = significance.ratio_interval
        spread = FakeExecutor(time=lambda job, k: 0.05 * (1.0 + 0.003 * (k * 37 % 101)) if job.program == "quadguard"
                              else 0.1 / job.threads)
        with mock.patch.object(significance, "ratio_interval",
                               side_effect=lambda a, b: sizes.append((len(a) + len(b), len(set(b)))) or real(a, b)):
            run_session(strong_jobs(teams=(2,), repeats=100), spread, precision=0.001)
        self.assertEqual(spread.ran.count(Config(Series.STRONG, "quadguard", 2, N)), 200)
        guard = [n for n, values in sizes if values > 1]  # quadmerge's steady times are one value
        self.assertLess(len(sizes), 15, sizes)
        self.assertEqual(guard[-1], 400)
        self.assertTrue(all(b >= 1.1 * a for a, b in zip(guard, guard[1:-1])), guard)

    def test_a_time_of_zero_has_no_speedup_to_chase(self):
        # A program printing time = 0.00000000: no speedup, so nothing to top up, and no traceback.
        ex = FakeExecutor(time=lambda job, k: 0.0 if job.program == "quadguard" else 0.1 / job.threads)
        session, topup = run_session(strong_jobs(teams=(1, 2), repeats=3), ex, precision=0.03)
        self.assertEqual(len(ex.ran), 15)
        guard = [s for s in study_of(session, topup).summaries if s.program == "quadguard"]
        self.assertEqual([(s.median_s, s.speedup) for s in guard], [(0.0, None), (0.0, None)])
        self.assertTrue(all("its printed time is 0 in 3 of 3 runs" in "; ".join(s.notes) for s in guard), guard)

    def test_teams_asked_that_gave_one_team_share_a_row_and_its_notes(self):
        # As under OMP_THREAD_LIMIT=2 with --threads 2,3: both asked teams run as 2.
        ex = FakeExecutor(team=lambda job: min(job.threads, 2) if job.entry.parallel else 1,
                          time=lambda job, k: 0.1 / min(job.threads, 2))
        session, topup = run_session(strong_jobs(teams=(2, 3), repeats=3), ex, precision=0.03)
        study = study_of(session, topup)
        guard = [s for s in study.summaries if s.program == "quadguard"]
        self.assertEqual([(s.threads, s.asked, s.runs) for s in guard], [(2, (2, 3), 6)])
        self.assertIn("asked for 3 threads, the runtime gave 2", guard[0].note)
        self.assertIn("precision target met", " ".join(study.notes))

    def test_a_slow_portable_level_is_said_on_the_suites_pi_rows(self):
        session, topup = run_session(strong_jobs(repeats=1), FakeExecutor())
        for level, noted in ((M.SOFTWARE_FMA, True), ("portable build, x86-64-v4 code, hardware fma", False)):
            study = conclude(session, CAT, None, topup, (("pi_level", level),), None)
            pi = [s for s in study.summaries if s.program_entry.kind is C.PI]
            self.assertTrue(pi)
            self.assertEqual({M.SOFTWARE_FMA in s.note for s in pi}, {noted}, level)


class Stopping(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(lambda: __import__("shutil").rmtree(self.tmp))

    def stopped_journal(self, jobs, stop_after, precision=0.0):
        """A journal of a study stopped after stop_after runs, its runs in the seeded order."""
        path = os.path.join(self.tmp, "runs.jsonl")
        journal = Journal(path, HEADER)
        ex = FakeExecutor(stop_after=stop_after, time=noisy)
        session = Session(ex, journal=journal, live=False)
        with self.assertRaises(Stopped) as stop, contextlib.redirect_stderr(io.StringIO()):
            session.execute(jobs, where=self.tmp, topup=plans.TopUp(jobs, precision, 2.0, random.Random(7)))
        journal.close()
        return path, ex, session, stop.exception

    def test_stop_part_way_keeps_every_whole_run_in_the_journal_and_the_study(self):
        jobs = strong_jobs(repeats=3)
        path, ex, session, stopped = self.stopped_journal(jobs, 7)
        self.assertEqual(stopped.status, 130)
        self.assertIn(f"7 of 15 runs saved in {self.tmp}", str(stopped))
        kept = read_journal(path)
        self.assertEqual(kept.header, HEADER)
        self.assertEqual([r.config for r in kept.runs], ex.ran)
        self.assertEqual(list(kept.runs), session.runs)
        # The study of what was kept round-trips through its JSON form, flagged as incomplete.
        study = study_of(session, plans.TopUp(jobs, 0.0), stopped)
        with open(os.path.join(self.tmp, "study.json"), "w") as f:
            f.write(dumps(study))
        back = load(os.path.join(self.tmp, "study.json"))
        self.assertFalse(back.completed)
        self.assertIn("interrupted", back.stopped)
        self.assertEqual(back.runs, study.runs)
        self.assertEqual([dataclasses.replace(s, entry=None) for s in back.summaries],
                         [dataclasses.replace(s, entry=None) for s in study.summaries])
        # So does the study the journal alone holds, as compare reads a killed study's folder.
        alone = study_of_journal(path)
        self.assertFalse(alone.completed)
        self.assertEqual((alone.runs, alone.summaries), (study.runs, study.summaries))

    def test_a_resumed_study_runs_what_the_stopped_one_had_left(self):
        """Stopped part way through the top-up rounds, then resumed: the runs are the journal's and
        then exactly those an unbroken study would have made, none of the journal's run again."""
        jobs = plans.interleave(strong_jobs(teams=(1, 2, 3), repeats=4), random.Random(7))
        whole = FakeExecutor(time=noisy)
        session = Session(whole, live=False)
        with contextlib.redirect_stderr(io.StringIO()):
            session.execute(jobs, topup=plans.TopUp(jobs, 0.01, 2.0, random.Random(7)))
        self.assertGreater(len(whole.ran), len(jobs))  # top-up rounds ran
        for stop_after in (len(jobs) // 2, len(jobs) + 2):
            with self.subTest(stop_after=stop_after):
                path, first, _, _ = self.stopped_journal(jobs, stop_after, precision=0.01)
                kept = read_journal(path)
                rest = FakeExecutor(time=lambda job, k: noisy(job, k + first.count.get(job.config, 0)))
                resumed = Session(rest, live=False)
                with contextlib.redirect_stderr(io.StringIO()):
                    resumed.execute(jobs, topup=plans.TopUp(jobs, 0.01, 2.0, random.Random(7)), done=kept.runs)
                self.assertEqual(first.ran + rest.ran, whole.ran)
                self.assertEqual(resumed.runs[:stop_after], list(kept.runs))
                self.assertEqual(resumed.runs, session.runs)
                os.remove(path)
        # A journal whose runs are not the plan's first jobs is refused, not mixed in.
        other = Session(FakeExecutor(), live=False)
        with self.assertRaisesRegex(Stopped, "another plan"), contextlib.redirect_stderr(io.StringIO()):
            other.execute(jobs[1:], done=session.runs[:3])

    def test_a_cut_last_line_is_left_out_and_cut_off_when_resumed(self):
        path = os.path.join(self.tmp, "runs.jsonl")
        journal = Journal(path, HEADER)
        run_session(strong_jobs(teams=(1,), repeats=1), FakeExecutor(), journal=journal)
        journal.close()
        with open(path, "a") as f:
            f.write('{"series": "strong", "prog')
        kept = read_journal(path)
        self.assertEqual(len(kept.runs), 3)
        Journal(path, HEADER, kept.size).add(kept.runs[0])
        self.assertEqual(read_journal(path).runs, kept.runs + kept.runs[:1])

    def test_what_is_not_this_suites_journal_is_refused(self):
        path = os.path.join(self.tmp, "runs.jsonl")
        for first, words in (('{"series": "strong"}', "no journal header"), ("", "no journal header"),
                             (json.dumps(dict(HEADER, format=2)), "format 2 is not")):
            with open(path, "w") as f:
                f.write(first + "\n")
            with self.assertRaisesRegex(SuiteError, words):
                read_journal(path)


class Resuming(unittest.TestCase):
    """What --resume takes from a journal's header, and what it refuses, each in one line."""

    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(lambda: __import__("shutil").rmtree(self.tmp))
        self.options = {k: getattr(Options(threads=[1, 2], seed=7, repeats=5), k) for k in flow.PLAN_OPTIONS}
        self.options["programs"] = [["mine", "/x/mine.cpp", None]]

    def journal(self, **plan):
        head = dict(HEADER, machine=[["processor", "P"], ["cores", "2"], ["cpus", "2"], ["memory_bytes", str(8 << 30)]],
                    plan=dict({"options": self.options, "programs": {"quadplain": "a"}, "jobs": "j"}, **plan))
        Journal(os.path.join(self.tmp, "runs.jsonl"), head).close()
        return read_journal(os.path.join(self.tmp, "runs.jsonl"))

    def test_the_options_are_the_journals_or_must_make_its_plan(self):
        self.journal()
        alone = flow.resumed_options(self.tmp, None)
        self.assertEqual((alone.repeats, alone.threads, alone.seed, alone.out), (5, [1, 2], 7, self.tmp))
        self.assertEqual(alone.programs, [C.VariantArg("mine", "/x/mine.cpp", None)])
        same = flow.resumed_options(self.tmp, dataclasses.replace(alone, seed=None))
        self.assertEqual(same.seed, 7)  # a seed not given is the journal's
        with self.assertRaisesRegex(SuiteError, r"another plan \(--repeats 5 there, 3 here\): give --resume alone$"):
            flow.resumed_options(self.tmp, dataclasses.replace(alone, repeats=3))
        self.options["threads"] = ["1"]
        self.journal()
        with self.assertRaisesRegex(SuiteError, "holds no plan this version reads"):
            flow.resumed_options(self.tmp, None)

    def test_another_machine_other_programs_or_another_plan_are_refused(self):
        kept = self.journal()
        now = {"machine": list(kept.machine), "plan": dict(kept.header["plan"])}
        flow.check_resumable(kept, now, "J")
        for change, words in (({"machine": [["processor", "P"], ["cores", "4"], ["cpus", "2"]]},
                               r"^J was made on another machine \(cores 2 there, 4 here\)$"),
                              ({"plan": dict(now["plan"], programs={"quadplain": "b"})},
                               r"^J was made by other programs \(quadplain changed since\)$"),
                              ({"plan": dict(now["plan"], jobs="k")}, r"^J was made for another plan")):
            with self.subTest(words=words), self.assertRaisesRegex(SuiteError, words):
                flow.check_resumable(kept, dict(now, **change), "J")


def noisy(job, k):
    """A time that varies from run to run, so that the precision target asks for more."""
    return 0.1 / (job.threads or 1) * (1 + 0.05 * ((k * 7 + len(job.program)) % 5))


HEADER = {"journal": JOURNAL_MARK, "format": FORMAT, "machine": [["host", "test"]], "variants": [], "plan": {}}


class Loading(unittest.TestCase):
    def test_foreign_and_damaged_studies_are_refused_in_one_line(self):
        from ompsuite.errors import SuiteError
        ok = study_of(*run_session(strong_jobs(teams=(1,), repeats=1), FakeExecutor())).to_json()
        bad = [({"format": 99}, "format 99"), ([], "not a study"), (dict(ok, runs=[{"series": "nope"}]), "series"),
               (dict(ok, runs=[dict(ok["runs"][0], program="ghost")]), "ghost"),
               (dict(ok, summaries=[dict(ok["summaries"][0], runs=-1)]), "runs"),
               (dict(ok, machine=[["a"]]), "pair")]
        for data, words in bad:
            with self.subTest(words=words), self.assertRaisesRegex(SuiteError, words) as e:
                Study.from_json(data, "x/study.json")
            self.assertEqual(e.exception.status, 2)
            self.assertNotIn("\n", str(e.exception))

    def test_how_a_variant_was_made_round_trips(self):
        from ompsuite.errors import SuiteError
        made = C.Build("/class/racy.cpp", "g++ 12.2", "-O2 -fopenmp", "racy.cpp:3: warning: unused", "",
                       C.Race.FOUND, ("data race: racy.cpp:14 (write) and racy.cpp:14 (read)",))
        cat = CAT.with_variant("racy", "/build/racy", "pi", made)
        data = Study((("host", "h"),), cat).to_json()
        again = Study.from_json(json.loads(json.dumps(data)), "x").catalogue.get("racy")
        self.assertEqual(again.build, made)
        self.assertEqual(again.build.failure, "data race: racy.cpp:14 (write) and racy.cpp:14 (read)")
        data["variants"][0]["build"]["race"] = "maybe"
        with self.assertRaisesRegex(SuiteError, "race is not a race check"):
            Study.from_json(data, "x")
        del data["variants"][0]["build"]  # a form-1 variant: a binary of unknown build
        data["format"] = 1
        self.assertEqual(Study.from_json(data, "x").catalogue.get("racy").build, C.Build())


if __name__ == "__main__":
    unittest.main()


class PrintedValues(unittest.TestCase):
    """Whatever a program prints is read into a run and checked without a traceback: a value the
    tools cannot take is the run's failed check, in words."""

    class Printing:
        """A runner whose program printed the given text."""

        def __init__(self, out):
            self.out = out
            self.output_cap = 1 << 20

        def run(self, path, args=(), env=None, timeout_s=None, isolated=False):
            from ompsuite.measure.execute import Outcome
            from ompsuite.platform.interference import Interference
            return Outcome(self.out, "", None, Interference(0.1, 2), 0.1)

    def test_odd_values(self):
        from ompsuite.analyse.validate import Validator
        from ompsuite.measure.execute import Executor
        job = plans.small_checks(CAT, plans.Folders("/bin"), Binding(), [1])[0]  # quadplain at N = 997
        self.assertEqual((job.program, job.problem_size), ("quadplain", 997))
        right = _small_pi(997)
        cases = (  # (what it printed, the check's reason, or None when it passes)
            (f"pi = {right}, N = 997, time = 0.000000 secs\n", None),
            (f"pi = {right}, N = 997, time = 1{'0' * 400}.5 secs\n", "its time of 403 characters is no finite"),
            (f"pi = {right}, N = {'9' * 5000}, time = 0.1 secs\n", "it printed an N of 5000 characters"),
            (f"pi = {right}, N = -{'1' * 30}, time = 0.1 secs\n", "it printed an N of 31 characters"),
            ("pi = 3.14x, N = 997, time = 0.1 secs\n", "its pi 3.14x is not a number"),
            ("pi = 1e999999999999, N = 997, time = 0.1 secs\n", "unreadable result (Overflow)"),
            (f"pi = {right}, N = 998, time = 0.1 secs\n", "printed N = 998, asked for 997"),
            ("pi = nan, N = 997, time = 0.1 secs\n", "pi = nan"),
            (f"pi = {right}, N = 997, time = -0.5 secs\n", "its time -0.5 s is negative"),
            (f"pi = {right}, N = 997, time = 0.1 secs\npi = 3.0, N = 997, time = 0.1 secs\n",
             "it printed 2 different results"),
        )
        for out, reason in cases:
            with self.subTest(out=out[:60]):
                run = Executor(self.Printing(out)).run(job)
                check = Validator().check(run)
                if reason is None:
                    self.assertTrue(check.ok, check)
                else:
                    self.assertFalse(check.ok)
                    self.assertIn(reason, str(check))


class FailAlone(unittest.TestCase):
    """A variant that crashes, hangs, prints nothing or something else, does not compile or has a
    race fails its own rows, said with the variant, N and team; every other program is measured.
    The runner is real; only the child it would start is scripted."""

    SCRIPT = {  # program: what its child does (a dict of ChildResult fields, or its output)
        "segv": {"returncode": -11}, "hang": {"timed_out": True, "returncode": -9}, "silent": "", "slow": None,
        "odd": "pi is about 3.14\n", "broken": "never run", "racy": None, "noteam": None,
        "quadmerge": None, "quadguard": None, "quadplain": None, "greedy": None, "millis": None, "chatty": None,
    }

    def child(self, argv, env=None, timeout_s=None, **kw):
        from ompsuite.platform.child import ChildResult
        name, n = os.path.basename(argv[0]), int(argv[1])
        self.calls.append(name)
        done = self.script[name]
        if name == "slow" and n > 1000:  # its team probe ends; every larger run hangs
            done = self.script["hang"]
        threads = "4" if name == "greedy" else (env or {}).get("OMP_NUM_THREADS", "1")  # it sets its own team
        team = "" if name in ("silent", "odd", "noteam") else \
            "".join(f"ompsuite-affinity {t} {threads} {t}\n" for t in range(int(threads)))
        if done is None:  # millis prints milliseconds as seconds: longer than its process lived
            done = f"pi = {PI_1E8 if n == N else _small_pi(n)}, N = {n:9d}, time = " \
                   f"{'16.71' if name == 'millis' else '0.04900000'} secs\n"
            done += "\x1b[2J\x1b]0;owned\x07\n" * 20 if name == "chatty" else ""
        if isinstance(done, str):
            return ChildResult(argv, done, team, 0, None, 0.05)
        return ChildResult(argv, "", "", done["returncode"], None, timeout_s or 0.0, done.get("timed_out", False))

    def programs(self):
        """Every scripted path is taken for a program that can be started, in its sandbox or not."""
        stack = contextlib.ExitStack()
        stack.enter_context(mock.patch("ompsuite.measure.execute.not_a_program", lambda path: ""))
        stack.enter_context(mock.patch("ompsuite.measure.execute.run_child", self.child))
        stack.enter_context(mock.patch("ompsuite.platform.sandbox.run", lambda argv, share, env, timeout_s, *limits:
                                       self.child(argv, env, timeout_s)))
        return stack

    def session(self, script):
        from ompsuite.measure.execute import Executor
        self.script, self.calls = dict(self.SCRIPT, **script), []
        cat = CAT
        for name in ("segv", "hang", "slow", "silent", "odd", "noteam", "greedy", "millis", "chatty"):
            cat = cat.with_variant(name, f"/v/{name}", "pi")
        cat = cat.with_variant("broken", "/v/broken", "pi", C.Build("/c/broken.cpp", error="broken.cpp:3: error: "
                                                                                         "expected ';'"))
        cat = cat.with_variant("racy", "/v/racy", "pi", C.Build("/c/racy.cpp", race=C.Race.FOUND, race_detail=(
            "data race: racy.cpp:14 (write) and racy.cpp:14 (read)",)))
        jobs = plans.small_checks(cat, plans.Folders("/bin"), Binding(), [2]) + strong_jobs((2,), 2, cat)
        from ompsuite.cli.runsuite import show_first
        session, err, self.out = Session(Executor(), live=False, show=show_first(set())), io.StringIO(), io.StringIO()
        with self.programs(), contextlib.redirect_stderr(err), contextlib.redirect_stdout(self.out):
            session.execute(jobs)
        return session, cat, err.getvalue()

    def test_each_variant_fails_alone_in_words(self):
        from ompsuite.cli.common import closing
        session, cat, said = self.session({})
        reasons = {}
        for r in session.runs:
            reasons.setdefault(r.program, []).append(r.check.reason)
        for name in ("quadplain", "quadguard", "quadmerge", "noteam", "chatty"):
            self.assertEqual(set(reasons[name]), {""}, name)  # measured and passed
        # A variant's output: shown once, escaped, a few lines of it; no run keeps it.
        self.assertRegex(self.out.getvalue(), r"== chatty: N = 100000000\npi = .*\n(\\x1b\[2J\\x1b\]0;owned\\x07\n){4}"
                                              r"\(16 more lines\)\n")
        self.assertNotIn("\x1b", self.out.getvalue())
        self.assertEqual([r for r in session.runs if r.output], [])
        self.assertEqual(len(reasons["segv"]), 4)  # two check sizes, two repeats: every one ran and failed
        self.assertEqual(set(reasons["segv"]), {"killed by SIGSEGV, in its untimed run at N = 1000 that learns its "
                                                "team", "not run again: killed by SIGSEGV, in its untimed run at N "
                                                "= 1000 that learns its team"})
        self.assertRegex(reasons["hang"][0], r"^stopped at its 60 s limit \(--run-timeout sets it\)")
        self.assertEqual(self.calls.count("hang"), 1)  # a hang costs one limit, not one a run
        self.assertEqual(self.calls.count("slow"), 3)  # its probe, N = 997, and 10007 that hung: no larger N
        self.assertEqual(reasons["slow"][2:], ["not run again: stopped at its 60 s limit (--run-timeout sets it) at "
                                               "N = 10007 with this team"] * 2)
        self.assertEqual(set(reasons["silent"]), {"printed nothing"})
        self.assertEqual(set(reasons["odd"]), {'no pi line: expected "pi = <value>, N = <N>, time = <seconds> '
                                               'secs"; see docs/variants.md'})
        self.assertEqual(set(reasons["broken"]), {"does not compile: broken.cpp:3: error: expected ';'"})
        # What the tools saw outranks what a program says: its team, and its time against its life.
        self.assertEqual(set(reasons["greedy"]), {"ignores the team asked for: asked 2, ran 4"})
        self.assertEqual(set(reasons["millis"]), {"its printed time 16.71 s is longer than the 0.05 s its process "
                                                  "lived (milliseconds printed as seconds, or a CPU time?)"})
        from ompsuite.measure.execute import may_cut_teams
        self.assertEqual([may_cut_teams(e) for e in ({}, {"OMP_THREAD_LIMIT": "2"}, {"OMP_DYNAMIC": "TRUE"},
                                                       {"OMP_DYNAMIC": "false"})], [False, True, True, False])
        self.assertNotIn("broken", self.calls)
        self.assertEqual(set(reasons["racy"]), {"data race: racy.cpp:14 (write) and racy.cpp:14 (read)"})
        self.assertIn("racy", self.calls)
        # The runtime's missing affinity report is said of the program that printed its result only.
        self.assertEqual(re.findall(r"(?m)^(\w+): the OpenMP runtime printed no affinity report", said), ["noteam"])
        study = conclude(session, cat, None, plans.TopUp([], 0.0), (("host", "test"),), None)
        err = io.StringIO()
        with contextlib.redirect_stderr(err):
            self.assertEqual(closing(study), 1)
        # The runs that failed alike share one line.
        self.assertRegex(err.getvalue().replace("\n    ", " "), r"(?m)^check failed: segv threads=\? \(asked 2\) N=997, 10007, 100000000 \(4 runs, 3 not "
                                         r"run again\): FAIL: killed by SIGSEGV, in its untimed run")
        self.assertNotIn("None", err.getvalue())

    def test_the_suites_own_program_still_stops_the_session(self):
        with self.assertRaisesRegex(Stopped, "quadmerge was killed by SIGSEGV") as stop:
            self.session({"quadmerge": {"returncode": -11}})
        self.assertEqual(stop.exception.status, 139)

    def test_a_kind_that_cannot_be_read_is_taken_as_pi(self):
        from ompsuite.measure.execute import Runner
        from ompsuite.measure.prepare import read_kind
        self.calls = []
        for name, done, why in (("segv", {"returncode": -11}, "killed by SIGSEGV"), ("silent", "", "it printed nothing"),
                                ("esc", "\x1b[2J\n", r"its first line '\\x1b\[2J' is no kind's report")):
            self.script = {name: done}
            err = io.StringIO()
            with self.subTest(name=name), self.programs(), contextlib.redirect_stderr(err):
                self.assertEqual(read_kind(name, f"/v/{name}", Binding(), Runner()), "pi")
                self.assertRegex(err.getvalue(), rf"(?m)^{name}: its kind cannot be read \({why}\), so it is taken as pi")
                self.assertNotIn("\x1b", err.getvalue())

"""What to run, in what order: the jobs of the run command and of the study's three series.
Every repeat runs each serial baseline once and every parallel program at every team size, so
that drifts of the machine spread over all of them alike."""
import dataclasses
import os
import statistics

from ompsuite import catalogue as C


@dataclasses.dataclass
class Job:
    series: str
    entry: C.Program
    threads: int          # requested; None for the runtime's default team
    problem_size: int
    size_note: str
    repeat: int
    path: str
    args: tuple
    env: dict

    @property
    def program(self):
        return self.entry.name


@dataclasses.dataclass
class Folders:
    """Where the programs are: the suite's pi and team programs, and the recurrence programs
    (None when they are not run)."""
    bindir: str
    growdir: str = None

    def path(self, entry):
        if entry.variant:
            return entry.path
        return os.path.join(self.growdir if entry.kind.name == "recurrence" else self.bindir, entry.name)


def _job(series, entry, threads, n, note, rep, folders, binding):
    return Job(series, entry, threads, n, note, rep, folders.path(entry), entry.args(n),
               binding.env(1 if entry.team == "one" else threads))


def _round(series, catalogue, kind, teams, n, note, rep, folders, binding):
    """One repeat of a kind: its serial baseline, then every parallel program at every team."""
    jobs = [_job(series, e, 1, n, note, rep, folders, binding) for e in catalogue.of_kind(kind, parallel=False)]
    for t in teams:
        jobs += [_job(series, e, t, n, note, rep, folders, binding) for e in catalogue.of_kind(kind, parallel=True)]
    return jobs


def strong(catalogue, folders, binding, teams, pi_n, repeats, recurrence_n=None, recurrence_repeats=0,
           size_note=""):
    """The fixed-size series. teams: thread counts, or [None] for the runtime's default team.
    The recurrence programs join the first recurrence_repeats rounds (each run may be a 16 GB fill,
    so they never run side by side, only one after another)."""
    jobs = []
    for rep in range(1, max(repeats, recurrence_repeats if recurrence_n else 0) + 1):
        if rep <= repeats:
            jobs += _round("strong", catalogue, "pi", teams, pi_n, "", rep, folders, binding)
        if recurrence_n is not None and rep <= recurrence_repeats:
            jobs += _round("strong", catalogue, "recurrence", teams, recurrence_n, size_note, rep, folders, binding)
    return jobs


# Sizes at which every pi program (and variant) is also run untimed, to check it with bounds that
# have teeth: a lost, doubled or shifted interval moves pi by about 4 / N, here over 1e-4, while the
# rounding a different order of the same terms allows is 8 (N + 1) u, under 2e-12. At the timed
# sizes the same bound grows with N past what one such fault does (1e8: 8.9e-8 against 2e-8), so
# a program that fails here fails at every size. Primes, so that no team divides them evenly.
CHECK_SIZES = (997, 10007)


def small_checks(catalogue, folders, binding, teams):
    """The untimed check runs, before any timed one: the serial pi program, then every parallel
    one at every team, at each check size."""
    jobs = []
    for n in CHECK_SIZES:
        jobs += _round("check", catalogue, "pi", teams, n, "", 1, folders, binding)
    return jobs


def team_report(catalogue, folders, binding, threads):
    return [_job("strong", e, threads, 0, "", 1, folders, binding) for e in catalogue.of_kind("team")]


def sweep_sizes(limit):
    """N = 1e3, 1e4, ... up to the limit (and the limit itself when it is not a power of ten)."""
    sizes, n = [], 1000
    while n <= limit:
        sizes.append(n)
        n *= 10
    return sizes + ([limit] if not sizes or sizes[-1] != limit else [])


def sweep_repeats(n, repeats):
    """More runs where a run is short: two more per decade below 1e7, so that the medians of runs
    of a few microseconds are still steady."""
    decades = max(0, 7 - len(str(n)) + 1)
    return repeats + 2 * decades


def _pi_series(series, catalogue, folders, binding, sizes, with_serial):
    """The pi programs over (N, team sizes, repeats) triples, repeats interleaved."""
    jobs = []
    for rep in range(1, max(r for _, _, r in sizes) + 1):
        for n, teams, repeats in sizes:
            if rep > repeats:
                continue
            if with_serial:
                jobs += _round(series, catalogue, "pi", teams, n, "", rep, folders, binding)
            else:
                jobs += [_job(series, e, t, n, "", rep, folders, binding)
                         for t in teams for e in catalogue.of_kind("pi", parallel=True)]
    return jobs


def sweep(catalogue, folders, binding, teams, limit, repeats):
    sizes = [(n, teams, sweep_repeats(n, repeats)) for n in sweep_sizes(limit)]
    return _pi_series("sweep", catalogue, folders, binding, sizes, with_serial=True)


def weak(catalogue, folders, binding, teams, base, repeats):
    """Weak scaling: N grows with the team, N = base x T, for the parallel pi programs."""
    return _pi_series("weak", catalogue, folders, binding, [(base * t, [t], repeats) for t in teams],
                      with_serial=False)


def config_of(series, program, threads, n):
    return series, program, threads, n


class TopUp:
    """More runs after the planned ones, one interleaved round at a time, for configurations
    whose figures are not yet what was asked: a disturbed run is replaced by another (it stays in
    runs.csv, out of the figures), and a pi speedup whose interval is wider than the precision
    target gets one more run of itself and of its baseline. A configuration never runs more than
    budget times its planned count (default twice): then it is said to be out of budget."""

    def __init__(self, jobs, precision=0.03, budget=2.0):
        self.precision, self.budget = precision, budget
        self.planned, self.first = {}, {}
        for job in jobs:
            if job.series == "check" or not job.entry.kind.timed:
                continue
            key = config_of(job.series, job.program, job.threads, job.problem_size)
            self.planned[key] = self.planned.get(key, 0) + 1
            self.first.setdefault(key, job)
        self.untrusted = {}       # configuration -> why it has fewer clean runs than asked for
        self.imprecise = {}       # configuration -> why its speedup's interval is still too wide

    def _allowed(self, key):
        return max(self.planned[key] + 1, int(round(self.budget * self.planned[key])))

    def _speedup_wide(self, key, clean):
        """Whether a strong-series pi speedup's interval is missing or wider than the target."""
        from ompsuite.analyse.significance import precision_met, ratio_interval
        series, program, threads, n = key
        entry = self.first[key].entry
        if not self.precision or series != "strong" or not entry.parallel or not entry.kind.speedup_bound:
            return None
        base = config_of(series, entry.baseline, 1, n)
        a, b = clean.get(base, []), clean.get(key, [])
        if base not in self.planned or len(a) < 3 or len(b) < 3:
            return base
        mid = statistics.median(a) / statistics.median(b)
        return None if precision_met(ratio_interval(a, b), mid, self.precision) else base

    def judge(self, rows):
        """Say on each row what the top-up rounds could not mend: an untrusted figure (too few clean
        runs), a speedup still wider than the target."""
        for r in rows:
            key = config_of(r.series, r.program, int(r.threads_requested) if r.threads_requested.isdigit() else None,
                            r.problem_size)
            if key in self.untrusted:
                r.untrusted = self.untrusted[key]
            if key in self.imprecise:
                r.add_note(self.imprecise[key])
        return rows

    def precision_lines(self, rows):
        """Whether the precision target was met, said per kind of outcome."""
        from ompsuite.analyse.significance import precision_met
        if not self.precision:
            return []
        judged = [r for r in rows if r.speedup_low is not None and r.series == "strong" and r.entry.parallel
                  and r.entry.kind.speedup_bound]
        wide = [r for r in judged if not precision_met((r.speedup_low, r.speedup_high), r.speedup, self.precision)]
        if not judged:
            return [f"precision target (±{self.precision:.0%} on each pi speedup): no speedup had enough runs for "
                    "an interval"]
        if not wide:
            return [f"precision target met: every pi speedup's 95% interval is within ±{self.precision:.0%}"]
        return [f"precision target (±{self.precision:.0%}) not met within the budget for: " +
                ", ".join(f"{r.program} {r.threads} threads ({r.speedup_low:.2f}–{r.speedup_high:.2f})" for r in wide)]

    def round(self, runs):
        """The next round's jobs, in the plan's order; [] when nothing more is needed or allowed."""
        clean, tried, bad, failed = {}, {}, {}, {}
        for r in runs:
            key = config_of(r.series, r.program, r.threads_requested, r.problem_size)
            if key not in self.planned:
                continue
            tried[key] = tried.get(key, 0) + 1
            if r.clean:
                clean.setdefault(key, []).append(r.time_s)
            elif not r.check.ok:
                failed[key] = failed.get(key, 0) + 1  # a wrong result is not mended by running it again
            elif r.disturbed:
                bad.setdefault(key, []).append(r.disturbed)
        wanted = []
        for key, count in self.planned.items():
            short = len(clean.get(key, [])) + failed.get(key, 0) < count
            base = None if short or failed.get(key) else self._speedup_wide(key, clean)
            for k in ([key] if short else [key, base] if base else []):
                if tried.get(k, 0) >= self._allowed(k):
                    if short:
                        self.untrusted[k] = (f"{count - len(clean.get(k, []))} of the {count} clean runs asked for are "
                                             f"missing after {tried.get(k, 0)} runs, the budget: disturbed "
                                             f"({bad[k][-1]})")
                    else:
                        self.imprecise[key] = (f"speedup interval wider than ±{self.precision:.0%} after "
                                               f"{tried.get(key, 0)} runs, the budget")
                    continue
                if k not in wanted:
                    wanted.append(k)
        order = list(self.planned)
        jobs = []
        for k in sorted(wanted, key=order.index):
            job = dataclasses.replace(self.first[k], repeat=tried.get(k, 0) + 1)
            jobs.append(job)
        return jobs

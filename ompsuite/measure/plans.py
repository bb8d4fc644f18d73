"""What to run, in what order (docs/commands.md, "Order"): the jobs of the run command and of the
study's three series, each repeat a round of every configuration so that drifts hit all alike."""
from __future__ import annotations

import collections
import dataclasses
import itertools
import os
import random
from typing import Dict, List, Mapping, Optional, Protocol, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse import stats
from ompsuite.analyse.significance import precision_met
from ompsuite.study import Config, Configured, Flag, Run, Series, Summary

Teams = Sequence[Optional[int]]


class Binder(Protocol):
    """What the plans need of a binding: the environment of a run at a team size."""

    def env(self, threads: Optional[int] = None) -> Dict[str, str]: ...


@dataclasses.dataclass(frozen=True)
class Job(Configured):
    config: Config
    entry: C.Program
    size_note: str
    repeat: int
    path: str
    args: Tuple[str, ...]
    env: Mapping[str, str]

    @property
    def threads(self) -> Optional[int]:
        return self.config.threads


@dataclasses.dataclass(frozen=True)
class Folders:
    """Where the programs are: the suite's, and the recurrence programs' (None: they are not run)."""
    bindir: str
    growdir: Optional[str] = None

    def path(self, entry: C.Program) -> str:
        if entry.path is not None:
            return entry.path
        folder = self.growdir if entry.kind is C.RECURRENCE and self.growdir else self.bindir
        return os.path.join(folder, entry.name)


def _job(series: Series, entry: C.Program, threads: Optional[int], n: int, note: str, rep: int, folders: Folders,
         binding: Binder) -> Job:
    return Job(Config(series, entry.name, threads, n), entry, note, rep, folders.path(entry), entry.args(n),
               binding.env(1 if entry.team is C.Team.ONE else threads))


def _series(series: Series, catalogue: C.Catalogue, folders: Folders, binding: Binder,
            sizes: Sequence[Tuple[C.Kind, int, str, Teams, int]], with_serial: bool = True) -> List[Job]:
    """Rounds of (kind, N, size note, team sizes, repeats), their repeats interleaved: each round
    its kind's serial baseline (unless not with_serial), then each parallel program per team."""
    jobs: List[Job] = []
    for rep in range(1, max(r for *_, r in sizes) + 1):
        for kind, n, note, teams, repeats in sizes:
            if rep > repeats:
                continue
            jobs += [_job(series, e, 1, n, note, rep, folders, binding)
                     for e in catalogue.of_kind(kind, parallel=False) if with_serial]
            jobs += [_job(series, e, t, n, note, rep, folders, binding)
                     for t in teams for e in catalogue.of_kind(kind, parallel=True)]
    return jobs


def strong(catalogue: C.Catalogue, folders: Folders, binding: Binder, teams: Teams, pi_n: int, repeats: int,
           recurrence_n: Optional[int] = None, recurrence_repeats: int = 0, size_note: str = "") -> List[Job]:
    """The fixed-size series. teams: thread counts, or [None] for the runtime's default team. The
    recurrence programs (each run may be a 16 GB fill) join the first recurrence_repeats rounds."""
    recurrence = [] if recurrence_n is None else [(C.RECURRENCE, recurrence_n, size_note, teams, recurrence_repeats)]
    return _series(Series.STRONG, catalogue, folders, binding, [(C.PI, pi_n, "", teams, repeats), *recurrence])


# Every pi program is also run untimed at these sizes, where one lost or doubled interval breaks
# bounds that the timed sizes outgrow (docs/noise.md, "Checks with teeth"); primes: no team divides them.
CHECK_SIZES = (997, 10007)
# With a seed, a third size drawn from it (recorded): a program cannot tell every check run by its N.
DRAWN_CHECK = (20_000, 30_000)


def small_checks(catalogue: C.Catalogue, folders: Folders, binding: Binder, teams: Teams,
                 seed: Optional[int] = None) -> List[Job]:
    """The untimed check runs, before any timed one: a round of the pi programs at each check size."""
    drawn = () if seed is None else (random.Random(seed).randrange(*DRAWN_CHECK) | 1,)
    return _series(Series.CHECK, catalogue, folders, binding, [(C.PI, n, "", teams, 1) for n in CHECK_SIZES + drawn])


def team_report(catalogue: C.Catalogue, folders: Folders, binding: Binder, threads: Optional[int]) -> List[Job]:
    return [_job(Series.STRONG, e, threads, 0, "", 1, folders, binding) for e in catalogue.of_kind(C.TEAM)]


def sweep(catalogue: C.Catalogue, folders: Folders, binding: Binder, teams: Teams, limit: int,
          repeats: int) -> List[Job]:
    """N = 1e3, 1e4, ... up to the limit (and the limit itself when it is not a power of ten), two
    more runs per decade below 1e7, so that the medians of runs of a few microseconds are still steady."""
    sizes = [10 ** e for e in range(3, len(str(limit)) + 1) if 10 ** e <= limit]
    sizes += [] if sizes and sizes[-1] == limit else [limit]
    return _series(Series.SWEEP, catalogue, folders, binding,
                   [(C.PI, n, "", teams, repeats + 2 * max(0, 7 - len(str(n)) + 1)) for n in sizes])


def weak(catalogue: C.Catalogue, folders: Folders, binding: Binder, teams: Sequence[int], base: int,
         repeats: int) -> List[Job]:
    """Weak scaling: N grows with the team, N = base x T, for the parallel pi programs."""
    return _series(Series.WEAK, catalogue, folders, binding, [(C.PI, base * t, "", [t], repeats) for t in teams],
                   with_serial=False)


def interleave(jobs: Sequence[Job], order: random.Random) -> List[Job]:
    """The timed runs of each round in an order drawn anew (seeded), so that no program always meets
    the machine first; the untimed checks keep theirs: the serial result is what the others meet."""
    out: List[Job] = []
    for _, group in itertools.groupby(jobs, key=lambda j: (j.series, j.repeat)):
        chunk = list(group)
        if chunk[0].series is not Series.CHECK:
            order.shuffle(chunk)
        out += chunk
    return out


def _precision_judged(entry: C.Program, series: Series) -> bool:
    """The precision target is for the strong series' parallel compute-bound speedups."""
    return series is Series.STRONG and entry.parallel and entry.kind.speedup_bound


class TopUp:
    """More runs after the planned ones, one round at a time, for configurations whose figures are
    not yet what was asked, within the budget (docs/noise.md, "Re-runs and the budget")."""

    def __init__(self, jobs: Sequence[Job], precision: float = 0.03, budget: float = 2.0,
                 order: Optional[random.Random] = None) -> None:
        self.precision, self.budget = precision, budget
        self.order = order  # shuffles each round, as the planned rounds are; None: the plan's order
        timed = [job for job in jobs if job.series is not Series.CHECK and job.entry.kind.timed]
        self.planned: Dict[Config, int] = dict(collections.Counter(job.config for job in timed))
        self.first = {job.config: job for job in reversed(timed)}
        self.untrusted: Dict[Config, str] = {}  # why it has fewer clean runs than asked for
        self.imprecise: Dict[Config, str] = {}  # why its speedup's interval is still too wide
        # What the runs so far gave, read once each: clean times, runs tried, failed, the last
        # disturbance; and each speedup's last judgement (the two sides' runs then, whether wide).
        self._seen = 0
        self._clean: Dict[Config, List[float]] = {}
        self._tried: Dict[Config, int] = {}
        self._failed: Dict[Config, int] = {}
        self._bad: Dict[Config, str] = {}
        self._judged: Dict[Config, Tuple[int, bool]] = {}

    def _spent(self, key: Config) -> bool:
        return self._tried.get(key, 0) >= max(self.planned[key] + 1, int(round(self.budget * self.planned[key])))

    def _speedup_wide(self, key: Config) -> Optional[Config]:
        """The baseline's configuration when a strong-series pi speedup's interval (stats.speedup's;
        no positive time: none to make precise) is missing or wider than the target, else None. Taken
        again once both sides grew by a tenth or a budget is given up (docs/noise.md, round's cost)."""
        entry = self.first[key].entry
        if not self.precision or not _precision_judged(entry, key.series) or entry.baseline is None:
            return None
        base = Config(key.series, entry.baseline, 1, key.n)
        a, b = self._clean.get(base, []), self._clean.get(key, [])
        if base not in self.planned or len(a) < 3 or len(b) < 3:
            return base
        size, (last, wide) = len(a) + len(b), self._judged.get(key, (0, True))
        final = self._spent(key) or (self._spent(base) and key not in self.imprecise)
        if size != last and (final or size >= last * 1.1):
            speedup, interval = stats.speedup(a, b)
            wide = speedup is not None and not precision_met(interval, speedup, self.precision)
            self._judged[key] = (size, wide)
        return base if wide else None

    def precision_lines(self, rows: Sequence[Summary]) -> List[str]:
        """Whether the precision target was met, said per kind of outcome."""
        if not self.precision:
            return []
        judged = [(r, r.speedup, (r.speedup_low, r.speedup_high)) for r in rows if r.speedup is not None
                  and r.speedup_low is not None and r.speedup_high is not None
                  and _precision_judged(r.program_entry, r.series)]
        wide = [r for r, speedup, interval in judged
                if r.has(Flag.IMPRECISE) or not precision_met(interval, speedup, self.precision)]
        if not judged:
            return [f"precision target (±{self.precision:.0%} on each pi speedup): no speedup had enough runs for "
                    "an interval"]
        if not wide:
            return [f"precision target met: every pi speedup's 95% interval is within ±{self.precision:.0%}"]
        return [f"precision target (±{self.precision:.0%}) not met within the budget for: " +
                ", ".join(f"{r.program} {_threads_text(r.threads)} ({r.speedup_low:.2f}–{r.speedup_high:.2f})"
                          for r in wide)]

    def round(self, runs: Sequence[Run]) -> List[Job]:
        """The next round's jobs, in the plan's order; [] when nothing more is needed or allowed.
        runs: every run so far, those of the last call first; only the new ones are read."""
        for r in runs[self._seen:]:
            if (key := r.config) not in self.planned:
                continue
            self._tried[key] = self._tried.get(key, 0) + 1
            if r.clean and r.time_s is not None:
                self._clean.setdefault(key, []).append(r.time_s)
            elif not r.check.ok:
                self._failed[key] = self._failed.get(key, 0) + 1  # a wrong result is not mended by running it again
            elif r.disturbed:
                self._bad[key] = r.disturbed
        self._seen = len(runs)
        clean, tried = self._clean, self._tried
        wanted: Dict[Config, None] = {}
        for key, count in self.planned.items():
            short = len(clean.get(key, [])) + self._failed.get(key, 0) < count
            if key in self.imprecise and self._spent(key):  # given up: its baseline runs no more for it
                continue
            base = None if short or self._failed.get(key) else self._speedup_wide(key)
            for k in ([key] if short else [key, base] if base else []):
                if not self._spent(k):
                    wanted[k] = None
                elif short:
                    # What disturbed them is the row's own note, with the runs each figure covers.
                    asked = f"{count - len(clean.get(k, []))} of the {count} clean runs asked for are" \
                        if count > 1 else "the one clean run asked for is"
                    runs_k = f"{tried.get(k, 0)} run{'s' if tried.get(k, 0) != 1 else ''}"
                    self.untrusted[k] = (f"{asked} missing after {runs_k}, the budget: "
                                         f"{'disturbed' if k in self._bad else 'no time printed'}")
                else:
                    self.imprecise[key] = (f"speedup interval wider than ±{self.precision:.0%} after "
                                           f"{tried.get(key, 0)} runs, the budget")
        jobs = [dataclasses.replace(self.first[k], repeat=tried.get(k, 0) + 1) for k in self.planned if k in wanted]
        if self.order is not None:
            self.order.shuffle(jobs)
        return jobs


def _threads_text(threads: Optional[int]) -> str:
    return "?" if threads is None else f"{threads} thread{'s' if threads != 1 else ''}"

"""Statistics over repeated runs: one summary per program, team size obtained and size. The one
place where figures are derived from runs."""
from __future__ import annotations

import dataclasses
import math
import statistics
from decimal import Decimal
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse import significance
from ompsuite.analyse.validate import PI, units_of_15th_decimal
from ompsuite.platform.interference import broken_text
from ompsuite.study import Flag, Mark, Run, Series, Summary

Key = Tuple[Series, str, Optional[int], int]  # series, program, team obtained, N
ORDER_NOTE = "its order of summation varies between runs (allowed: any order is within the bound)"


def karp_flatt(speedup: Optional[float], threads: Optional[int]) -> Optional[float]:
    """Experimentally determined serial fraction: (1/S - 1/p) / (1 - 1/p), for p > 1."""
    if speedup is None or speedup <= 0 or not threads or threads <= 1:
        return None
    return (1.0 / speedup - 1.0 / threads) / (1.0 - 1.0 / threads)


def rate(kind: C.Kind, n: int, seconds: Optional[float]) -> Tuple[Optional[float], str]:
    """Intervals per second for the pi programs; GB/s written (8 (N + 1) bytes) for the fills."""
    if not seconds or seconds <= 0:
        return None, ""
    if kind is C.PI:
        return n / seconds, "intervals/s"
    return 8 * (n + 1) / seconds / 1e9, "GB/s"


def _threads_order(t: Optional[int]) -> int:
    return -1 if t is None else t


def key_of(run: Run) -> Key:
    """A run's summary: keyed on the team obtained, so teams asked for that gave the same team
    share one row and its notes."""
    return run.series, run.program, run.threads, run.problem_size


def summarise(runs: Sequence[Run], catalogue: C.Catalogue) -> List[Summary]:
    """Summaries in a stable order: by series, problem size within each kind, the catalogue's
    order of programs, then team size. Only clean runs enter the figures; a group with a failed
    run says so in its check."""
    groups: Dict[Key, List[Run]] = {}
    for r in runs:
        if r.program_entry.kind.timed and r.series is not Series.CHECK:
            groups.setdefault(key_of(r), []).append(r)
    good = {key: [r for r in rs if r.clean] for key, rs in groups.items()}
    times = {key: [r.time_s for r in rs if r.time_s is not None] for key, rs in good.items()}
    serial_pi = {(r.series, r.problem_size): r.result for r in runs
                 if r.program_entry.kind is C.PI and not r.program_entry.parallel and r.check.ok}

    def order(key: Key) -> Tuple[str, bool, int, int, int]:
        series, program, threads, n = key
        return (series.value, groups[key][0].program_entry.kind is not C.PI, n, catalogue.order(program),
                _threads_order(threads))

    # A run at a check size does next to no work: its life is the program's start and end.
    life: Dict[str, float] = {}
    for r in runs:
        if r.series is Series.CHECK and r.interference is not None and r.interference.watched_s:
            life[r.program] = min(life.get(r.program, math.inf), r.interference.watched_s)
    rows = [_timed_share(_summary(key, groups[key], good[key], times, serial_pi),
                         good[key], life.get(key[1], 0.0))
            for key in sorted(groups, key=order)]
    return plausible(rows, groups)


UNTIMED_SHARE = 0.25  # of a run's working life: more left out of its time is said in its row
UNTIMED_S = 0.02      # and only when it is more than a process's start and end vary by


def _timed_share(s: Summary, ok: List[Run], life_s: float) -> Summary:
    """Its row noted where its printed time leaves out much of its life beyond start and end, or is
    0: a program may rightly time its kernel alone, so nothing fails (docs/variants.md)."""
    if (zeros := sum(r.time_s == 0 for r in ok)) and s.program_entry.kind.timed:
        s = s.with_note(f"its printed time is 0 in {zeros} of {len(ok)} runs: a clock too coarse for them, "
                        "or nothing timed")
    lives = [(r.time_s, r.interference.watched_s - life_s) for r in ok
             if r.time_s is not None and r.interference is not None and r.interference.watched_s]
    if not s.program_entry.kind.parallel_throughout or not lives:
        return s
    timed, working = statistics.median(t for t, _ in lives), statistics.median(w for _, w in lives)
    if working - timed <= max(UNTIMED_SHARE * working, UNTIMED_S):
        return s
    return s.with_note(f"its printed time covers {timed / working:.0%} of its process's life beyond start and end "
                       f"(median {timed * 1e3:.3g} of {working * 1e3:.3g} ms): is all of its work timed?")


def speedup(base: Sequence[float], times: Sequence[float], interval: bool = True
            ) -> Tuple[Optional[float], Optional[Tuple[float, float]]]:
    """A configuration's speedup over its baseline's times, the ratio of the two medians, and its
    95% interval (where asked for): no speedup where a median is no positive time, no interval
    where any time is not positive (a program that printed time = 0)."""
    if not base or not times:
        return None, None
    over, under = statistics.median(base), statistics.median(times)
    if not (over > 0 and under > 0):
        return None, None
    positive = interval and all(t > 0 for t in base) and all(t > 0 for t in times)
    return over / under, significance.ratio_interval(base, times) if positive else None


def _summary(key: Key, rs: List[Run], ok: List[Run], times: Dict[Key, List[float]],
             serial_pi: Dict[Tuple[Series, int], str]) -> Summary:
    series, program, threads, n = key
    ts = times[key]
    entry = rs[0].program_entry
    asked = tuple(sorted({r.threads_requested for r in rs}, key=_threads_order))
    s = Summary(series, program, threads, n, asked=asked, runs=len(rs), entry=entry)
    if failed := [r for r in rs if not r.check.ok]:
        s = s.with_mark(Mark(Flag.FAILED, f"{len(failed)} of {len(rs)} runs: {failed[0].check.reason}"))
    if disturbed := [r for r in rs if r.disturbed]:
        s = s.with_mark(Mark(Flag.DISTURBED, broken_text([r.disturbed for r in disturbed]), len(disturbed), len(rs)))
    if smaller := [t for t in asked if t is not None and threads is not None and t > threads]:
        s = s.with_note(f"asked for {' and '.join(map(str, smaller))} threads, the runtime gave {threads}")
    if not ts:
        shaky = [r.time_s for r in disturbed if r.check.ok and r.time_s is not None]
        if shaky and not failed:  # a busy machine's figure, shown as such rather than none at all
            s = dataclasses.replace(s, min_s=min(shaky), median_s=statistics.median(shaky), max_s=max(shaky))
            s = s.with_mark(Mark(Flag.UNTRUSTED, f"no clean run: the median is of {len(shaky)} disturbed "
                                                 f"run{'' if len(shaky) == 1 else 's'}"))
        return s
    median = statistics.median(ts)
    figures: Dict[str, object] = {"min_s": min(ts), "median_s": median, "max_s": max(ts)}
    figures["median_low"], figures["median_high"] = significance.median_interval(ts) or (None, None)
    ratio, interval = speedup(times.get((series, entry.baseline or program, 1, n), []), ts, entry.parallel)
    if ratio is not None:
        figures.update(speedup=ratio, karp_flatt=karp_flatt(ratio, threads),
                       efficiency=ratio / threads if threads else None)
        figures["speedup_low"], figures["speedup_high"] = interval or (None, None)
    figures["rate"], figures["rate_unit"] = rate(entry.kind, n, median)
    if entry.kind is C.PI:
        if (series, n) in serial_pi:
            figures["units_from_serial"] = _units(ok[0].result, serial_pi[(series, n)])
        figures["units_from_pi"] = _units(ok[0].result, PI)
    results = {r.result for r in ok}
    figures["reproducible"] = "yes" if len(results) == 1 else f"no: {len(results)} results in {len(ok)} runs"
    figures.update(_usage(ok, entry))
    s = dataclasses.replace(s, **figures)
    if len({r.result for r in rs}) > 1 and entry.kind is C.PI and not failed:  # each passed the any-order check
        s = s.with_note(ORDER_NOTE)
    if unstable := significance.instability(ts):
        s = s.with_mark(Mark(Flag.UNSTABLE, unstable))
    return s


def _units(printed: str, reference: str | Decimal) -> Optional[int]:
    """units_of_15th_decimal, None where a study read from a file holds no number there."""
    try:
        return units_of_15th_decimal(printed, reference)
    except ArithmeticError:
        return None


def _usage(runs: List[Run], entry: C.Program) -> Dict[str, object]:
    """Medians of the runs' own user and system time and minor faults, where they were watched."""
    watched = [r.interference for r in runs if r.interference is not None and r.interference.user_s is not None
               and r.interference.system_s is not None]
    if not watched:
        return {}
    user = statistics.median(w.user_s for w in watched if w.user_s is not None)
    system = statistics.median(w.system_s for w in watched if w.system_s is not None)
    faults = [w.minor_faults for w in watched if w.minor_faults is not None]
    minor = int(statistics.median(faults)) if faults else None
    found: Dict[str, object] = {"user_s": user, "system_s": system, "minor_faults": minor}
    if system > user and not entry.kind.speedup_bound:  # the kernel's page faults bound the fill
        counted = f"{minor} faults, " if minor is not None else ""
        found.update(page_fault_bound=True, bound_by=f"page faults ({counted}{system:.2f} s system)")
    return found


NOISE = 0.02    # a speedup this close above the team is the machine's noise, not a sign of anything
BEYOND = 0.10   # without an interval, a speedup this far above the team is no result
FAULT_SPREAD = 2.0  # runs of one configuration whose system times differ by this factor met different memory


def plausible(rows: Sequence[Summary], groups: Mapping[Key, Sequence[Run]]) -> List[Summary]:
    """No team of T runs more than T times faster than its serial baseline (docs/noise.md); where
    page faults bound a fill comparison, its speedup without them and its runs' spread beside it."""
    by_key = {r.key: r for r in rows}
    out = []
    for r in rows:
        entry = r.program_entry
        base = by_key.get((r.series, entry.baseline, 1, r.problem_size)) if entry.baseline else None
        if base is not None and (r.page_fault_bound or base.page_fault_bound):
            r = dataclasses.replace(r, speedup_no_faults=speedup_without_faults(base, r))
        r = _fault_spread(r, groups.get(r.key, ()))
        if r.speedup is not None and r.threads and entry.parallel and r.series is not Series.WEAK:
            r = _above_team(r, base)
        out.append(r)
    return out


def speedup_without_faults(base: Summary, row: Summary) -> Optional[float]:
    """The speedup with each side's kernel page-fault time taken out (docs/noise.md); None where a
    side lacks its record or its work time comes out as nothing."""
    if base.median_s is None or row.median_s is None or base.system_s is None or row.system_s is None \
            or not row.threads or not base.threads:
        return None
    base_work = base.median_s - base.system_s / base.threads
    row_work = row.median_s - row.system_s / row.threads
    if base_work <= 0 or row_work <= 0:
        return None
    return base_work / row_work


def _fault_spread(s: Summary, runs: Sequence[Run]) -> Summary:
    """Runs of one configuration that met the kernel's page faults differently are a spread to
    report, not one run to keep silently: every run counts here, the disturbed ones too."""
    usage = [(r.time_s, r.interference.system_s) for r in runs if r.time_s is not None
             and r.interference is not None and r.interference.system_s is not None]
    if len(usage) < 2:
        return s
    systems = [u for _, u in usage]
    walls = [w for w, _ in usage if w is not None]
    if max(systems) < 0.1 or max(systems) < FAULT_SPREAD * max(min(systems), 1e-3):
        return s
    return s.with_note(f"its runs met the kernel's page faults differently: {min(walls):.3g}–{max(walls):.3g} s, "
                       f"of which {min(systems):.2f}–{max(systems):.2f} s system")


def _above_team(s: Summary, base: Optional[Summary]) -> Summary:
    assert s.speedup is not None and s.threads
    team = s.threads
    if s.speedup <= team * (1 + NOISE):
        return s
    if not (s.speedup_low > team if s.speedup_low is not None else s.speedup > team * (1 + BEYOND)):
        return s.with_note(f"speedup {s.speedup:.2f} a little above the team of {team}, within what "
                           f"{'its interval allows' if s.speedup_low is not None else 'its runs allow'}")
    spread = f"95% interval {s.speedup_low:.2f}–{s.speedup_high:.2f}" if s.speedup_low is not None else "no interval"
    threads = f"{team} thread{'' if team == 1 else 's'}"
    return s.with_mark(Mark(Flag.IMPOSSIBLE, f"speedup {s.speedup:.2f} ({spread}) on {threads} is above its team: "
                                             f"{_slower_side(s, base)}"))


def _slower_side(s: Summary, base: Optional[Summary]) -> str:
    """Which side of an impossible speedup was slowed, and how, as the measured records show."""
    if base is None:
        return "its baseline has no figure"
    if base.page_fault_bound and base.system_s is not None and base.median_s is not None and \
            not s.page_fault_bound:
        return (f"{base.program} spent {base.system_s:.2f} s of {base.median_s:.2f} s in page faults that "
                f"{s.program} did not meet")
    if s.program_entry.variant and not _base_slowed(s, base):
        return f"{s.program}'s own time cannot be right: it is faster than {s.threads} threads can be"
    if base.disturbed:
        return f"{base.program}'s runs were disturbed: {base.disturbed}"
    return f"{base.program} was slowed by something its record does not show"


def _base_slowed(s: Summary, base: Summary) -> bool:
    """Whether the baseline's own record can explain a variant's speedup above its team: some of
    its runs were disturbed, and the variant is within its team of the fastest clean one. A
    variant faster than that even against the baseline's best run under-reports its own time."""
    if not base.disturbed or base.min_s is None or s.median_s is None or not s.threads or s.median_s <= 0:
        return False
    return base.min_s / s.median_s <= s.threads * (1 + NOISE)


def weak_efficiency(rows: Sequence[Summary]) -> List[Summary]:
    """Weak scaling: efficiency t(1) / t(T) of each program against its own one-thread run."""
    one = {r.program: r.median_s for r in rows if r.series is Series.WEAK and r.threads == 1}
    return [dataclasses.replace(r, efficiency=base / r.median_s, speedup=None, karp_flatt=None)
            if r.series is Series.WEAK and r.median_s and (base := one.get(r.program)) else r for r in rows]


def measured_crossover(rows: Sequence[Summary], program: str, threads: int, gain: float = 1.1) -> Optional[float]:
    """Smallest N of the sweep at which the program beats its baseline by the gain, interpolated
    in log N between the two sizes around the first crossing; None when it never does."""
    pts = sorted((r.problem_size, r.speedup) for r in rows
                 if r.series is Series.SWEEP and r.program == program and r.threads == threads
                 and r.speedup is not None)
    for k, (n, s) in enumerate(pts):
        if s >= gain:
            if k == 0:
                return n
            n0, s0 = pts[k - 1]
            f = (gain - s0) / (s - s0)
            return math.exp(math.log(n0) + f * (math.log(n) - math.log(n0)))
    return None

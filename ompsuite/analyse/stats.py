"""Statistics over repeated runs: one summary row per program, team size obtained and size."""
import math
import statistics

from ompsuite.analyse import significance
from ompsuite.study import Check, SummaryRow
from ompsuite.analyse.validate import PI, units_of_15th_decimal


def karp_flatt(speedup, threads):
    """Experimentally determined serial fraction: (1/S - 1/p) / (1 - 1/p), for p > 1."""
    if speedup is None or speedup <= 0 or not threads or threads <= 1:
        return None
    return (1.0 / speedup - 1.0 / threads) / (1.0 - 1.0 / threads)


def rate(kind, n, seconds):
    """Intervals per second for the pi programs; GB/s written (8 (N + 1) bytes) for the fills."""
    if not seconds or seconds <= 0:
        return None, ""
    if kind == "pi":
        return n / seconds, "intervals/s"
    return 8 * (n + 1) / seconds / 1e9, "GB/s"


def _threads_order(t):
    return -1 if t is None else t


def summarise(runs, catalogue):
    """Summary rows in a stable order: by series, problem size within each kind, the catalogue's
    order of programs, then team size. Only runs that passed their check enter the figures; a
    group with a failed run says so in its check."""
    groups = {}
    for r in runs:
        if r.entry.kind.timed and r.series != "check":
            groups.setdefault((r.series, r.program, r.threads, r.problem_size), []).append(r)
    good = {key: [r for r in rs if r.clean] for key, rs in groups.items()}
    medians = {key: statistics.median(r.time_s for r in rs) for key, rs in good.items() if rs}
    serial_pi = {(r.series, r.problem_size): r.result for r in runs
                 if r.entry.kind.name == "pi" and not r.entry.parallel and r.check.ok}

    def order(key):
        series, program, threads, n = key
        entry = groups[key][0].entry
        return series, entry.kind.name != "pi", n, catalogue.order(program), _threads_order(threads)

    rows = []
    for key in sorted(groups, key=order):
        series, program, threads, n = key
        rs, ok = groups[key], good[key]
        entry = rs[0].entry
        failed = [r for r in rs if not r.check.ok]
        row = SummaryRow(series, program, threads, n, entry=entry, runs=len(rs),
                         threads_requested=" ".join(str(t) for t in sorted({r.threads_requested for r in rs
                                                                            if r.threads_requested})))
        if failed:
            row.check = Check.failed(f"{len(failed)} of {len(rs)} runs: {failed[0].check.reason}")
        disturbed = [r for r in rs if r.disturbed]
        if disturbed:
            row.disturbed = f"{len(disturbed)} of {len(rs)} runs disturbed ({disturbed[0].disturbed})"
        if ok:
            times = [r.time_s for r in ok]
            row.min_s, row.median_s, row.max_s = min(times), medians[key], max(times)
            row.median_low, row.median_high = significance.median_interval(times) or (None, None)
            row.unstable = significance.instability(times) or ""
            _usage(row, ok)
            base_key = (series, entry.baseline or program, 1, n)
            base = medians.get(base_key)
            if base and row.median_s > 0:
                row.speedup = base / row.median_s
                if threads:
                    row.efficiency = row.speedup / threads
                row.karp_flatt = karp_flatt(row.speedup, threads)
                if entry.parallel and all(t > 0 for t in times):
                    row.speedup_low, row.speedup_high = significance.ratio_interval(
                        [r.time_s for r in good[base_key]], times) or (None, None)
                _impossible_speedup(row)
            row.rate, row.rate_unit = rate(entry.kind.name, n, row.median_s)
            if entry.kind.name == "pi":
                if (series, n) in serial_pi:
                    row.units_from_serial = units_of_15th_decimal(ok[0].result, serial_pi[(series, n)])
                row.units_from_pi = units_of_15th_decimal(ok[0].result, PI)
            results = {r.result for r in ok}
            row.reproducible = "yes" if len(results) == 1 else f"no: {len(results)} results in {len(ok)} runs"
        rows.append(row)
    return rows


def _usage(row, runs):
    """Medians of the runs' own user and system time and minor faults, where they were watched."""
    watched = [r.interference for r in runs if r.interference is not None and r.interference.user_s is not None]
    if watched:
        row.user_s = statistics.median(w.user_s for w in watched)
        row.system_s = statistics.median(w.system_s for w in watched)
        faults = [w.minor_faults for w in watched if w.minor_faults is not None]
        row.minor_faults = int(statistics.median(faults)) if faults else None
    if row.system_s is not None and row.system_s > row.user_s and not row.entry.kind.speedup_bound:
        row.bound_by = page_fault_text(row)


def page_fault_text(row):
    """The kernel's page faults as what bounds a fill whose system time passed its user time."""
    faults = f"{row.minor_faults} faults, " if row.minor_faults is not None else ""
    return f"page faults ({faults}{row.system_s:.2f} s system)"


NOISE = 0.02  # a speedup this close above the team is the machine's noise, not a sign of anything


def _impossible_speedup(row):
    """A compute-bound in-order sum cannot run more than T times faster on T threads: beyond what
    the speedup's interval allows, the figure is no result (its baseline was probably slowed)."""
    if not row.entry.kind.speedup_bound or not row.threads or row.speedup <= row.threads * (1 + NOISE):
        return
    if row.speedup_low is not None and row.speedup_low > row.threads:
        if row.check.ok:
            row.check = Check.failed(f"speedup {row.speedup:.2f} (95% interval {row.speedup_low:.2f}–"
                                     f"{row.speedup_high:.2f}) is above the team of {row.threads}: no team sums that "
                                     "fast, so the baseline was probably disturbed")
    else:
        row.add_note(f"speedup above the team of {row.threads}, within what too few runs allow: "
                     "the baseline may have been disturbed")


def weak_efficiency(rows):
    """Weak scaling: efficiency t(1) / t(T) of each program against its own one-thread run."""
    one = {r.program: r.median_s for r in rows if r.series == "weak" and r.threads == 1}
    for r in rows:
        if r.series == "weak" and r.median_s and one.get(r.program):
            r.efficiency = one[r.program] / r.median_s
            r.speedup = r.karp_flatt = None
    return rows


def measured_crossover(rows, program, threads, gain=1.1):
    """Smallest N of the sweep at which the program beats its baseline by the gain, interpolated
    in log N between the two sizes around the first crossing; None when it never does."""
    pts = sorted((r.problem_size, r.speedup) for r in rows
                 if r.series == "sweep" and r.program == program and r.threads == threads and r.speedup is not None)
    for k, (n, s) in enumerate(pts):
        if s >= gain:
            if k == 0:
                return n
            n0, s0 = pts[k - 1]
            f = (gain - s0) / (s - s0)
            return math.exp(math.log(n0) + f * (math.log(n) - math.log(n0)))
    return None

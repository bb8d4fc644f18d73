"""Statistics over repeated runs: one summary row per program, team size obtained and size."""
import math
import statistics

from .records import Check, SummaryRow
from .validate import PI, units_of_15th_decimal


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
    good = {key: [r for r in rs if r.check.ok and r.time_s is not None] for key, rs in groups.items()}
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
        if ok:
            times = [r.time_s for r in ok]
            row.min_s, row.median_s, row.max_s = min(times), medians[key], max(times)
            base = medians.get((series, entry.baseline or program, 1, n))
            if base and row.median_s > 0:
                row.speedup = base / row.median_s
                if threads:
                    row.efficiency = row.speedup / threads
                row.karp_flatt = karp_flatt(row.speedup, threads)
            row.rate, row.rate_unit = rate(entry.kind.name, n, row.median_s)
            if entry.kind.name == "pi":
                if (series, n) in serial_pi:
                    row.units_from_serial = units_of_15th_decimal(ok[0].result, serial_pi[(series, n)])
                row.units_from_pi = units_of_15th_decimal(ok[0].result, PI)
            results = {r.result for r in ok}
            row.reproducible = "yes" if len(results) == 1 else f"no: {len(results)} results in {len(ok)} runs"
        rows.append(row)
    return rows


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

"""Statistics over repeated runs: one summary row per program, team size obtained and size."""
import statistics

from . import programs as P
from .validate import PI, ulps

SUMMARY_FIELDS = ("series", "program", "threads", "threads_requested", "problem_size", "runs", "min_s",
                  "median_s", "max_s", "speedup", "efficiency", "karp_flatt", "rate", "rate_unit",
                  "ulps_serial", "ulps_pi", "stable", "floor_s", "predicted_s", "pct_floor", "bound_by", "check",
                  "note")


def min_median_max(values):
    return min(values), statistics.median(values), max(values)


def karp_flatt(speedup, threads):
    """Experimentally determined serial fraction: (1/S - 1/p) / (1 - 1/p), for p > 1."""
    if speedup is None or speedup <= 0 or threads <= 1:
        return None
    return (1.0 / speedup - 1.0 / threads) / (1.0 - 1.0 / threads)


def rate(program, n, seconds):
    """Intervals per second for the pi programs; GB/s written (8 (N + 1) bytes) for the fills."""
    if not seconds or seconds <= 0:
        return None, ""
    if P.kind(program) == "pi":
        return n / seconds, "intervals/s"
    return 8 * (n + 1) / seconds / 1e9, "GB/s"


def summarise(runs):
    """Rows of the summary (dicts with SUMMARY_FIELDS), in a stable order: by series, problem
    size, the programs in their usual order, then team size. Only runs that passed their check
    enter the figures; a group with a failed run says so in its check column."""
    groups = {}
    for r in runs:
        if r.program in P.TIMED:
            groups.setdefault((r.series, r.program, r.threads, r.problem_size), []).append(r)
    medians = {}
    for key, rs in groups.items():
        times = [r.time_s for r in rs if r.check == "ok" and r.time_s is not None]
        medians[key] = statistics.median(times) if times else None
    serial_pi = {(r.series, r.problem_size): r.result for r in runs
                 if r.program == "quadplain" and r.check == "ok"}
    results_by_team = {}
    for (series, prog, threads, n), rs in groups.items():
        results_by_team.setdefault((series, prog, n), set()).update(r.result for r in rs if r.check == "ok")

    order = {p: i for i, p in enumerate(P.TIMED)}
    rows = []
    for key in sorted(groups, key=lambda k: (k[0], P.kind(k[1]) != "pi", k[3], order[k[1]], k[2])):
        series, prog, threads, n = key
        rs = groups[key]
        ok = [r for r in rs if r.check == "ok" and r.time_s is not None]
        failed = [r for r in rs if r.check != "ok"]
        row = dict.fromkeys(SUMMARY_FIELDS, "")
        row.update(series=series, program=prog, threads=threads, problem_size=n, runs=len(rs),
                   threads_requested=" ".join(str(t) for t in sorted({r.threads_requested for r in rs
                                                                           if r.threads_requested})))
        row["check"] = "ok" if not failed else f"FAIL: {len(failed)} of {len(rs)} runs: {failed[0].check[6:]}"
        if ok:
            times = [r.time_s for r in ok]
            mid = medians[key]
            row.update(min_s=min(times), median_s=mid, max_s=max(times))
            base = medians.get((series, P.BASELINE.get(prog, prog), 1, n))
            if base and mid > 0:
                speedup = base / mid
                row.update(speedup=speedup, efficiency=speedup / threads)
                kf = karp_flatt(speedup, threads)
                row["karp_flatt"] = "" if kf is None else kf
            row["rate"], row["rate_unit"] = rate(prog, n, mid)
            results = {r.result for r in ok}
            if P.kind(prog) == "pi":
                first = ok[0].result
                if (series, n) in serial_pi:
                    row["ulps_serial"] = ulps(first, serial_pi[(series, n)])
                row["ulps_pi"] = ulps(first, PI)
            flags = []
            if len(results) > 1:
                flags.append(f"{len(results)} results over repeats")
            if len(results_by_team[(series, prog, n)]) > 1 and prog in P.PARALLEL:
                flags.append("result depends on team size")
            row["stable"] = "; ".join(flags) if flags else "yes"
        rows.append(row)
    return rows


def weak_efficiency(rows):
    """Weak scaling: efficiency t(1) / t(T) of each program against its own one-thread run."""
    one = {r["program"]: r["median_s"] for r in rows if r["series"] == "weak" and r["threads"] == 1}
    for r in rows:
        if r["series"] == "weak" and r["median_s"] and one.get(r["program"]):
            r["efficiency"] = one[r["program"]] / r["median_s"]
            r["speedup"] = r["karp_flatt"] = ""
    return rows


def measured_crossover(rows, program, threads, gain=1.1):
    """Smallest N of the sweep at which the program beats quadplain by the gain, interpolated
    in log N between the two sizes around the first crossing; None when it never does."""
    import math
    pts = sorted((r["problem_size"], r["speedup"]) for r in rows
                 if r["series"] == "sweep" and r["program"] == program and r["threads"] == threads
                 and r["speedup"] != "")
    for k, (n, s) in enumerate(pts):
        if s >= gain:
            if k == 0:
                return n
            n0, s0 = pts[k - 1]
            f = (gain - s0) / (s - s0)
            return math.exp(math.log(n0) + f * (math.log(n) - math.log(n0)))
    return None

"""Calibration and the time model: what this machine can do, measured on the spot by the
calibrate program, and from it a floor, a predicted time and a bound for every summary row.

floor      the least time the row's work can take at its team size: N dependent additions / T for
           the pi programs; for the fills the first touch of the array at T threads plus the
           larger of the multiplication chain / T and the writes at T threads (the stores overlap
           with the chain, the page faults do not).
predicted  floor plus the measured overheads of the constructs the program uses.
pct_floor  the measured median as a percentage of the floor (100 = at the floor).
bound_by   the largest term of the prediction.
"""
import csv
import os
import subprocess

from .cli import SuiteError, progress
from .programs import BASELINE

FIGURES = ("timer_tick", "add_latency", "mul_latency", "mul_independent", "first_touch", "write_touched",
           "fork_join", "critical", "reduction", "static_loop", "dynamic_chunk", "first_region")
# What each parallel program pays for its constructs in one run: the first region of the process
# (measured with quadguard, so it holds one critical entry per thread) and, for quadmerge, its
# loop and reduction in place of that critical entry.
CONSTRUCTS = {"quadguard": (("first_region", 1),),
              "quadmerge": (("first_region", 1), ("critical", -1), ("static_loop", 1), ("reduction", 1)),
              "growsplit": (("first_region", 1), ("critical", -1))}
IMPOSSIBLE = 0.5  # a median below half its floor cannot be a real run of the program
PRINTED_TICK = {"pi": 1e-8, "grow": 1e-6}  # the programs print 8 and 6 decimals of seconds


def calibrate_path(bindir):
    return os.path.join(os.path.dirname(os.path.abspath(bindir)), "bench", "calibrate")


def run_calibration(bindir, threads, out_path, env, extra=()):
    """Run the calibrate program and save its CSV; None (and a note) when it is not there."""
    path = calibrate_path(bindir)
    if not os.access(path, os.X_OK):
        progress(f"no calibrate program at {path}: no floors or predictions in this study")
        return None
    progress(f"calibrating this machine ({os.path.basename(path)} --threads {','.join(map(str, threads))})")
    proc = subprocess.run([path, "--threads", ",".join(map(str, threads)), *extra], env=env,
                          stdout=subprocess.PIPE, text=True)
    if proc.returncode != 0:
        raise SuiteError(f"calibrate failed with status {proc.returncode}")
    text = proc.stdout + "".join(first_region_rows(bindir, threads, env))
    with open(out_path, "w") as f:
        f.write(text)
    return read_calibration(out_path)


def first_region_rows(bindir, threads, env, runs=11):
    """The first parallel region of a fresh process also starts the runtime's threads, a cost
    that a loop over regions never sees and that every program here pays once. It is measured
    with the suite's own quadguard at N = 1 (no work, one critical entry per thread), per team
    size: the median and the range of the runs, as calibration rows."""
    from .programs import Runner, read_lines, Run
    runner = Runner()
    for t in threads:
        if t > (os.cpu_count() or 1):  # as calibrate does: a team larger than the processors is not measured
            yield f"first_region,{t},,,,s,more threads than processors\n"
            continue
        env_t = dict(env, OMP_NUM_THREADS=str(t))
        times = sorted(read_lines(Run("calibration", "quadguard", t, t, 1, "", k), runner.run(
            os.path.join(bindir, "quadguard"), ("1",), env_t)[0]).time_s for k in range(runs))
        yield f"first_region,{t},{times[runs // 2]:.6e},{times[1]:.6e},{times[-2]:.6e},s,quadguard N=1\n"


def read_calibration(path):
    """{(figure, threads): (median, lower end of its 95% interval)} from a calibration CSV;
    figures left empty (not measurable here) are absent."""
    try:
        with open(path, newline="") as f:
            rows = list(csv.DictReader(f))
    except OSError as e:
        raise SuiteError(f"cannot read the calibration {path}: {e.strerror}", 2) from None
    if not rows or "figure" not in rows[0] or "median" not in rows[0]:
        raise SuiteError(f"{path} is not a calibration (no figure and median columns)", 2)
    figures = {}
    for r in rows:
        if r["median"]:
            median = float(r["median"])
            figures[(r["figure"], int(r["threads"]))] = (median, float(r["low95"] or median))
    return figures


class Model:
    def __init__(self, figures, low=False):
        self.figures = figures
        self.f = {k: v[1] if low else v[0] for k, v in figures.items()}

    def get(self, figure, threads=1):
        return self.f.get((figure, threads))

    def describe(self):
        """Markdown lines: every figure measured, per team size where it has one."""
        lines = []
        for fig in FIGURES:
            got = sorted((t, v) for (f, t), v in self.f.items() if f == fig)
            if got:
                unit = "s/GB" if fig in ("first_touch", "write_touched") else "ns"
                scale = 1.0 if unit == "s/GB" else 1e9
                lines.append(f"- {fig}: " + ", ".join(f"{v * scale:.4g} {unit} ({t} thr)" for t, v in got))
            else:
                lines.append(f"- {fig}: not measured")
        return lines

    def tick(self, program):
        """The finest step in which a program's time is known: the timer's or the printed one."""
        kind = "pi" if program.startswith("quad") else "grow"
        return max(self.get("timer_tick") or 0.0, PRINTED_TICK[kind])

    def terms(self, program, threads, n):
        """{term: seconds} of the prediction, or None when a needed figure is missing."""
        t = threads
        if program.startswith("quad"):
            add = self.get("add_latency")
            if add is None:
                return None
            terms = {"addition latency": n * add / t}
        else:
            gb = 8 * (n + 1) / 1e9
            mul, touch, write = self.get("mul_latency"), self.get("first_touch", t), self.get("write_touched", t)
            if None in (mul, touch, write):
                return None
            chain = (n + 1) * mul / t
            terms = {"first touch": gb * touch}
            if gb * write > chain:
                terms["memory writes"] = gb * write
            else:
                terms["multiplication latency"] = chain
        if program in CONSTRUCTS:
            parts = [(self.get(c, t), sign) for c, sign in CONSTRUCTS[program]]
            if any(v is None for v, _ in parts):
                return None
            terms["construct overhead"] = max(0.0, sum(v * sign for v, sign in parts))
        return terms

    def apply(self, rows):
        """Fill floor_s, predicted_s, pct_floor and bound_by of summary rows; flag impossible times."""
        # The impossibility check takes the floor from the best the calibration saw (the lower
        # ends of its intervals), so that a calibration slowed by other load cannot fail a real run.
        best = Model(self.figures, low=True)
        for r in rows:
            terms = self.terms(r["program"], r["threads"], r["problem_size"])
            if not terms:
                r["note"] = "no calibration for this team size"
                continue
            floor = sum(v for k, v in terms.items() if k != "construct overhead")
            predicted = sum(terms.values())
            r.update(floor_s=floor, predicted_s=predicted, bound_by=max(terms, key=terms.get))
            if r["median_s"] != "" and floor > 0:
                r["pct_floor"] = 100.0 * r["median_s"] / floor
                least = best.terms(r["program"], r["threads"], r["problem_size"])
                least = sum(v for k, v in least.items() if k != "construct overhead")
                if r["median_s"] < IMPOSSIBLE * least and r["check"] == "ok":
                    r["check"] = (f"FAIL: median {r['median_s']:.3g} s is below half the least time the "
                                  f"calibration allows, {least:.3g} s: no real run is that fast")
            if r["median_s"] != "" and r["median_s"] < 20 * self.tick(r["program"]):
                r["note"] = "under 20 timer ticks"
        serial = {(r["series"], r["program"], r["problem_size"]): r["predicted_s"] for r in rows if r["threads"] == 1}
        for r in rows:
            base = serial.get((r["series"], BASELINE.get(r["program"], r["program"]), r["problem_size"]))
            if base and r["predicted_s"]:
                r["predicted_speedup"] = base / r["predicted_s"]
        return rows

    def crossover(self, program, threads):
        """N from which the model has a parallel pi program beat quadplain by 10%:
        N add >= 1.1 (N add / T + overhead), so N >= 1.1 overhead / (add (1 - 1.1 / T));
        None when it never does (one thread) or a figure is missing."""
        add, terms = self.get("add_latency"), self.terms(program, threads, 1)
        if not add or not terms or threads * 1.0 <= 1.1:
            return None
        return 1.1 * terms["construct overhead"] / (add * (1.0 - 1.1 / threads))

"""Measuring this machine for the time model: the calibrate program's figures, the first
parallel region of a fresh process measured with the suite's own critical-section program, and
reading a calibration file back."""
import csv
import math
import os
import subprocess

from .build import calibrate_path
from .console import progress
from .errors import SuiteError
from .files import write_atomic


def run_calibration(catalogue, bindir, threads, out_path, env, cores, extra=()):
    """Run the calibrate program and save its CSV; None (and a note) when it is not there."""
    path = calibrate_path(bindir)
    if not os.access(path, os.X_OK):
        progress(f"no calibrate program at {path}: no floors or predictions in this study")
        return None
    progress(f"calibrating this machine ({os.path.basename(path)} --threads {','.join(map(str, threads))})")
    proc = subprocess.run([path, "--threads", ",".join(map(str, threads)), *extra], env=env,
                          stdout=subprocess.PIPE, text=True, errors="replace")
    if proc.returncode != 0:
        raise SuiteError(f"calibrate failed with status {proc.returncode}")
    text = proc.stdout + "".join(first_region_rows(catalogue, bindir, threads, env, cores))
    write_atomic(out_path, text)  # whole or absent: a cut calibration would be refused later
    return read_calibration(out_path)


def first_region_rows(catalogue, bindir, threads, env, cores, runs=11):
    """The first parallel region of a fresh process also starts the runtime's threads, a cost
    that a loop over regions never sees and that every program here pays once. It is measured
    with the suite's own critical-section pi program at N = 1 (no work, one critical entry per
    thread), per team size: the median and the range of the runs, as calibration rows."""
    from .execute import Runner
    entry = next(p for p in catalogue.suite("pi") if p.parallel and ("first_region", 1) in p.constructs
                 and len(p.constructs) == 1)
    runner = Runner()
    for t in threads:
        if t > cores:  # as calibrate does: a team larger than the cores is not measured
            yield f"first_region,{t},,,,s,more threads than cores\n"
            continue
        env_t = dict(env, OMP_NUM_THREADS=str(t))
        times = []
        for _ in range(runs):
            found = entry.kind.read(runner.run(os.path.join(bindir, entry.name), entry.args(1), env_t, 60).out)
            if "time" not in found:
                raise SuiteError(f"calibration: {entry.name} printed no time at N = 1")
            times.append(float(found["time"]))
        times.sort()
        yield f"first_region,{t},{times[runs // 2]:.6e},{times[1]:.6e},{times[-2]:.6e},s,{entry.name} N=1\n"


def _figure(text, path, line, column):
    try:
        value = float(text)
    except ValueError:
        raise SuiteError(f"{path}, line {line}: {column} '{text}' is not a number", 2) from None
    if not math.isfinite(value):  # an overhead may be measured below zero: its note says so
        raise SuiteError(f"{path}, line {line}: {column} '{text}' is not a finite number", 2)
    return value


def read_calibration(path):
    """{(figure, threads): (median, lower end of its 95% interval)} from a calibration CSV;
    figures left empty (not measurable here) are absent."""
    try:
        with open(path, newline="", encoding="utf-8") as f:
            rows = list(csv.DictReader(f))
    except OSError as e:
        raise SuiteError(f"cannot read the calibration {path}: {e.strerror}", 2) from None
    except (UnicodeDecodeError, csv.Error) as e:
        raise SuiteError(f"{path} is not a calibration: {e}", 2) from None
    if not rows or any(c not in rows[0] for c in ("figure", "threads", "median", "low95")):
        raise SuiteError(f"{path} is not a calibration (no figure, threads, median and low95 columns)", 2)
    figures = {}
    for line, r in enumerate(rows, 2):
        if None in r.values() or None in r:
            raise SuiteError(f"{path}, line {line}: not as many fields as the header", 2)
        if r["median"]:
            median = _figure(r["median"], path, line, "median")
            low = _figure(r["low95"], path, line, "low95") if r["low95"] else median
            threads = r["threads"]
            if not threads.isdigit() or not 1 <= int(threads) <= 4096:
                raise SuiteError(f"{path}, line {line}: threads '{threads}' is not a team size", 2)
            figures[(r["figure"], int(threads))] = (median, low)
    return figures

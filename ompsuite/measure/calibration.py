"""Measuring this machine for the time model: the calibrate program's figures, the first
parallel region of a fresh process measured with the suite's own critical-section program, and
reading a calibration file back."""
import os
import subprocess

from ompsuite import catalogue as C
from ompsuite.measure.build import calibrate_path
from ompsuite.platform.console import progress
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.platform.files import Finite, Text, Whole, read_csv, write_atomic


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
    from ompsuite.measure.execute import Runner
    entry = next(p for p in catalogue.suite(C.PI) if p.parallel and ("first_region", 1) in p.constructs
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


# An overhead may be measured below zero (its note says so): no lower bound on the figures.
CALIBRATION_FIELDS = {"figure": Text(allow_empty=False), "threads": Whole(1, 4096),
                      "median": Finite(allow_empty=True), "low95": Finite(allow_empty=True)}


def read_calibration(path):
    """{(figure, threads): (median, lower end of its 95% interval)} from a calibration CSV;
    figures left empty (not measurable here) are absent. A damaged file is refused with its
    line and field (SuiteError, status 2)."""
    rows = read_csv(path, CALIBRATION_FIELDS)
    if not rows:
        raise SuiteError(f"{printable(path)} holds no calibration rows", 2)
    figures = {}
    for r in rows:
        if r["median"] is not None:
            low = r["low95"] if r["low95"] is not None else r["median"]
            figures[(r["figure"], r["threads"])] = (r["median"], low)
    return figures

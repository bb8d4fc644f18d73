"""Measuring this machine for the time model (docs/model.md), and reading a calibration back. It is
watched as every run is: figures taken on a busy machine are taken again, never used as floors."""
from __future__ import annotations

import os
import tempfile
import time
from typing import TYPE_CHECKING, Callable, Dict, Iterator, Mapping, Optional, Sequence, Tuple, cast

from ompsuite import catalogue as C
from ompsuite.analyse.model import Model
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.measure.build import calibrate_path
from ompsuite.platform.child import ChildResult, run_tool
from ompsuite.platform.console import progress
from ompsuite.platform.files import Finite, Text, Whole, read_csv, read_text, write_atomic
from ompsuite.platform.interference import LOAD_CORES, Interference, Snapshot, Usage, disturbed
from ompsuite.options import Options
from ompsuite.study import Figures

if TYPE_CHECKING:  # prepare reads calibration files with this module
    from ompsuite.measure.prepare import Prepared

CALIBRATE_TIMEOUT_S = 900.0  # it takes seconds per team size; a hung one is stopped, not waited for
TRIES = 3  # a calibration disturbed this many times in a row is not used: the machine is busy
# Its figures are medians of repeats, which sporadic steal leaves as they are (docs/noise.md, the end).
CALIBRATION_STEAL_CORES = 0.20


def watched(argv: Sequence[str], env: Mapping[str, str], watch: Mapping[str, float], tries: int = TRIES,
            take: Callable[[], Snapshot] = Snapshot.take) -> Tuple[ChildResult, Optional[str]]:
    """The last of at most tries runs of the calibrate program, stopping at one undisturbed (judged as
    any run is), and why it was disturbed (None when it was not)."""
    why: Optional[str] = None
    for attempt in range(1, tries + 1):
        before = take()
        done = run_tool(argv, "calibrate", CALIBRATE_TIMEOUT_S, env=env)
        after = take()
        usage = Usage.from_rusage(done.rusage) if done.rusage is not None else None
        why = disturbed(Interference.build(before, after, usage, done.wall_s, os.cpu_count() or 1),
                        load_cores=watch.get("load_cores", LOAD_CORES),
                        steal_cores=watch.get("steal_cores", CALIBRATION_STEAL_CORES))
        if done.returncode != 0 or why is None:  # a failure is said by the caller
            return done, None
        if attempt < tries:
            progress(f"the calibration was disturbed ({why}): taking it again")
    return done, why


def calibrate(o: Options, prep: Prepared, path: Optional[str], quick: bool) -> Tuple[Optional[Model], float]:
    """The time model and the seconds its calibration took: from --calibration, from path when a
    stopped study measured it, else measured at 1 and each team the runtime gives (quick: fewer repeats),
    saved to path (None: thrown away); None, said in a line, without a calibrate program or a quiet try."""
    if o.no_calibrate:
        return None, 0.0
    if given := o.calibration or (path if path and os.path.exists(path) else None):
        model = Model(read_calibration(given), cores=prep.cores)
        if path and o.calibration:  # the study folder keeps the figures it used
            write_atomic(path, read_text(o.calibration))
        return model, 0.0
    limit = prep.thread_limit or max(o.threads or [prep.default_team])
    teams = sorted({1, *(min(t, limit) for t in o.threads or [prep.default_team])})
    extra = ("--repeats", "7", "--buffer-mib", "256") if quick else ()
    began, bindir, env = time.monotonic(), prep.folders.bindir, prep.binding.env()
    if (program := calibrate_path(bindir)) is None:
        progress(f"no calibrate program for {printable(bindir)} (only the suite's own build trees and a --bin "
                 "folder itself are looked in): no floors or predictions in this study")
        return None, time.monotonic() - began
    listed = ",".join(map(str, teams))
    progress(f"calibrating this machine ({os.path.basename(program)} --threads {listed})")
    proc, why = watched([program, "--threads", listed, *extra], env, o.machine_watch())
    said = [ln for ln in proc.stderr.splitlines() if ln.strip()]
    if proc.returncode != 0:
        raise SuiteError(f"calibrate failed with status {proc.returncode}" +
                         (f": {printable(said[-1], 300)}" if said else ""))
    if why is not None:
        progress(f"the calibration was disturbed in each of {TRIES} tries ({why}): no floors or predictions in "
                 "this study, since floors from a busy machine would be beaten by quiet runs; calibrate on a "
                 "quiet machine, or give --calibration FILE")
        return None, time.monotonic() - began
    for line in said[-20:]:  # its own progress lines, passed on once it is done
        progress(printable(line, 300))
    text = proc.stdout + "".join(first_region_rows(prep.catalogue, bindir, teams, env, prep.cores))
    with tempfile.NamedTemporaryFile(suffix=".csv") as f:
        write_atomic(path or f.name, text)  # whole or absent: a cut calibration would be refused later
        figures = read_calibration(path or f.name)
    return (Model(figures, cores=prep.cores) if figures else None), time.monotonic() - began


def first_region_rows(catalogue: C.Catalogue, bindir: str, threads: Sequence[int], env: Mapping[str, str],
                      cores: int, runs: int = 11) -> Iterator[str]:
    """The first_region rows per team size (docs/model.md): the median and range of runs of the
    suite's critical-section pi program at N = 1."""
    from ompsuite.measure.execute import Runner
    entry = next(p for p in catalogue.suite(C.PI) if p.parallel and ("first_region", 1) in p.constructs
                 and len(p.constructs) == 1)
    runner = Runner()
    for t in threads:
        if t > cores:  # as calibrate does: a team larger than the cores is not measured
            yield f"first_region,{t},,,,s,more threads than cores\n"
            continue
        env_t = dict(env, OMP_NUM_THREADS=str(t))
        times: list[float] = []
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


def read_calibration(path: str) -> Figures:
    """{(figure, threads): (median, lower end of its 95% interval)} from a calibration CSV, figures
    left empty (not measurable here) absent; a damaged file is SuiteError status 2."""
    if not (rows := read_csv(path, CALIBRATION_FIELDS)):
        raise SuiteError(f"{printable(path)} holds no calibration rows", 2)
    figures: Dict[Tuple[str, int], Tuple[float, float]] = {}
    for r in rows:  # the fields' types are the ones CALIBRATION_FIELDS asked for
        median, low = cast(Optional[float], r["median"]), cast(Optional[float], r["low95"])
        if median is not None:
            figures[(cast(str, r["figure"]), cast(int, r["threads"]))] = (median, median if low is None else low)
    return figures

"""Scaling study: every timed program over a list of thread counts, with repeats.

Writes into the output folder, as it goes: runs.csv (every run, checked), then machine.csv
(where it ran), summary.csv and summary.md (median and min-max time, speedup, efficiency,
Karp-Flatt serial fraction, rates, reproducibility, checks), study.json and the plots.
Threads are bound (OMP_PROC_BIND=close, OMP_PLACES=cores) unless OMP_PROC_BIND or OMP_PLACES
is already set, which is then kept, or --no-bind is given.
"""
from __future__ import annotations

import datetime
import os
import random
import textwrap
import time
from typing import Dict, List

from ompsuite import catalogue as C
from ompsuite.analyse.model import Model
from ompsuite.cli.common import Parser, closing, failure_lines
from ompsuite.cli.options import add_noise, add_programs, add_sizes, add_threads, build_options, count
from ompsuite.errors import SuiteError
from ompsuite.options import Options
from ompsuite.escape import printable
from ompsuite.export import results, tables
from ompsuite.measure import plans
from ompsuite.measure.build import out_root
from ompsuite.measure.calibration import read_calibration, run_calibration
from ompsuite.measure.prepare import executor, prepare, warm_up
from ompsuite.measure.session import Session, Stopped, conclude
from ompsuite.platform import files, machine, signals, topology
from ompsuite.platform.console import progress, run_main
from ompsuite.platform.topology import default_threads
from ompsuite.study import JOURNAL, STUDY_JSON, Journal, Series

# Every file a study folder may hold: a folder holding only these is a study's, and may be reused.
STUDY_FILES = (*results.FILE_NAMES, JOURNAL, "calibration.csv", "topology.xml")


def parse(argv: List[str]) -> Options:
    ap = Parser(prog="scaling", description=__doc__.split("\n\n")[0])
    add_sizes(ap)
    add_threads(ap, "1, 2, 4, ... and the physical core count")
    add_programs(ap)
    add_noise(ap)
    ap.add_argument("--out", metavar="DIR", help="output folder (default out/scaling-DATE-TIME)")
    ap.add_argument("--sweep", nargs="?", const=1000000000, type=count(1000, C.PI_MAX_N), metavar="LIMIT",
                    help="also run the pi programs at N = 1e3, 1e4, ... up to LIMIT (default 1e9) at every "
                         "thread count: speedup against N and the crossover")
    ap.add_argument("--weak", nargs="?", const=100000000, type=count(1, C.PI_MAX_N), metavar="BASE",
                    help="also run the parallel pi programs with N = BASE x threads (default BASE 1e8): weak "
                         "scaling, efficiency t(1) / t(T)")
    o = build_options(ap, ap.parse_args(argv))
    o.threads = o.threads or default_threads()
    if o.weak and o.weak * max(o.threads) > C.PI_MAX_N:
        ap.error(f"--weak {o.weak} with {max(o.threads)} threads needs N = {o.weak * max(o.threads)}, "
                 f"more than the pi programs take ({C.PI_MAX_N})")
    if o.out is None:
        o.out = os.path.join(out_root(), datetime.datetime.now().strftime("scaling-%Y%m%d-%H%M%S"))
    return o


def run(o: Options) -> int:
    # One study per folder: held from before anything is built until everything is written.
    assert o.out is not None  # parse() sets it
    lock = files.claim_out_dir(o.out, STUDY_FILES)
    try:
        return study(o, o.out)
    except SuiteError:
        _remove_if_empty(o.out, lock)
        raise
    finally:
        lock.release()


def _remove_if_empty(folder: str, lock: files.FolderLock) -> None:
    """A study refused before its first run leaves no empty folder behind to block the next."""
    try:
        if [f for f in os.listdir(folder) if f != files.LOCK_NAME] == []:
            lock.release()
            os.rmdir(folder)
    except OSError:
        pass


def study(o: Options, out: str) -> int:
    teams: List[int] = list(o.threads or [])  # parse() sets them
    prep = prepare(o, teams)
    cat, folders = prep.catalogue, prep.folders
    # hwloc's own record of the machine, beside the figures (when hwloc is installed).
    topo = topology.discover(save_xml_to=os.path.join(out, "topology.xml"))
    order = random.Random(o.seed)
    timed = plans.strong(cat, folders, prep.binding, teams, o.pi_n, o.repeats, prep.recurrence_n,
                         o.recurrence_repeats, prep.size_note)
    if o.sweep:
        timed += plans.sweep(cat, folders, prep.binding, teams, o.sweep, o.repeats)
    if o.weak:
        timed += plans.weak(cat, folders, prep.binding, teams, o.weak, o.repeats)
    jobs = plans.small_checks(cat, folders, prep.binding, teams, o.seed) + plans.interleave(timed, order)
    model, started, calibrated = None, time.monotonic(), 0.0
    if o.calibration:
        model = Model(read_calibration(o.calibration), cores=prep.cores)
        files.write_atomic(os.path.join(out, "calibration.csv"), files.read_text(o.calibration))
    elif not o.no_calibrate:
        figures = run_calibration(cat, folders.bindir, teams, os.path.join(out, "calibration.csv"),
                                  prep.binding.env(), prep.cores, watch=o.machine_watch())
        model = Model(figures, cores=prep.cores) if figures else None
        calibrated = time.monotonic() - started
    journal = Journal(os.path.join(out, JOURNAL))
    ex = executor(o)
    warm_up(o, prep, ex)
    session = Session(ex, journal=journal)
    topup = plans.TopUp(jobs, o.precision, o.budget, order)
    stopped = None
    try:
        session.execute(jobs, where=out, topup=topup)
    except Stopped as e:
        stopped = e
    finally:
        journal.close()
    placements: Dict[str, str] = {}
    for r in session.runs:
        if r.placement:
            placements.setdefault(f"placement_{r.program}_{r.threads_requested}", r.placement)
    n = prep.recurrence_n
    facts = machine.facts(folders.bindir, prep.binding, prep.cores, topo, [
        ("pi_n", str(o.pi_n)), ("recurrence_n", "" if n is None else str(n)),
        ("recurrence_build", "" if n is None else ("full" if n == C.FULL_N else "reduced")),
        ("repeats", str(o.repeats)), ("recurrence_repeats", str(o.recurrence_repeats)), ("seed", str(o.seed)),
        ("threads", " ".join(map(str, teams))),
        ("variants", " ".join(f"{e.name}={e.path}:{e.kind.name}" for e in cat.variants())),
        ("calibration", "measured" if model and not o.calibration else (o.calibration or "none")),
        ("calibration_s", f"{calibrated:.1f}"), ("duration_s", f"{time.monotonic() - started:.1f}"),
        ("completed", "yes" if not stopped else f"no: {stopped}"),
        *sorted(placements.items())])
    result = conclude(session, cat, model, topup, facts, stopped, machine.context(topo))
    with signals.shielded():  # a second signal must not cut short the writing of what was measured
        try:
            written = results.export_study(result, out)
        except (OSError, SuiteError) as e:
            if not stopped:
                raise
            # The reason for the stop comes first; what could not be written after it, second.
            what = e if isinstance(e, SuiteError) else \
                f"cannot write {printable(e.filename or out)}: {files.os_reason(e)}"
            raise Stopped(f"{stopped}; then {what}", stopped.status) from None
    if stopped:
        raise stopped
    strong = result.of_series(Series.STRONG)
    print("\n".join(tables.terminal(strong, modelled=bool(model))))
    print("\n" + "\n".join(textwrap.wrap(f"written in {printable(out)}: " + ", ".join(written), 100)))
    for line in result.notes:
        print("\n".join(textwrap.wrap(f"note: {line}", 100, subsequent_indent="  ")))
    failures = failure_lines(result)
    if failures:
        progress(f"{len(failures)} {'check' if len(failures) == 1 else 'checks'} failed (the check column of "
                 f"{out}/runs.csv and summary.csv):")
    return closing(result)


def main(argv: List[str]) -> None:
    run_main("scaling", lambda args: run(parse(args)), argv)

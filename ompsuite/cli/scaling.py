"""Scaling study: every timed program over a list of thread counts, with repeats; runs.jsonl is
written as it goes, the rest of the folder once it ends (docs/files.md; --resume: docs/commands.md)."""
from __future__ import annotations

import contextlib
import datetime
import os
import textwrap
from typing import List

from ompsuite import catalogue as C
from ompsuite.cli.common import closing, failure_lines
from ompsuite.cli.options import build_options, count, measuring_parser
from ompsuite.errors import Interrupted, SuiteError
from ompsuite.options import Options
from ompsuite.escape import printable
from ompsuite.export import results, tables
from ompsuite.measure import flow
from ompsuite.measure.build import out_root
from ompsuite.measure.session import Stopped
from ompsuite.platform import files, signals
from ompsuite.platform.console import progress, run_main
from ompsuite.platform.topology import default_threads
from ompsuite.study import JOURNAL, Series

# Every file a study folder may hold: a folder holding only these is a study's, and may be reused.
STUDY_FILES = (*results.FILE_NAMES, JOURNAL, "calibration.csv", "topology.xml")


def parse(argv: List[str]) -> Options:
    ap = measuring_parser("scaling", __doc__, "1, 2, 4, ... and the physical core count")
    ap.add_argument("--out", metavar="DIR", help="output folder (default out/scaling-DATE-TIME)")
    ap.add_argument("--sweep", nargs="?", const=1000000000, type=count(1000, C.PI_MAX_N), metavar="LIMIT",
                    help="also run the pi programs at N = 1e3, 1e4, ... up to LIMIT (default 1e9) at every "
                         "thread count: speedup against N and the crossover")
    ap.add_argument("--weak", nargs="?", const=100000000, type=count(1, C.PI_MAX_N), metavar="BASE",
                    help="also run the parallel pi programs with N = BASE x threads (default BASE 1e8): weak "
                         "scaling, efficiency t(1) / t(T)")
    ap.add_argument("--resume", metavar="DIR",
                    help="continue the study stopped in DIR, keeping every run it made: alone, with the options "
                         "its journal holds; with options, they must make the same plan")
    a = ap.parse_args(argv)
    o = build_options(ap, a)
    o.threads = o.threads or default_threads()
    if o.weak and o.weak * max(o.threads) > C.PI_MAX_N:
        ap.error(f"--weak {o.weak} with {max(o.threads)} threads needs N = {o.weak * max(o.threads)}, "
                 f"more than the pi programs take ({C.PI_MAX_N})")
    if a.resume is not None:
        if o.out is not None:
            ap.error("--resume continues the study in its own folder: --out is not taken with it")
        alone = [x for x in argv if x not in ("--resume", a.resume, f"--resume={a.resume}")] == []
        o.seed = a.seed
        o = flow.resumed_options(a.resume, None if alone else o)
        o.resume = True
    if o.out is None:
        o.out = os.path.join(out_root(), datetime.datetime.now().strftime("scaling-%Y%m%d-%H%M%S"))
    return o


def run(o: Options) -> int:
    # One study per folder, held from before anything is built until all is written; a resumed one's kept.
    assert o.out is not None  # parse() sets it
    lock = files.claim_out_dir(o.out, () if o.resume else STUDY_FILES)
    try:
        return study(o, o.out)
    except (SuiteError, Interrupted):
        # A study refused before its first run leaves no empty folder behind to block the next.
        with contextlib.suppress(OSError):
            if not o.resume and [f for f in os.listdir(o.out) if f != files.LOCK_NAME] == []:
                lock.release()
                os.rmdir(o.out)
        raise
    finally:
        lock.release()


def study(o: Options, out: str) -> int:
    measured = flow.measure(o)
    result, stopped = measured.study, measured.stopped
    with signals.shielded():  # a second signal must not cut short the writing of what was measured
        try:
            written = results.export_study(result, out, results.study_files(o.rubric))
        except (OSError, SuiteError) as e:
            if not stopped:
                raise
            # The reason for the stop comes first; what could not be written after it, second.
            what = e if isinstance(e, SuiteError) else \
                f"cannot write {printable(e.filename or out)}: {files.os_reason(e)}"
            raise Stopped(f"{stopped}; then {what}", stopped.status) from None
    if stopped:
        raise stopped
    print("\n".join(tables.terminal(result.of_series(Series.STRONG), modelled=measured.modelled)))
    print("\n" + "\n".join(textwrap.wrap(f"written in {printable(out)}: " + ", ".join(written), 100)))
    for line in result.notes:
        print("\n".join(textwrap.wrap(f"note: {line}", 100, subsequent_indent="  ")))
    if failures := failure_lines(result):
        progress(f"{len(failures)} {'check' if len(failures) == 1 else 'checks'} failed (the check column of "
                 f"{out}/runs.csv and summary.csv):")
    return closing(result)


def main(argv: List[str]) -> None:
    run_main("scaling", lambda args: run(parse(args)), argv)

#!/usr/bin/env python3
"""Plausible headline: does ./runsuite ever print an impossible speedup as ok, or an unexplained slow fill?

Runs ./runsuite RUNS times with its defaults (the options below are passed on, so that it can be
run small) and --csv, and reads the summary CSVs. Prints every pi speedup above its row's team
size that the run still calls ok (goal: none; a team of T cannot sum more than T times as fast),
and for every growplain row whose system time exceeds its user time whether its bound_by names
page faults (goal: all). A run whose checks failed is read all the same: its CSV is what is
judged. Fails when no run gave a pi speedup to judge.
Usage: bench/headline.py [--runs 5] [--pi-n N] [--repeats N] [--threads LIST] [--recurrence-n N]
                         [--recurrence-bin DIR] [--recurrence-repeats N] [--no-calibrate] [--keep DIR]
"""
import argparse
import os
import sys

from benchlib import ROOT, add_recurrence, interval, pi_speedups, read_summary, recurrence_args, tool, work_folder
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.platform import files
from ompsuite.cli import options
from ompsuite.platform.console import progress, run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(prog="headline", description=__doc__.splitlines()[0])
    ap.add_argument("--runs", metavar="N", type=options.count(1, 100), default=5,
                    help="runs of ./runsuite (default 5)")
    ap.add_argument("--pi-n", metavar="N", type=options.count(1, C.PI_MAX_N),
                    help="intervals for the pi programs (default: runsuite's, 1e8)")
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS),
                    help="runs of every pi configuration (default: runsuite's, 5)")
    ap.add_argument("--threads", metavar="LIST", type=options.thread_list,
                    help="team sizes (default: runsuite's, the runtime's default team)")
    add_recurrence(ap, default_n=None)
    ap.add_argument("--recurrence-repeats", metavar="N", type=options.count(1, options.MAX_RECURRENCE_REPEATS),
                    help="runs of every recurrence configuration (default: runsuite's, 1)")
    ap.add_argument("--no-calibrate", action="store_true", help="skip runsuite's calibration (default: calibrate)")
    ap.add_argument("--keep", metavar="DIR",
                    help="keep each run's CSV and printed table in DIR (default: nothing kept)")
    a = ap.parse_args(argv)
    args = recurrence_args(a)
    for option, value in (("--pi-n", a.pi_n), ("--repeats", a.repeats),
                          ("--recurrence-repeats", a.recurrence_repeats),
                          ("--threads", a.threads and ",".join(map(str, a.threads)))):
        if value is not None:
            args += [option, str(value)]
    if a.no_calibrate:
        args.append("--no-calibrate")

    names = [f"runsuite-{k}.{ext}" for k in range(1, a.runs + 1) for ext in ("csv", "txt")]
    tables = []
    with work_folder(a.keep, names) as work:
        for k in range(1, a.runs + 1):
            progress(f"runsuite run {k} of {a.runs}")
            path = os.path.join(work, f"runsuite-{k}.csv")
            # Status 1 is also failed checks, which this benchmark judges rather than stops at.
            status, text, _ = tool([os.path.join(ROOT, "runsuite"), "--csv", path, *args], allow=(0, 1),
                                   echo=f"run {k}: ")
            if a.keep:
                files.write_atomic(os.path.join(work, f"runsuite-{k}.txt"), text)
            if not os.path.exists(path):
                raise SuiteError(f"runsuite run {k} ended with status {status} and wrote no {os.path.basename(path)}")
            tables.append(read_summary(path))

    fill = C.Catalogue().serial("recurrence").name
    print(f"headline: ./runsuite {a.runs} times" + (f" with {' '.join(args)}" if args else " with its defaults"))
    above, impossible_ok, judged = [], [], 0
    for k, rows in enumerate(tables, 1):
        for (program, threads), r in sorted(pi_speedups(rows).items()):
            judged += 1
            if threads and r["speedup"] > threads:
                above.append((k, r))
                if r["check"] == "ok":
                    impossible_ok.append((k, r))
    print(f"pi speedups judged: {judged}; above their team: {len(above)}, of which printed with check ok: "
          f"{len(impossible_ok)} (goal: none)")
    for k, r in above:
        said = "ok" if r["check"] == "ok" else "failed its check"
        print(f"  run {k}: {r['program']} threads={r['threads']} speedup {r['speedup']:.3f}{interval(r)}: {said}"
              + (f"; note: {r['note']}" if r["note"] and r["check"] == "ok" else ""))
    slow = [(k, r) for k, rows in enumerate(tables, 1) for r in rows
            if r["program"] == fill and r["series"] == "strong" and r["user_s"] is not None
            and r["system_s"] is not None and r["system_s"] > r["user_s"]]
    named = [(k, r) for k, r in slow if "page fault" in r["bound_by"].lower()]
    if slow:
        print(f"{fill} rows with more system than user time: {len(slow)}; bound_by names page faults: "
              f"{len(named)} (goal: all)")
        for k, r in slow:
            if (k, r) not in named:
                print(f"  run {k}: user {r['user_s']:.3f} s, system {r['system_s']:.3f} s, bound_by "
                      f"'{r['bound_by'] or '(empty)'}'")
    else:
        fills = sum(1 for rows in tables for r in rows if r["program"] == fill and r["series"] == "strong")
        print(f"{fill} rows with more system than user time: none of {fills} (nothing to judge)")
    if a.keep:
        print(f"kept in {a.keep}: runsuite-K.csv (the summary rows) and runsuite-K.txt (the printed table) "
              "of each run")
    if not judged:
        raise SuiteError("no run of runsuite gave a pi speedup to judge")
    return 0


if __name__ == "__main__":
    run_main("headline", main, sys.argv[1:])

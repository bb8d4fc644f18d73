#!/usr/bin/env python3
"""Agreement benchmark: the run command's pi speedups against the scaling study's medians.

Runs ./runsuite RUNS times and ./scaling once, on the same machine one after the other, with
the same pi N and repeats, the core count as the team and the default binding; the recurrence
programs run from a small reduced build (they are not compared). Both tools' summaries are read
as CSV. Prints each runsuite speedup of every parallel pi program over the study's and how far it
is (goal: within 5%). Fails when the two share no row to compare.
Usage: bench/agreement.py [--runs 3] [--pi-n 1e8] [--repeats 5]
"""
import argparse
import csv
import os
import sys
import tempfile

from benchlib import ROOT, SMALL_N, tool  # also puts the tools' package on the path
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.cli import options
from ompsuite.platform import topology
from ompsuite.platform.console import progress, run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402


def speedups(path, threads):
    """{program: speedup} of the strong-series parallel pi rows at this team size."""
    pi = {p.name for p in C.Catalogue().of_kind("pi", parallel=True)}
    with open(path, newline="") as f:
        return {r["program"]: float(r["speedup"]) for r in csv.DictReader(f)
                if r["series"] == "strong" and r["program"] in pi and r["threads"] == str(threads) and r["speedup"]}


def main(argv):
    ap = argparse.ArgumentParser(prog="agreement", description=__doc__.splitlines()[0])
    ap.add_argument("--runs", metavar="N", type=options.count(1, 100), default=3, help="runs of ./runsuite (default 3)")
    ap.add_argument("--pi-n", metavar="N", type=options.count(1, C.PI_MAX_N), default=100000000,
                    help="intervals for the pi programs (default 1e8)")
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS), default=5,
                    help="repeats in both tools (default 5)")
    a = ap.parse_args(argv)
    cores = topology.physical_cores()
    common = ["--pi-n", str(a.pi_n), "--repeats", str(a.repeats), "--recurrence-n", str(SMALL_N),
              "--threads", str(cores), "--no-calibrate"]
    runs = []
    with tempfile.TemporaryDirectory() as tmp:
        for k in range(a.runs):
            progress(f"runsuite run {k + 1} of {a.runs}")
            path = os.path.join(tmp, f"runsuite-{k}.csv")
            tool([os.path.join(ROOT, "runsuite"), "--csv", path, *common])
            runs.append(speedups(path, cores))
        progress("scaling study")
        out = os.path.join(tmp, "study")
        tool([os.path.join(ROOT, "scaling"), "--out", out, *common])
        study = speedups(os.path.join(out, "summary.csv"), cores)
    print(f"pi speedups at {cores} threads, N = {a.pi_n}, {a.repeats} repeats: runsuite against the study's median")
    worst, compared = 0.0, 0
    for prog in sorted(study):
        for k, r in enumerate(runs, 1):
            if prog in r:
                dev = r[prog] / study[prog] - 1
                worst, compared = max(worst, abs(dev)), compared + 1
                print(f"  {prog} runsuite run {k}: {r[prog]:.2f} against {study[prog]:.2f} ({100 * dev:+.1f}%)")
    if not compared:
        raise SuiteError("the run command and the study share no speedup to compare")
    print(f"largest difference: {100 * worst:.1f}% (goal within 5%)")
    return 0


if __name__ == "__main__":
    run_main("agreement", main, sys.argv[1:])

#!/usr/bin/env python3
"""Agreement benchmark: the run command's pi speedups against the scaling study's medians.

Runs ./runsuite RUNS times and ./scaling once, on the same machine one after the other, with
the same pi N and repeats, the processor count as the team and the default binding; the
recurrence programs run from a small reduced build (they are not compared). Prints each
runsuite speedup of quadguard and quadmerge over the study's and how far it is (goal: within 5%).
Usage: bench/agreement.py [--runs 3] [--pi-n 1e8] [--repeats 5]
"""
import argparse
import csv
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
from ompsuite import cli  # noqa: E402
from ompsuite import programs as P  # noqa: E402

SMALL_N = 1000000


def tool(args):
    proc = subprocess.run([sys.executable, *args], capture_output=True, text=True)
    if proc.returncode != 0:
        raise cli.SuiteError(f"{os.path.basename(args[0])} failed with status {proc.returncode}: "
                             f"{proc.stderr.strip().splitlines()[-1] if proc.stderr.strip() else ''}")
    return proc.stdout


def main(argv):
    ap = argparse.ArgumentParser(prog="agreement", description=__doc__.splitlines()[0])
    ap.add_argument("--runs", type=cli.count_option(1), default=3, help="runs of ./runsuite (default 3)")
    ap.add_argument("--pi-n", type=cli.count_option(1, P.PI_MAX_N), default=100000000,
                    help="intervals for the pi programs (default 1e8)")
    ap.add_argument("--repeats", type=cli.count_option(1), default=5, help="repeats in both tools (default 5)")
    a = ap.parse_args(argv)
    cores = os.cpu_count() or 1
    common = ["--pi-n", str(a.pi_n), "--repeats", str(a.repeats), "--recurrence-n", str(SMALL_N)]
    runs = []
    for k in range(a.runs):
        cli.progress(f"runsuite run {k + 1} of {a.runs}")
        out = tool([os.path.join(P.ROOT, "runsuite"), "--threads", str(cores), "--no-calibrate", *common])
        runs.append({m.group(1): float(m.group(2)) for m in re.finditer(
            r"(?m)^\| (quadguard|quadmerge) \| \d+ \| \d+ \| \d+ \| [\d.]+ \| \S+ \| (\d+\.\d+) \|", out)})
    with tempfile.TemporaryDirectory() as out:
        cli.progress("scaling study")
        tool([os.path.join(P.ROOT, "scaling"), "--threads", str(cores), "--no-calibrate", "--out", out, *common])
        with open(os.path.join(out, "summary.csv"), newline="") as f:
            study = {r["program"]: float(r["speedup"]) for r in csv.DictReader(f)
                     if r["series"] == "strong" and r["program"] in ("quadguard", "quadmerge")
                     and r["threads"] == str(cores)}
    print(f"pi speedups at {cores} threads, N = {a.pi_n}, {a.repeats} repeats: runsuite against the study's median")
    worst = 0.0
    for prog in ("quadguard", "quadmerge"):
        for k, r in enumerate(runs, 1):
            dev = r[prog] / study[prog] - 1
            worst = max(worst, abs(dev))
            print(f"  {prog} runsuite run {k}: {r[prog]:.2f} against {study[prog]:.2f} ({100 * dev:+.1f}%)")
    print(f"largest difference: {100 * worst:.1f}% (goal within 5%)")
    return 0


if __name__ == "__main__":
    cli.run_main("agreement", main, sys.argv[1:])

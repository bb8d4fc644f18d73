#!/usr/bin/env python3
"""Model check: how well a study's time model explains what it measured.

Reads a study folder made with calibration (its CSV files) and prints, against the project's goals: the
predicted over the measured median of every row of the main series (goal within 15%), the
predicted over the measured crossover N of each parallel pi program (goal within a factor of 3,
needs --sweep), quadplain's median over its floor (goal within 10%), and the calibration's share
of the study's duration (goal at most 15%).
Usage: bench/modelcheck.py STUDY_DIR
"""
import argparse
import csv
import os
import sys

import benchlib  # noqa: F401 -- puts the tools' package on the path
from ompsuite.platform.console import run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(prog="modelcheck", description=__doc__.splitlines()[0])
    ap.add_argument("study", metavar="DIR", help="a study folder made with calibration (and --sweep for the crossovers)")
    folder = ap.parse_args(argv).study
    try:
        with open(os.path.join(folder, "summary.csv"), newline="") as f:
            rows = list(csv.DictReader(f))
        with open(os.path.join(folder, "machine.csv"), newline="") as f:
            facts = dict(csv.reader(f))
        crossovers = []
        if os.path.exists(os.path.join(folder, "crossovers.csv")):
            with open(os.path.join(folder, "crossovers.csv"), newline="") as f:
                crossovers = list(csv.DictReader(f))
    except OSError as e:
        raise SuiteError(f"{folder} is not a study: {e.strerror}: {e.filename}", 2) from None
    strong = [r for r in rows if r["series"] == "strong" and r["predicted_s"] and r["median_s"]]
    if not strong:
        raise SuiteError(f"{folder}: no predicted times (was the study calibrated?)", 2)
    print(f"model check of {folder} ({facts.get('host')}, {facts.get('cores')} cores)")
    print(f"{'program':<10} {'threads':>7} {'median s':>10} {'predicted s':>11} {'pred/meas':>9} {'bound by'}")
    worst = 0.0
    for r in strong:
        ratio = float(r["predicted_s"]) / float(r["median_s"])
        worst = max(worst, abs(ratio - 1))
        print(f"{r['program']:<10} {r['threads']:>7} {float(r['median_s']):10.6f} {float(r['predicted_s']):11.6f} "
              f"{ratio:9.3f} {r['bound_by']}")
    print(f"largest deviation of a prediction: {100 * worst:.1f}% (goal <= 15%)")
    for c in crossovers:
        what = f"crossover {c['program']} {c['threads']} threads: measured {c['measured_n'] or 'never'}, " \
               f"predicted {c['predicted_n'] or 'n/a'}"
        if c["measured_n"] and c["predicted_n"]:
            factor = float(c["predicted_n"]) / float(c["measured_n"])
            what += f", factor {max(factor, 1 / factor):.2f} (goal <= 3)"
        print(what)
    plain = next((r for r in strong if r["program"] == "quadplain"), None)
    if plain and plain["pct_floor"]:
        print(f"quadplain median / its floor: {float(plain['pct_floor']) / 100:.3f} (goal <= 1.10)")
    if facts.get("calibration_s") and facts.get("duration_s"):
        cal, total = float(facts["calibration_s"]), float(facts["duration_s"])
        print(f"calibration took {cal:.1f} s, the rest of the study {total - cal:.1f} s: it lengthens the study by "
              f"{100 * cal / (total - cal):.1f}% (goal <= 15%)")
    return 0


if __name__ == "__main__":
    run_main("modelcheck", main, sys.argv[1:])

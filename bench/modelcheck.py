#!/usr/bin/env python3
"""Model check: how well a study's time model explains what it measured.

Reads a study folder made with calibration (its study.json) and prints, against the project's goals: the
predicted over the measured median of every row of the main series (goal within 15%), the
predicted over the measured crossover N of each parallel pi program (goal within a factor of 3,
needs --sweep), quadplain's median over its floor (goal within 10%), and the calibration's share
of the study's duration (goal at most 15%).
Usage: bench/modelcheck.py STUDY_DIR
"""
import argparse
import sys

import benchlib  # puts the tools' package on the path
from ompsuite.platform.console import run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.study import Series  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(prog="modelcheck", description=__doc__.splitlines()[0])
    ap.add_argument("study", metavar="DIR", help="a study folder made with calibration (and --sweep for the crossovers)")
    folder = ap.parse_args(argv).study
    study = benchlib.read_study(folder)
    strong = [s for s in study.of_series(Series.STRONG) if s.predicted_s and s.median_s]
    if not strong:
        raise SuiteError(f"{folder}: no predicted times (was the study calibrated?)", 2)
    print(f"model check of {folder} ({study.fact('host')}, {study.fact('cores')} cores)")
    print(f"{'program':<10} {'threads':>7} {'median s':>10} {'predicted s':>11} {'pred/meas':>9} {'bound by'}")
    worst = 0.0
    for s in strong:
        ratio = s.predicted_s / s.median_s
        worst = max(worst, abs(ratio - 1))
        print(f"{s.program:<10} {'?' if s.threads is None else s.threads:>7} {s.median_s:10.6f} {s.predicted_s:11.6f} "
              f"{ratio:9.3f} {s.bound_by}")
    print(f"largest deviation of a prediction: {100 * worst:.1f}% (goal <= 15%)")
    for c in study.crossovers:
        what = (f"crossover {c.program} {c.threads} threads: measured {f'{c.measured_n:.0f}' if c.measured_n else 'never'}, "
                f"predicted {f'{c.predicted_n:.0f}' if c.predicted_n else 'n/a'}")
        if c.measured_n and c.predicted_n:
            factor = c.predicted_n / c.measured_n
            what += f", factor {max(factor, 1 / factor):.2f} (goal <= 3)"
        print(what)
    plain = next((s for s in strong if s.program == "quadplain"), None)
    if plain and plain.pct_floor:
        print(f"quadplain median / its floor: {plain.pct_floor / 100:.3f} (goal <= 1.10)")
    if study.fact("calibration_s") and study.fact("duration_s"):
        cal, total = float(study.fact("calibration_s")), float(study.fact("duration_s"))
        print(f"calibration took {cal:.1f} s, the rest of the study {total - cal:.1f} s: it lengthens the study by "
              f"{100 * cal / (total - cal):.1f}% (goal <= 15%)")
    return 0


if __name__ == "__main__":
    run_main("modelcheck", main, sys.argv[1:])

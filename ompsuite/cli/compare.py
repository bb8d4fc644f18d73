"""Machines side by side: several scaling study folders in one Markdown table and one plot.

Reads each study's machine.csv and summary.csv; per program and thread count, each machine's
median time, speedup, efficiency and % of floor. Folders that are not studies are refused
(status 2); studies made with different problem sizes are compared with a warning.
"""
import argparse
import datetime
import os

from ompsuite.export import comparison
from ompsuite.platform import files
from ompsuite.export import plot
from ompsuite.measure.build import out_root
from ompsuite.platform.console import progress, run_main
from ompsuite.errors import SuiteError


def fraction(text):
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def parse(argv):
    ap = argparse.ArgumentParser(prog="compare", description=__doc__.split("\n\n")[0])
    ap.add_argument("studies", nargs="+", metavar="STUDY",
                    help="study folders (or results.json files), one per machine or build")
    ap.add_argument("--out", metavar="DIR", help="output folder (default out/compare-DATE-TIME)")
    ap.add_argument("--noise", metavar="FRACTION", type=fraction, default=0.02,
                    help="changes within this fraction of the median are no change (default 0.02)")
    ap.add_argument("--alpha", metavar="P", type=fraction, default=0.05,
                    help="significance level of the rank test (default 0.05)")
    ap.add_argument("--aa", action="store_true",
                    help="the studies ran one build on one machine: report how often a change is called anyway")
    a = ap.parse_args(argv)
    if a.out is None:
        a.out = os.path.join(out_root(), datetime.datetime.now().strftime("compare-%Y%m%d-%H%M%S"))
    return a


def run(a):
    studies = comparison.read_studies(a.studies)
    lock = files.claim_out_dir(a.out, ("compare.md", "verdicts.csv", "compare.gp", "compare.png"), what="comparison")
    try:
        return write(a, studies)
    finally:
        lock.release()


def write(a, studies):
    for s in studies:
        why = comparison.incomplete(s)
        if why:
            progress(f"compare: the study in {s.path} did not finish ({why}): its figures rest on fewer runs")
    lines, differences = comparison.document(studies)
    # Before/after: every later study against the first, configuration by configuration.
    verdicts = []
    for after in studies[1:]:
        found = comparison.verdicts(studies[0], after, a.noise, a.alpha)
        verdicts += comparison.verdict_rows(studies[0], after, found)
        lines += comparison.verdict_lines(studies[0], after, found, a.noise, a.alpha)
        if a.aa:
            lines += [comparison.false_positive_line(found), ""]
    if differences:
        progress(f"compare: the studies used different problem sizes ({'; '.join(differences)}): "
                 "their times are not comparable")
    try:
        files.write_atomic(os.path.join(a.out, "compare.md"), "\n".join(lines) + "\n")
        if verdicts:
            files.write_atomic(os.path.join(a.out, "verdicts.csv"),
                               files.csv_text(comparison.VERDICT_FIELDS, verdicts))
        plotted = plot.compare_plot(a.out, studies, comparison.strong_speedups)
    except OSError as e:
        raise SuiteError(f"cannot write {e.filename or a.out}: {e.strerror or e}") from None
    print("\n".join(lines))
    print(f"written: {a.out}/compare.md" + (", verdicts.csv" if verdicts else "") + ", compare.gp" +
          (", compare.png" if plotted else ""))
    if plotted is False:
        raise SuiteError(f"gnuplot failed to draw {a.out}/compare.png (the message above says why)")
    return 0


def main(argv):
    run_main("compare", lambda args: run(parse(args)), argv)

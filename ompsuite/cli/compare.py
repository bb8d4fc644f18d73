"""Machines side by side: several studies in one Markdown document, with verdicts and a plot.

Reads each study's study.json (a folder of the previous version: its results.json); per program
and thread count, each study's median time, speedup, efficiency and % of floor, then every later
study against the first. What is not a study is refused (status 2); studies made with different
problem sizes are compared with a warning.
"""
import argparse
import datetime
import os
from typing import List, Sequence

from ompsuite.escape import printable
from ompsuite.export import comparison, plot, results
from ompsuite.measure.build import out_root
from ompsuite.platform import files
from ompsuite.platform.console import progress, run_main

# What a comparison writes; a folder that already holds one of them is refused.
OWNED = ("compare.md", "verdicts.csv", "compare.png", "compare.svg")


def fraction(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
    if not 0 < value < 1:
        raise argparse.ArgumentTypeError(f"must be between 0 and 1, got {text}")
    return value


def parse(argv: Sequence[str]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(prog="compare", description=(__doc__ or "").split("\n\n")[0])
    ap.add_argument("studies", nargs="+", metavar="STUDY",
                    help="study folders (or their study.json or results.json files), one per machine or build")
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


def run(a: argparse.Namespace) -> int:
    compared = comparison.read_studies(a.studies)
    lock = files.claim_out_dir(a.out, OWNED, what="comparison")
    try:
        return write(a, compared)
    finally:
        lock.release()


def write(a: argparse.Namespace, compared: List[comparison.Compared]) -> int:
    for c in compared:
        why = comparison.incomplete(c.study)
        if why:
            progress(f"compare: the study in {printable(c.path)} did not finish ({printable(why)}): "
                     "its figures rest on fewer runs")
    lines, differences = comparison.document(compared)
    # Before/after: every later study against the first, configuration by configuration.
    found: List[comparison.VerdictRow] = []
    for after in compared[1:]:
        these = comparison.verdicts(compared[0], after, a.noise, a.alpha)
        found += these
        lines += comparison.verdict_lines(compared[0], after, these, a.noise, a.alpha)
        if a.aa:
            lines += [comparison.false_positive_line(these), ""]
    if differences:
        progress(f"compare: the studies used different problem sizes ({printable('; '.join(differences))}): "
                 "their times are not comparable")
    written = ["compare.md"]
    files.write_atomic(os.path.join(a.out, "compare.md"), "\n".join(lines) + "\n")
    if found:
        files.write_atomic(os.path.join(a.out, "verdicts.csv"),
                           files.spreadsheet_csv(comparison.VERDICT_FIELDS, [r.cells() for r in found]))
        written.append("verdicts.csv")
    drawn: List[str] = plot.compare_plot(a.out, [c.study for c in compared], [c.label for c in compared])
    written += [os.path.basename(f) for f in drawn]
    print("\n".join(lines))
    print(f"written: {printable(a.out)}/" + ", ".join(written))
    return 0


def main(argv: Sequence[str]) -> None:
    def go(args: Sequence[str]) -> int:
        return run(parse(args))
    run_main("compare", go, argv)


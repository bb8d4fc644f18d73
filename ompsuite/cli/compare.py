"""Machines side by side: several studies in one Markdown document, with verdicts and a plot
(docs/commands.md, "./compare"; the exit statuses: parse()'s epilog)."""
import argparse
import datetime
import os
from typing import List, Sequence

from ompsuite.cli.options import number
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.export import comparison, plot
from ompsuite.measure.build import out_root
from ompsuite.platform import files
from ompsuite.platform.console import progress, run_main, wrapped
from ompsuite.study import dumps

# What a comparison writes; a folder that already holds one of them is refused.
OWNED = ("compare.md", "verdicts.csv", "compare.png", "compare.svg")
WIDE = 0.1  # a reference's tolerance beyond this says its studies disagree: said when it is made
SLOWER = 4  # some configuration slower beyond its band, where that was asked to fail (no other command's status)


fraction = number(lambda v: 0 < v < 1, "must be between 0 and 1")


def parse(argv: Sequence[str]) -> argparse.Namespace:
    ap = argparse.ArgumentParser(prog="compare", description=(__doc__ or "").split("\n\n")[0],
                                 epilog="exit status: 0 no configuration slower beyond the noise band (or no "
                                        f"--fail-on), {SLOWER} some configuration slower (--fail-on slower, "
                                        "--reference), 1 an input that cannot be read, 2 a bad option")
    ap.add_argument("studies", nargs="+", metavar="STUDY",
                    help="study folders (or their study.json or results.json files), one per machine or build")
    ap.add_argument("--out", metavar="DIR", help="output folder (default out/compare-DATE-TIME)")
    ap.add_argument("--noise", metavar="FRACTION", type=fraction, default=0.02,
                    help="changes within this fraction of the median are no change (default 0.02)")
    ap.add_argument("--alpha", metavar="P", type=fraction, default=0.05,
                    help="significance level of the rank test (default 0.05)")
    ap.add_argument("--aa", action="store_true",
                    help="the studies ran one build on one machine: report how often a change is called anyway")
    ap.add_argument("--fail-on", choices=("slower",),
                    help=f"exit with status {SLOWER} when any configuration is slower beyond the noise band")
    ap.add_argument("--reference", metavar="REF",
                    help="hold each study against this reference (a study folder, or a file of "
                         f"--make-reference), each configuration within its tolerance; status {SLOWER} when slower")
    ap.add_argument("--make-reference", metavar="FILE",
                    help="write the studies' clean runs as one node type's reference to FILE, each "
                         "configuration's tolerance the larger of --noise and the spread of their medians")
    a = ap.parse_args(argv)
    if a.reference and a.make_reference:
        ap.error("--reference and --make-reference: one at a time")
    if a.out is None:
        a.out = os.path.join(out_root(), datetime.datetime.now().strftime("compare-%Y%m%d-%H%M%S"))
    return a


def run(a: argparse.Namespace) -> int:
    if a.make_reference:
        return make_reference(a.make_reference, comparison.read_studies(a.studies), a.noise)
    compared = comparison.read_studies(([a.reference] if a.reference else []) + a.studies)
    if a.reference:
        compared[0] = comparison.Compared(compared[0].path, compared[0].study, "reference")
    lock = files.claim_out_dir(a.out, OWNED, what="comparison")
    try:
        return write(a, compared)
    finally:
        lock.release()


def make_reference(path: str, compared: List[comparison.Compared], noise: float) -> int:
    if os.path.lexists(path):
        raise SuiteError(f"{printable(path)} exists: a reference is not overwritten; remove it first", 2)
    made = comparison.reference(compared, noise)
    if wide := [comparison.config_text(k) for k, t in comparison.tolerances(made).items() if t > WIDE]:
        progress(f"compare: the studies' medians differ by more than {WIDE:.0%} for {'; '.join(wide)}: "
                 "their tolerance is that wide; make the reference of studies of a quiet machine")
    files.write_atomic(path, dumps(made))
    print(f"written: {printable(path)}: {len(made.summaries)} configurations from {len(compared)} "
          f"stud{'y' if len(compared) == 1 else 'ies'}")
    return 0


def write(a: argparse.Namespace, compared: List[comparison.Compared]) -> int:
    for c in compared:
        if why := comparison.incomplete(c.study):
            progress(f"compare: the study in {printable(c.path)} did not finish ({printable(why)}): "
                     "its figures rest on fewer runs")
    lines, differences = comparison.document(compared)
    tolerance = comparison.tolerances(compared[0].study) if a.reference else {}
    # Before/after: every later study against the first, configuration by configuration.
    found: List[comparison.VerdictRow] = []
    shown: List[str] = []
    for after in compared[1:]:
        these, left = comparison.verdicts(compared[0], after, a.noise, a.alpha, tolerance)
        found += these
        lines += comparison.verdict_lines(compared[0], after, these, left, a.noise, a.alpha)
        shown += comparison.terminal_lines(compared[0], after, these, left, bool(a.reference)) + [""]
        if a.aa:
            lines += [comparison.false_positive_line(these), ""]
            shown += [wrapped(comparison.false_positive_line(these)), ""]
    if differences:
        progress(f"compare: the studies used different problem sizes ({printable('; '.join(differences))}): "
                 "their times are not comparable")
    written = ["compare.md"]
    files.write_atomic(os.path.join(a.out, "compare.md"), "\n".join(lines) + "\n")
    if found:
        files.write_atomic(os.path.join(a.out, "verdicts.csv"),
                           files.spreadsheet_csv(comparison.VERDICT_FIELDS, [r.cells() for r in found]))
        written.append("verdicts.csv")
    written += [os.path.basename(f) for f in plot.compare_plot(a.out, [c.study for c in compared],
                                                               [c.label for c in compared])]
    slower = [r for r in found if r.verdict.label == "slower"]
    failing = bool(slower) and (a.fail_on == "slower" or bool(a.reference))
    if len(compared) == 1:
        shown.append("one study: its figures are in compare.md")
    elif failing:
        shown.append(f"slower: {len(slower)} of {len(found)} configurations (exit status {SLOWER})")
    print("\n".join(shown + [wrapped(f"written: {printable(a.out)}/" + ", ".join(written))]))
    return SLOWER if failing else 0


def main(argv: Sequence[str]) -> None:
    run_main("compare", lambda args: run(parse(args)), argv)

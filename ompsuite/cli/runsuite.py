"""Build the suite if needed, run all six programs, check every result and compare them
(what it shows, in what order, and its exit statuses: docs/commands.md, "./runsuite")."""
from __future__ import annotations

import os
import textwrap
from typing import Callable, List, Sequence, Set, Tuple

from ompsuite import catalogue as C
from ompsuite.cli.common import closing
from ompsuite.cli.options import build_options, measuring_parser
from ompsuite.export import results, tables
from ompsuite.export.grades import GradeFiles
from ompsuite.options import Options
from ompsuite.measure import flow
from ompsuite.platform.console import output, run_main
from ompsuite.platform.files import check_output_path, write_atomic
from ompsuite.errors import SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.study import Run, Series, Study


def parse(argv: List[str]) -> Options:
    ap = measuring_parser("runsuite", __doc__, "the runtime's default team, OMP_NUM_THREADS")
    ap.add_argument("--wide", action="store_true",
                    help="print the full table (every column, Markdown) instead of the one that fits a terminal")
    ap.add_argument("--markdown", metavar="FILE", help="also write the full table to FILE as Markdown")
    ap.add_argument("--csv", metavar="FILE", help="also write the summary rows to FILE as CSV")
    ap.add_argument("--json", metavar="FILE", help="also write every run to FILE in the JSON format of the most "
                                                  "widely used C++ micro-benchmark library (its compare.py reads it)")
    ap.add_argument("--report", metavar="FILE.html",
                    help="also write the results as one self-contained HTML page to FILE.html (the table, a card "
                         "per variant, the plots inline; it loads nothing and runs no script)")
    return build_options(ap, ap.parse_args(argv))


VARIANT_LINES = 5  # of a variant's output shown on the terminal


def show_first(seen: Set[str]) -> Callable[[Run], None]:
    def show(run: Run) -> None:
        # A run that printed nothing (a variant that crashed or hung) shows its reason in the table.
        if run.program not in seen and run.series is not Series.CHECK and run.output.strip():
            seen.add(run.program)
            title = "sum of 0 ... 999999" if run.program_entry.kind is C.TEAM else f"N = {run.problem_size}"
            text = run.output.rstrip("\n").split("\n")
            if run.program_entry.variant:  # a user's program: its words escaped, a few lines of them
                more = f"\n({len(text) - VARIANT_LINES} more lines)" if len(text) > VARIANT_LINES else ""
                text = [printable(line, 96) for line in text[:VARIANT_LINES]] + ([more[1:]] if more else [])
            output(f"== {run.program}: {title}\n" + "\n".join(text) + "\n")
    return show


def run(o: Options) -> int:
    for option, path in (("--json", o.json), ("--csv", o.csv), ("--markdown", o.markdown), ("--report", o.report)):
        check_output_path(path, option)  # refused now, not after every run
    measured = flow.measure(o, team_report=True, show=show_first(set()))
    study, stopped, prep, model = measured.study, measured.stopped, measured.prep, measured.modelled
    rows = study.summaries
    print("\n" + "\n".join(textwrap.wrap("Summary: medians of the runs, the pi programs interleaved; speedup of "
                                        "the medians over the serial baseline; threads as obtained "
                                        f"({prep.binding.describe()})", 100)))
    print("\n".join(tables.markdown(rows, modelled=model) if o.wide else tables.terminal(rows, modelled=model)))
    outputs = [(path, text) for path, text in ((o.markdown, results.markdown_table),
                                                (o.csv, lambda s: results.summary_csv(s.summaries)),
                                                (o.json, results.results_json),
                                                (o.report, lambda s: results.report_page(s, o.rubric))) if path]
    written, failed = write_each(outputs, study)
    try:  # the class's grades beside the page, for a course system to read
        written += GradeFiles(o.rubric).write(study, os.path.dirname(os.path.abspath(o.report))) if o.report else []
    except OSError as e:
        failed.append(f"cannot write the grades beside {printable(o.report, 200)}: {os_reason(e)}")
    if any(r.program_entry.kind is C.RECURRENCE for r in study.runs) and prep.recurrence_n is not None:
        times = "once" if o.recurrence_repeats == 1 else f"{o.recurrence_repeats} times"
        print(f"the recurrence programs ran {times} each (every run fills "
              f"{8 * (prep.recurrence_n + 1) / 1e9:.3g} GB;\n--recurrence-repeats runs them more often)")
    for line in tables.team_lines(study):
        print(line)
    for line in study.notes:
        print("\n".join(textwrap.wrap(f"note: {line}", 100, subsequent_indent="  ")))
    if failed:
        # Every named file that could be written was: the line says which were, so none is lost unsaid.
        kept = f"; written: {', '.join(written)}" if written else ""
        raise SuiteError("; ".join(failed) + kept)
    if stopped:
        raise stopped
    return closing(study)


def write_each(outputs: Sequence[Tuple[str, Callable[[Study], str]]], study: Study) -> Tuple[List[str], List[str]]:
    """Each (path, exporter) written whole, one failure not stopping the others: (written, failures)."""
    written, failed = [], []
    for path, text in outputs:
        try:
            write_atomic(path, text(study))
            written.append(printable(path, 200))
        except OSError as e:
            failed.append(f"cannot write {printable(path, 200)}: {os_reason(e)}")
    return written, failed


def main(argv: List[str]) -> None:
    run_main("runsuite", lambda args: run(parse(args)), argv)

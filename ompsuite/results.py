"""A study's result files (summary.csv, machine.csv) and the failed checks, said last."""
import sys

from .files import csv_text, write_atomic
from .records import SummaryRow


def write_machine(path, facts):
    write_atomic(path, csv_text(["key", "value"], facts))


def write_summary_csv(path, rows):
    write_atomic(path, csv_text(SummaryRow.FIELDS, [[r.row()[f] for f in SummaryRow.FIELDS] for r in rows]))


def failure_lines(runs, rows=()):
    """One line per failed run, and per summary row whose median failed the model's check."""
    lines = [f"{r.program} threads={r.threads} N={r.problem_size} repeat={r.repeat}: {r.check}" for r in runs]
    failed_runs = {(r.series, r.program, r.threads, r.problem_size) for r in runs}
    lines += [f"{r.program} threads={r.threads} N={r.problem_size} median: {r.check}" for r in rows
              if not r.check.ok and (r.series, r.program, r.threads, r.problem_size) not in failed_runs]
    return lines


def print_failures(lines):
    """Failed checks go last, one line each, on standard error; the status to exit with."""
    for line in lines:
        print(f"check failed: {line}", file=sys.stderr, flush=True)
    return 1 if lines else 0

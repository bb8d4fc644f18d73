"""A study's result files (summary.csv, machine.csv, results.json) and the failed checks, said last."""
import os
import sys

from ompsuite.export import benchjson
from ompsuite.platform.files import csv_text, write_atomic
from ompsuite.study import SummaryRow


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


def json_document(runs, facts, catalogue, topology):
    """The runs in the micro-benchmark library's JSON format (see benchjson), with the machine's
    facts as its context."""
    f = dict(facts)
    try:
        load = list(os.getloadavg())
    except OSError:
        load = []
    context = dict(topology.context(), date=f.get("date", ""), host=f.get("host", ""), load_avg=load,
                   library_build_type="release", ompsuite_machine=f)
    plain = []
    for r in runs:
        extra = {"kind": r.entry.kind.name, "baseline": r.entry.baseline or "", "size_note": r.size_note}
        if r.interference is not None:  # the interference record, where the platform offered it
            extra.update((k, v) for k, v in r.interference.values().items() if v not in (None, ""))
        plain.append({"series": r.series, "program": r.program, "threads": r.threads,
                      "threads_requested": r.threads_requested or 0,  # 0: the runtime's default team
                      "problem_size": r.problem_size if r.entry.kind.name != "team" else None,
                      "repeat": r.repeat, "time_s": r.time_s, "cpu_s": r.cpu_s,
                      "check": str(r.check) if not r.check.ok else "ok", "disturbed": r.disturbed,
                      "result": r.result, "extra": extra})
    return benchjson.results_document(context, plain, unit_of=lambda p: benchjson.suite_unit(p, catalogue))


def write_json(path, runs, facts, catalogue, topology):
    benchjson.write_results(path, json_document(runs, facts, catalogue, topology))

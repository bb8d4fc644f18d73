"""Machines side by side: several scaling studies in one Markdown table and one speedup plot.

Reads only each study's machine.csv (key,value), summary.csv and runs.csv (columns by name;
unknown ones are ignored), strictly: a damaged file, or a summary whose run counts disagree with
runs.csv, is refused. Per series, program and thread count, each machine gets its median time,
speedup, efficiency and, where a study has it, the percentage of its floor. Strong-scaling rows are
matched on program and threads alone, so studies made with different problem sizes still line
up; that case is reported on standard error and in the Markdown, because their times are then
not comparable. Folders that are not studies are refused with exit status 2.
"""
import errno
import os
import statistics
import stat

from ompsuite.catalogue import Catalogue
from ompsuite.export import benchjson
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.platform.files import Finite, Text, Whole, os_reason, read_csv, read_key_values
from ompsuite.platform.machine import SCHEMA
from ompsuite.cli.options import MAX_THREADS
from ompsuite.export.tables import fmt_time, md_cell as cell
STRONG = "strong"


class Study:
    def __init__(self, path, facts, rows, runs=()):
        self.path = path
        self.facts = facts
        self.rows = rows  # key -> row; see row_key
        self.runs = list(runs)  # runs.csv's rows, parsed
        self.label = facts.get("host") or os.path.basename(path)


def not_a_study(path, why):
    return SuiteError(f"{printable(path)} is not a study folder: {why}", 2)


# What compare reads of a study, field by field: a damaged or hostile file is refused with its
# path, line and field rather than half read. Texts are single lines (a newline in a host name
# is damage, not a name); numbers are finite and in range.
_NOTE = 2000  # a check or a stop's reason: a sentence, with a path or a program's last line
MACHINE_FIELDS = {"schema": Text(max_len=20)}
MACHINE_FIELDS.update({k: Text(required=False, default="") for k in (
    "host", "processor", "date", "recurrence_build", "compiler", "binding")})
MACHINE_FIELDS.update({k: Whole(0, 1 << 62, allow_empty=True, required=False) for k in (
    "cores", "memory_bytes", "pi_n", "recurrence_n", "repeats")})
MACHINE_FIELDS["completed"] = Text(max_len=_NOTE, required=False, default="yes")
_TIME = Finite(0, allow_empty=True)
SUMMARY_FIELDS = {"series": Text(allow_empty=False), "program": Text(allow_empty=False),
                  "threads": Whole(1, MAX_THREADS), "problem_size": Whole(1, 1 << 62), "runs": Whole(0, 1 << 40),
                  "median_s": _TIME, "speedup": _TIME, "efficiency": _TIME,
                  "pct_floor": Finite(0, allow_empty=True, required=False),
                  "check": Text(max_len=_NOTE, required=False, default="ok")}
RUNS_FIELDS = {"series": Text(allow_empty=False), "program": Text(allow_empty=False),
               "threads": Whole(1, MAX_THREADS, allow_empty=True), "problem_size": Whole(0, 1 << 62, allow_empty=True),
               "time_s": _TIME, "check": Text(max_len=_NOTE),
               "disturbed": Text(max_len=_NOTE, required=False, default="")}
UNTIMED = {p.name for p in Catalogue() if not p.kind.timed}  # runs.csv rows without a summary row


def row_key(row):
    """Strong-scaling rows match on program and threads; the other series also on the size,
    which they vary on purpose."""
    size = "" if row["series"] == STRONG else row["problem_size"]
    return row["series"], row["program"], row["threads"], size


def _missing(path):
    """Whether path is absent; a file that is there but cannot be read is left to the reader to say why."""
    try:
        os.stat(path)
    except FileNotFoundError:
        return True
    except OSError:
        pass
    return False


def read_study(path):
    """A study from its folder (machine.csv, summary.csv, runs.csv), or from a results.json file
    (the micro-benchmark library's format, as a study writes it and runsuite --json)."""
    try:
        st = os.stat(path)
    except OSError as e:
        raise not_a_study(path, "no such folder" if e.errno == errno.ENOENT else os_reason(e)) from None
    if stat.S_ISREG(st.st_mode) and path.endswith(".json"):
        return study_of_results(path)
    if not stat.S_ISDIR(st.st_mode):
        raise not_a_study(path, "not a folder (nor a results .json file)")
    machine, summary, runs = (os.path.join(path, f) for f in ("machine.csv", "summary.csv", "runs.csv"))
    for f in (machine, summary, runs):
        if _missing(f):
            raise not_a_study(path, f"it has no {os.path.basename(f)}")
    facts = read_key_values(machine, MACHINE_FIELDS)
    if facts["schema"] != SCHEMA:
        raise not_a_study(path, f"machine.csv gives format '{facts['schema']}', this command reads {SCHEMA}")
    facts = {k: "" if v is None else str(v) for k, v in facts.items()}
    table = read_csv(summary, SUMMARY_FIELDS)
    if not table:
        raise not_a_study(path, "summary.csv holds no results")
    run_rows = read_csv(runs, RUNS_FIELDS)
    _check_counts(summary, table, runs, run_rows)
    rows = {}
    for r in table:
        row = dict(r, problem_size=str(r["problem_size"]), check=r["check"].strip() or "ok")
        rows.setdefault(row_key(row), row)
    return Study(path, facts, rows, run_rows)


def study_of_results(path):
    """A Study from a results.json: its facts from the context, its rows the medians of the clean
    runs with each program's speedup over its baseline (named in the file) at the same size."""
    context, runs = benchjson.read_results(path)
    machine = context.get("ompsuite_machine")
    facts = {str(k): printable(v, 300) for k, v in (machine if isinstance(machine, dict) else context).items()
             if isinstance(v, (str, int, float))}
    run_rows = [{"series": r["series"], "program": r["program"], "threads": r["threads"] or r["threads_requested"],
                 "problem_size": r["problem_size"], "time_s": r["time_s"], "check": r["check"],
                 "disturbed": r["disturbed"]} for r in runs]
    groups = {}
    for r, run in zip(run_rows, runs):
        if r["series"] != "check" and r["problem_size"] is not None:
            groups.setdefault((r["series"], r["program"], r["threads"], r["problem_size"]), []).append((r, run))
    medians = {k: statistics.median(r["time_s"] for r, _ in rs if r["check"] == "ok" and not r["disturbed"]
                                    and r["time_s"]) for k, rs in groups.items()
               if any(r["check"] == "ok" and not r["disturbed"] and r["time_s"] for r, _ in rs)}
    rows = {}
    for (series, program, threads, n), rs in groups.items():
        median = medians.get((series, program, threads, n))
        baseline = rs[0][1]["extra"].get("baseline") or program
        base = medians.get((series, baseline, 1, n))
        speedup = base / median if base and median else None
        failed = [r["check"] for r, _ in rs if r["check"] != "ok"]
        row = {"series": series, "program": program, "threads": threads, "problem_size": str(n), "runs": len(rs),
               "median_s": median, "speedup": speedup, "efficiency": speedup / threads if speedup else None,
               "pct_floor": None, "check": failed[0] if failed else "ok"}
        rows.setdefault(row_key(row), row)
    if not rows:
        raise not_a_study(path, "its results hold no timed runs")
    return Study(path, facts, rows, run_rows)


def _check_counts(summary, table, runs, run_rows):
    """Each summary row counts the runs runs.csv holds for it, and every timed configuration in
    runs.csv has its row: a summary that disagrees was cut or edited, and its figures are not the runs'."""
    held = {}
    for line, r in enumerate(run_rows, 2):
        if r["series"] != "check" and r["program"] not in UNTIMED:
            held.setdefault((r["series"], r["program"], r["threads"], r["problem_size"]), []).append(line)
    counted = set()
    for line, r in enumerate(table, 2):
        key = (r["series"], r["program"], r["threads"], r["problem_size"])
        counted.add(key)
        n = len(held.get(key, ()))
        if r["runs"] != n:
            raise SuiteError(f"{printable(summary)} line {line}: {printable(r['program'])} at {r['threads']} threads, "
                             f"N = {r['problem_size']} ({printable(r['series'])}) counts {r['runs']} "
                             f"run{'' if r['runs'] == 1 else 's'}, but runs.csv holds {n}", 2)
    for key, lines in held.items():
        if key not in counted:
            raise SuiteError(f"{printable(runs)} line {lines[0]}: {printable(key[1])} at {key[2]} threads, "
                             f"N = {key[3]} ({printable(key[0])}) has no row in summary.csv", 2)


def read_studies(paths):
    seen = set()
    for p in paths:
        real = os.path.realpath(p)
        if real in seen:
            raise SuiteError(f"{p} is given twice", 2)
        seen.add(real)
    studies = [read_study(p) for p in paths]
    hosts = [s.label for s in studies]
    for s in studies:
        if hosts.count(s.label) > 1:  # the same machine twice, e.g. before and after a change
            where = os.path.normpath(s.path)
            if os.path.isfile(where):  # a results.json: named by its folder
                where = os.path.dirname(os.path.abspath(where))
            s.label = f"{s.label} ({printable(os.path.basename(where), 60)})"
    return studies


def size_differences(studies):
    """Lines naming each strong-scaling program whose problem size differs between studies."""
    sizes = {}
    for s in studies:
        for (series, prog, _, _), r in s.rows.items():
            if series == STRONG:
                sizes.setdefault(prog, {}).setdefault(s.label, r["problem_size"])
    return [f"{prog}: " + ", ".join(f"{size} on {label}" for label, size in by.items())
            for prog, by in sizes.items() if len(set(by.values())) > 1]


def ordered_keys(studies):
    """Series with strong first, programs in the order the studies list them, threads rising."""
    series, programs, keys = [STRONG], [], []
    for s in studies:
        for k in s.rows:
            if k[0] not in series:
                series.append(k[0])
            if k[1] not in programs:
                programs.append(k[1])
            if k not in keys:
                keys.append(k)

    def size_order(size):
        try:
            return 0, int(size), ""
        except ValueError:
            return 1, 0, size

    return sorted(keys, key=lambda k: (series.index(k[0]), programs.index(k[1]), k[2], size_order(k[3])))


def fmt(value, pattern):
    return "n/a" if value is None else pattern % value


def machines_table(studies):
    lines = ["| machine | processor | cores | memory GiB | compiler | binding | date | pi N | recurrence N | repeats "
             "| study |", "|---|---|---:|---:|---|---|---|---:|---:|---:|---|"]
    for s in studies:
        f = s.facts
        try:
            mem = f"{int(f.get('memory_bytes', '')) / 2**30:.1f}"
        except ValueError:
            mem = ""
        rec = f.get("recurrence_n", "")
        if rec and f.get("recurrence_build"):
            rec += f" ({f['recurrence_build']})"
        values = [s.label, f.get("processor", ""), f.get("cores", ""), mem, f.get("compiler", ""),
                  f.get("binding", ""), f.get("date", ""), f.get("pi_n", ""), rec or "not run",
                  f.get("repeats", ""), s.path]
        lines.append("| " + " | ".join(cell(v) for v in values) + " |")
    return lines


def results_tables(studies):
    lines, failed = [], False
    keys = ordered_keys(studies)
    for series in dict.fromkeys(k[0] for k in keys):
        skeys = [k for k in keys if k[0] == series]
        floor = any(s.rows[k]["pct_floor"] is not None for s in studies for k in skeys if k in s.rows)
        sized = series != STRONG
        head = ["program", "threads"] + (["problem size"] if sized else [])
        align = ["---", "---:"] + (["---"] if sized else [])
        for s in studies:
            head += [f"{s.label} median", f"{s.label} speedup", f"{s.label} efficiency"]
            align += ["---:"] * 3
            if floor:
                head.append(f"{s.label} % of floor")
                align.append("---:")
        title = "Strong scaling (fixed problem size)" if series == STRONG else f"Series: {series}"
        lines += [f"## {cell(title)}", "", "| " + " | ".join(cell(h) for h in head) + " |",
                  "|" + "|".join(align) + "|"]
        for k in skeys:
            row = [k[1], str(k[2])] + ([k[3]] if sized else [])
            for s in studies:
                r = s.rows.get(k)
                if r is None:
                    row += ["—"] * (4 if floor else 3)
                    continue
                median = fmt_time(r["median_s"]) if r["median_s"] is not None else "n/a"
                if r["check"] != "ok":
                    median += " FAIL"
                    failed = True
                row += [median, fmt(r["speedup"], "%.2f"), fmt(r["efficiency"], "%.2f")]
                if floor:
                    row.append(fmt(r["pct_floor"], "%.1f"))
            lines.append("| " + " | ".join(cell(v) for v in row) + " |")
        lines.append("")
    if failed:
        lines += ["FAIL: that run's result failed the study's check; see the study's summary.csv.", ""]
    return lines


def strong_speedups(study):
    """(program, threads, speedup) of a study's strong-scaling rows, for the plot."""
    return [(k[1], k[2], r["speedup"]) for k, r in study.rows.items() if k[0] == STRONG]


def incomplete(study):
    """Why a study stopped early, or None when it finished."""
    done = study.facts.get("completed", "yes")
    return None if done == "yes" else (done.partition(": ")[2] or done)


def document(studies):
    """The Markdown of the comparison and the lines about differing sizes."""
    differences = size_differences(studies)
    lines = ["# Machines side by side", ""] + machines_table(studies) + [""]
    if differences:
        lines += ["**Different problem sizes:** the studies did not run the same problems, so their times are "
                  "not comparable (speedup and efficiency are each machine's own):", ""]
        lines += [f"- {cell(d)}" for d in differences] + [""]
    return lines + results_tables(studies), differences


def read_runs(study):
    """{(series, program, threads, N): [times]} of a study's runs that passed their check and were
    not disturbed, from its runs.csv: the samples a before/after verdict compares."""
    samples = {}
    for r in study.runs:
        if r["check"] != "ok" or r["disturbed"] or r["series"] == "check" or r["time_s"] is None:
            continue
        threads = "?" if r["threads"] is None else r["threads"]
        samples.setdefault((r["series"], r["program"], threads, r["problem_size"]), []).append(r["time_s"])
    return samples


def verdicts(before, after, noise=0.02, alpha=0.05):
    """[(key, n before, n after, Verdict)] for every configuration both studies ran."""
    from ompsuite.analyse.significance import verdict
    a, b = read_runs(before), read_runs(after)
    found = []
    for key in a:
        if key in b and all(t > 0 for t in a[key] + b[key]):
            found.append((key, len(a[key]), len(b[key]), verdict(a[key], b[key], alpha=alpha, noise=noise)))
    return found


def verdict_lines(before, after, found, noise, alpha):
    """The before/after section: per configuration, the ratio of medians with its interval, the
    exact rank test's p and the verdict."""
    lines = [f"## {cell(after.label)} against {cell(before.label)}", "",
             f"Ratio: median after / median before (below 1 is faster), with its 95% bootstrap interval; p: "
             f"two-sided Mann–Whitney U on the clean runs; a change counts when p < {alpha} and it is more than "
             f"{noise:.0%}.", "",
             "| series | program | threads | N | runs | ratio | 95% interval | p | verdict | note |",
             "|---|---|---:|---:|---:|---:|---|---:|---|---|"]
    for (series, program, threads, n), n1, n2, v in found:
        interval = f"{v.interval[0]:.3f}–{v.interval[1]:.3f}" if v.interval else "n too small"
        lines.append("| " + " | ".join(cell(x) for x in (series, program, threads, n, f"{n1} / {n2}", f"{v.ratio:.3f}",
                                                           interval, f"{v.p:.3g}", v.label, v.note)) + " |")
    if not found:
        lines.append("| | (no configuration in common) | | | | | | | | |")
    return lines + [""]


VERDICT_FIELDS = ("before", "after", "series", "program", "threads", "problem_size", "runs_before", "runs_after",
                  "ratio", "ratio_low", "ratio_high", "p", "verdict", "note")


def verdict_rows(before, after, found):
    """The verdicts as CSV rows (VERDICT_FIELDS), for tools that read them."""
    return [[before.label, after.label, series, program, threads, n, n1, n2, f"{v.ratio:.6g}",
             f"{v.interval[0]:.6g}" if v.interval else "", f"{v.interval[1]:.6g}" if v.interval else "",
             f"{v.p:.6g}", v.label, v.note] for (series, program, threads, n), n1, n2, v in found]


def false_positive_line(found):
    """A/A: both studies ran one build on one machine, so every verdict other than ~ is noise."""
    called = [f for f in found if f[3].label != "~"]
    return (f"A/A: {len(called)} of {len(found)} configurations called a change "
            f"({100 * len(called) / max(1, len(found)):.0f}% false positives)")

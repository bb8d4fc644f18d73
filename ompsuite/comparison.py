"""Machines side by side: several scaling studies in one Markdown table and one speedup plot.

Reads only each study's machine.csv (key,value) and summary.csv (columns by name; unknown ones
are ignored). Per series, program and thread count, each machine gets its median time, speedup,
efficiency and, where a study has it, the percentage of its floor. Strong-scaling rows are
matched on program and threads alone, so studies made with different problem sizes still line
up; that case is reported on standard error and in the Markdown, because their times are then
not comparable. Folders that are not studies are refused with exit status 2.
"""
import csv
import math
import os

from .errors import SuiteError
from .machine import SCHEMA
from .tables import fmt_time, md_cell as cell
SUMMARY_COLUMNS = ("series", "program", "threads", "problem_size", "median_s", "speedup", "efficiency")
STRONG = "strong"


class Study:
    def __init__(self, path, facts, rows):
        self.path = path
        self.facts = facts
        self.rows = rows  # key -> row; see row_key
        self.label = facts.get("host") or os.path.basename(path)


def not_a_study(path, why):
    return SuiteError(f"{path} is not a study folder: {why}", 2)


def number(text, where, column, optional=True):
    if text is None or text.strip() == "":
        if optional:
            return None
        raise SuiteError(f"{where}: no {column}", 2)
    try:
        value = float(text)
    except ValueError:
        raise SuiteError(f"{where}: {column} '{text}' is not a number", 2) from None
    if not math.isfinite(value) or value < 0:
        raise SuiteError(f"{where}: {column} '{text}' is not a finite number of at least 0", 2)
    return value


def row_key(row):
    """Strong-scaling rows match on program and threads; the other series also on the size,
    which they vary on purpose."""
    size = "" if row["series"] == STRONG else row["problem_size"]
    return row["series"], row["program"], row["threads"], size


def read_study(path):
    if not os.path.isdir(path):
        raise not_a_study(path, "not a folder" if os.path.exists(path) else "no such folder")
    machine, summary = os.path.join(path, "machine.csv"), os.path.join(path, "summary.csv")
    for f in (machine, summary):
        if not os.path.isfile(f):
            raise not_a_study(path, f"it has no {os.path.basename(f)}")
    try:
        with open(machine, newline="") as f:
            lines = list(csv.reader(f))
        with open(summary, newline="") as f:
            reader = csv.DictReader(f)
            table = list(reader)
            columns = reader.fieldnames or []
    except (OSError, UnicodeDecodeError, csv.Error) as e:
        raise SuiteError(f"cannot read the study in {path}: {e}", 2) from None
    if not lines or lines[0] != ["key", "value"]:
        raise not_a_study(path, "machine.csv does not start with the header key,value")
    facts = {ln[0]: ln[1] for ln in lines[1:] if len(ln) >= 2}
    if facts.get("schema") != SCHEMA:
        raise not_a_study(path, f"machine.csv gives format '{facts.get('schema', '')}', this command reads {SCHEMA}")
    missing = [c for c in SUMMARY_COLUMNS if c not in columns]
    if missing:
        raise not_a_study(path, f"summary.csv lacks the column(s) {', '.join(missing)}")
    if not table:
        raise not_a_study(path, "summary.csv holds no results")
    rows = {}
    for n, r in enumerate(table, 2):
        where = f"{summary}, line {n}"
        threads = number(r["threads"], where, "threads", optional=False)
        if threads != int(threads) or threads < 1:
            raise SuiteError(f"{where}: threads '{r['threads']}' is not a thread count", 2)
        row = {"series": r["series"], "program": r["program"], "threads": int(threads),
               "problem_size": r["problem_size"],
               "median_s": number(r["median_s"], where, "median_s"),
               "speedup": number(r["speedup"], where, "speedup"),
               "efficiency": number(r["efficiency"], where, "efficiency"),
               "pct_floor": number(r.get("pct_floor"), where, "pct_floor"),
               "check": (r.get("check") or "ok").strip()}
        rows.setdefault(row_key(row), row)
    return Study(path, facts, rows)


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
            s.label = f"{s.label} ({os.path.basename(os.path.normpath(s.path))})"
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
    path = os.path.join(study.path, "runs.csv")
    try:
        with open(path, newline="", encoding="utf-8") as f:
            reader = csv.DictReader(f)
            rows = list(reader)
            columns = reader.fieldnames or []
    except OSError as e:
        raise SuiteError(f"cannot read {path}: {e.strerror}", 2) from None
    except (UnicodeDecodeError, csv.Error) as e:
        raise SuiteError(f"cannot read {path}: {e}", 2) from None
    missing = [c for c in ("series", "program", "threads", "problem_size", "time_s", "check") if c not in columns]
    if missing:
        raise SuiteError(f"{path} lacks the column(s) {', '.join(missing)}", 2)
    samples = {}
    for line, r in enumerate(rows, 2):
        if None in r or None in r.values():
            raise SuiteError(f"{path}, line {line}: not as many fields as the header (a cut file?)", 2)
        if r["check"] != "ok" or r.get("disturbed") or r["series"] == "check" or not r["time_s"]:
            continue
        where = f"{path}, line {line}"
        t = number(r["time_s"], where, "time_s", optional=False)
        threads = r["threads"] or "?"
        samples.setdefault((r["series"], r["program"], threads, r["problem_size"]), []).append(t)
    return samples


def verdicts(before, after, noise=0.02, alpha=0.05):
    """[(key, n before, n after, Verdict)] for every configuration both studies ran."""
    from .significance import verdict
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


def false_positive_line(found):
    """A/A: both studies ran one build on one machine, so every verdict other than ~ is noise."""
    called = [f for f in found if f[3].label != "~"]
    return (f"A/A: {len(called)} of {len(found)} configurations called a change "
            f"({100 * len(called) / max(1, len(found)):.0f}% false positives)")

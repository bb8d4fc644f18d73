"""Machines side by side: several scaling studies in one Markdown table and one speedup plot.

Reads only each study's machine.csv (key,value) and summary.csv (columns by name; unknown ones
are ignored). Per series, program and thread count, each machine gets its median time, speedup,
efficiency and, where a study has it, the percentage of its floor. Strong-scaling rows are
matched on program and threads alone, so studies made with different problem sizes still line
up; that case is reported on standard error and in the Markdown, because their times are then
not comparable. Folders that are not studies are refused with exit status 2.
"""
import csv
import os

from . import plot as plots
from . import report
from .cli import SuiteError, progress
from .machine import SCHEMA
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
        return float(text)
    except ValueError:
        raise SuiteError(f"{where}: {column} '{text}' is not a number", 2) from None


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


def cell(text):
    return str(text).replace("|", "\\|").replace("\n", " ")


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
            head += [f"{s.label} median s", f"{s.label} speedup", f"{s.label} efficiency"]
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
                median = fmt(r["median_s"], "%.6f")
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


def plot(out, studies):
    """compare.png: strong-scaling speedup against threads, one colour per machine, one point
    shape per program, for the programs that ran with more than one thread."""
    programs = []
    for s in studies:
        for (series, prog, threads, _) in s.rows:
            if series == STRONG and threads > 1 and prog not in programs:
                programs.append(prog)
    clauses, blocks, top, named = [], [], 1, set()
    for m, s in enumerate(studies):
        for p, prog in enumerate(programs):
            points = sorted((k[2], r["speedup"]) for k, r in s.rows.items()
                            if k[0] == STRONG and k[1] == prog and r["speedup"] is not None)
            if not points:
                continue
            top = max(top, points[-1][0])
            if m not in named:  # one key entry per machine, in its colour, naming its processor
                named.add(m)
                cores = s.facts.get("cores")
                what = s.facts.get("processor", "") + (f", {cores} cores" if cores else "")
                clauses.append(f"NaN with lines lc {m + 1} lw 3 title {plots.quote(f'{s.label}: {what}')}")
            clauses.append(f"'compare.dat' index {len(blocks) + 1} using 1:2 with linespoints lc {m + 1} "
                           f"pt {p + 4} dt {p + 1} title {plots.quote(f'{prog} on {s.label}')}")
            blocks.append((f"{prog} on {s.label}", points))
    plots.write_blocks(out, "compare.dat", [("ideal", [(1, 1), (top, top)])] + blocks)
    script = ("set title 'Speedup over the serial baseline (median time) on each machine'\n"
              "set xlabel 'threads'\nset ylabel 'speedup'\nset key below\nset grid\n"
              f"set xrange [0.5:{top + 0.5}]\n" + ("set xtics 1\n" if top <= 16 else "") + "set yrange [0:*]\n"
              "plot 'compare.dat' index 0 using 1:2 with lines dashtype 2 lc rgb 'gray' title 'ideal'" +
              "".join(f", \\\n     {c}" for c in clauses) + "\n")
    return plots.draw(out, "compare", script)


def run(a):
    studies = read_studies(a.studies)
    report.check_out_dir(a.out, ("compare.md", "compare.gp"))
    for s in studies:
        if s.facts.get("completed", "yes") != "yes":
            progress(f"compare: the study in {s.path} did not finish ({s.facts['completed'][4:]}): "
                     "its figures rest on fewer runs")
    differences = size_differences(studies)
    lines = ["# Machines side by side", ""] + machines_table(studies) + [""]
    if differences:
        progress(f"compare: the studies used different problem sizes ({'; '.join(differences)}): "
                 "their times are not comparable")
        lines += ["**Different problem sizes:** the studies did not run the same problems, so their times are "
                  "not comparable (speedup and efficiency are each machine's own):", ""]
        lines += [f"- {cell(d)}" for d in differences] + [""]
    lines += results_tables(studies)
    try:
        os.makedirs(a.out, exist_ok=True)
        with open(os.path.join(a.out, "compare.md"), "w") as f:
            f.write("\n".join(lines))
        plotted = plot(a.out, studies)
    except OSError as e:
        raise SuiteError(f"cannot write into {a.out}: {e.strerror}") from None
    print("\n".join(lines))
    print(f"written: {a.out}/compare.md, compare.gp" + (", compare.png" if plotted else ""))
    return 0

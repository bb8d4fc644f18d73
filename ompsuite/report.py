"""Writing what was measured: runs.csv row by row as the runs happen, machine.csv, summary.csv
and the Markdown table. Files other than runs.csv are written whole to a temporary name and
renamed, so an interruption never leaves a half-written one beside the data."""
import csv
import os
import sys

from .cli import SuiteError
from .programs import Run
from .stats import SUMMARY_FIELDS


def check_out_dir(path, owned):
    """Refuse, before anything runs, a folder that already holds results of this kind (files
    named in owned): they would be overwritten or mixed with the new ones."""
    if os.path.exists(path) and not os.path.isdir(path):
        raise SuiteError(f"{path} exists and is not a folder", 2)
    there = [f for f in owned if os.path.exists(os.path.join(path, f))]
    if there:
        raise SuiteError(f"{path} already holds {there[0]}: choose a new --out folder (or remove it)", 2)
    ancestor = os.path.abspath(path)
    while not os.path.exists(ancestor):
        ancestor = os.path.dirname(ancestor)
    if not os.path.isdir(ancestor) or not os.access(ancestor, os.W_OK | os.X_OK):
        raise SuiteError(f"cannot write the output folder {path}: {ancestor} is not a writable folder", 2)


def open_out_dir(path):
    """Create the output folder (and fail now, before any run, when it cannot be written)."""
    try:
        os.makedirs(path, exist_ok=True)
        probe = os.path.join(path, ".write-test")
        with open(probe, "w"):
            pass
        os.remove(probe)
    except OSError as e:
        raise SuiteError(f"cannot write the output folder {path}: {e.strerror}", 2) from None
    return path


class RunLog:
    """runs.csv, one row per run, flushed to the file as soon as the run is checked."""

    def __init__(self, path):
        self.path = path
        self.count = 0
        try:
            self.file = open(path, "w", newline="")
        except OSError as e:
            raise SuiteError(f"cannot write {path}: {e.strerror}", 2) from None
        self.writer = csv.DictWriter(self.file, fieldnames=Run.FIELDS)
        self.writer.writeheader()
        self.file.flush()

    def add(self, run):
        self.writer.writerow(run.row())
        self.file.flush()
        os.fsync(self.file.fileno())
        self.count += 1

    def close(self):
        self.file.close()


def failure_lines(runs, rows=()):
    """One line per failed run, and per summary row whose median failed the model's check."""
    lines = [f"{r.program} threads={r.threads} N={r.problem_size} repeat={r.repeat}: {r.check}" for r in runs]
    lines += [f"{r['program']} threads={r['threads']} N={r['problem_size']} median: {r['check']}"
              for r in rows if r["check"].startswith("FAIL: median")]
    return lines


def print_failures(lines):
    """Failed checks go last, one line each, on standard error; the status to exit with."""
    for line in lines:
        print(f"check failed: {line}", file=sys.stderr, flush=True)
    return 1 if lines else 0


def print_ratio(text, medians, num, den):
    """One line of a benchmark's list of ratios, when both medians were measured."""
    if num in medians and den in medians and medians[den] > 0:
        print(f"  {text:<62} {medians[num] / medians[den]:7.3f}")


def write_atomic(path, text):
    tmp = path + ".part"
    try:
        with open(tmp, "w", newline="") as f:
            f.write(text)
        os.replace(tmp, path)
    except BaseException:
        if os.path.exists(tmp):
            os.remove(tmp)
        raise


def csv_text(header, rows):
    import io
    buf = io.StringIO()
    w = csv.writer(buf, lineterminator="\n")
    w.writerow(header)
    w.writerows(rows)
    return buf.getvalue()


def write_machine(path, facts):
    write_atomic(path, csv_text(["key", "value"], facts))


def write_summary_csv(path, rows):
    write_atomic(path, csv_text(SUMMARY_FIELDS, [[fmt_cell(r[f]) for f in SUMMARY_FIELDS] for r in rows]))


def fmt_cell(value):
    if isinstance(value, float):
        return f"{value:.9g}"
    return value


def _num(value, pattern):
    return "" if value == "" or value is None else format(value, pattern)


def rate_text(row):
    if row["rate"] == "":
        return ""
    if row["rate_unit"] == "GB/s":
        return f"{row['rate']:.2f} GB/s"
    return f"{row['rate'] / 1e6:.0f} M/s"


def markdown_table(rows, model=False):
    """The summary as Markdown: one line per program, team size and problem size."""
    head = ["program", "threads", "N", "runs", "median s", "min–max s", "speedup", "efficiency", "Karp–Flatt",
            "rate", "ulps vs serial", "ulps vs π", "stable"]
    if model:
        head += ["floor s", "predicted s", "% of floor", "bound by"]
    head.append("check")
    notes = any(r.get("note") for r in rows)
    if notes:
        head.append("note")
    lines = ["| " + " | ".join(head) + " |",
             "|" + "|".join("---" if h in ("program", "stable", "bound by", "check") else "---:" for h in head) + "|"]
    for r in rows:
        req = r["threads_requested"]
        threads = f"{r['threads']}" + (f" (asked {req})" if req and req != str(r["threads"]) else "")
        cells = [r["program"], threads, str(r["problem_size"]), str(r["runs"]), _num(r["median_s"], ".6f"),
                 (f"{r['min_s']:.6f}–{r['max_s']:.6f}" if r["min_s"] != "" else ""), _num(r["speedup"], ".2f"),
                 _num(r["efficiency"], ".2f"), _num(r["karp_flatt"], ".3f"), rate_text(r),
                 str(r["ulps_serial"]), str(r["ulps_pi"]), r["stable"]]
        if model:
            cells += [_num(r["floor_s"], ".6f"), _num(r["predicted_s"], ".6f"), _num(r["pct_floor"], ".0f"),
                      r["bound_by"]]
        cells.append(r["check"])
        if notes:
            cells.append(r.get("note", ""))
        lines.append("| " + " | ".join(cells) + " |")
    return lines

"""What the benchmarks share: the tools' package on the path, their lists of ratios, running the
tools as a user would and reading back what they wrote: a study through the study's own reader."""
import contextlib
import os
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Dict, Optional, Tuple

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))

from ompsuite import catalogue as C  # noqa: E402
from ompsuite.platform import files
from ompsuite.cli import options
from ompsuite.platform.console import progress  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.study import Series, Study, Summary, load  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
SMALL_N = 1000000


def min_median_max(values):
    return min(values), statistics.median(values), max(values)


def print_ratio(text, medians, num, den):
    """One line of a benchmark's list of ratios, when both medians were measured; whether it was."""
    if num in medians and den in medians and medians[den] > 0:
        print(f"  {text:<62} {medians[num] / medians[den]:7.3f}")
        return True
    return False


def tool(args, on_line=None, allow=(0,), echo=None):
    """Run one of the tools (its path, then its arguments) with this Python and wait for it.

    Its standard error is read line by line while it runs: each line is handed to
    on_line(wall-clock time it was read, line) and, with echo, shown as progress after that
    prefix. Returns (status, standard output, standard error lines). A status outside allow is a
    SuiteError naming the tool and its last line. If this process is stopped meanwhile, the tool
    is asked to stop too (it keeps what it measured) and reaped."""
    name = os.path.basename(args[0])
    lines = []
    with tempfile.TemporaryFile("w+", encoding="utf-8", errors="replace") as out:
        proc = subprocess.Popen([sys.executable, *args], stdout=out, stderr=subprocess.PIPE, text=True,
                                errors="replace", bufsize=1)
        try:
            for line in proc.stderr:
                now = time.time()
                line = line.rstrip("\n")
                lines.append(line)
                if on_line:
                    on_line(now, line)
                if echo is not None:
                    progress(f"{echo}{line}")
            status = proc.wait()
        finally:
            if proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(timeout=60)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()
            proc.stderr.close()
        out.seek(0)
        text = out.read()
    if status not in allow:
        last = next((ln for ln in reversed(lines) if ln.strip()), "")
        raise SuiteError(f"{name} failed with status {status}" + (f": {last.strip()}" if last else ""))
    return status, text, lines


def add_recurrence(ap, default_n=SMALL_N):
    """--recurrence-n and --recurrence-bin, passed on to the tools (see recurrence_args)."""
    shown = "the tools' own: full size where the memory allows" if default_n is None else str(default_n)
    ap.add_argument("--recurrence-n", metavar="N", type=options.count(1, C.RECURRENCE_MAX_N), default=default_n,
                    help=f"N of the recurrence programs, from a reduced build (default {shown})")
    ap.add_argument("--recurrence-bin", metavar="DIR",
                    help="the recurrence programs built for that N (default: the test tree's build for it when "
                         "there is one, else the tools build a reduced tree)")


def recurrence_args(a):
    """The tools' options for the recurrence programs asked for; the test tree's build of that N
    when there is one, so that no reduced tree has to be built."""
    if a.recurrence_n is None:
        if a.recurrence_bin:
            raise SuiteError("--recurrence-bin needs --recurrence-n, the N those programs were built for", 2)
        return []
    found = a.recurrence_bin
    if found is None:
        tests = os.path.join(ROOT, "build", "release", "tests", f"n{a.recurrence_n}")
        names = [p.name for p in C.Catalogue().suite("recurrence")]
        if all(os.access(os.path.join(tests, n), os.X_OK) for n in names):
            found = tests
    return ["--recurrence-n", str(a.recurrence_n)] + (["--recurrence-bin", found] if found else [])


@contextlib.contextmanager
def work_folder(keep, owned):
    """The folder a benchmark's studies go into: --keep DIR (made if needed and held while the
    benchmark runs; refused when it already holds one of owned), else a temporary one, removed
    afterwards."""
    if keep is None:
        with tempfile.TemporaryDirectory(prefix="ompsuite-bench-") as tmp:
            yield tmp
        return
    lock = files.claim_out_dir(keep, owned, what="benchmark")
    try:
        yield keep
    finally:
        lock.release()


def link_folder(source, target, replace):
    """A folder target of symbolic links to every file in source, except the names in replace
    ({name: path}), which link to those paths instead."""
    os.makedirs(target)
    for name in sorted(os.listdir(source)):
        if name not in replace and os.path.isfile(os.path.join(source, name)):
            os.symlink(os.path.abspath(os.path.join(source, name)), os.path.join(target, name))
    for name, path in replace.items():
        os.symlink(os.path.abspath(path), os.path.join(target, name))
    return target


# runsuite writes no study: its --csv summary is read by its columns (headline.py).
SUMMARY = {"series": files.Text(), "program": files.Text(), "threads": files.Whole(allow_empty=True),
           "problem_size": files.Whole(allow_empty=True), "runs": files.Whole(allow_empty=True),
           "speedup": files.Finite(allow_empty=True), "speedup_low": files.Finite(allow_empty=True, required=False),
           "speedup_high": files.Finite(allow_empty=True, required=False),
           "user_s": files.Finite(allow_empty=True, required=False),
           "system_s": files.Finite(allow_empty=True, required=False),
           "bound_by": files.Text(max_len=2000, required=False, default=""),
           "disturbed": files.Text(max_len=2000, required=False, default=""),
           "untrusted": files.Text(max_len=2000, required=False, default=""),
           "check": files.Text(max_len=2000), "note": files.Text(max_len=4000, required=False, default="")}


def read_summary(path):
    """The rows of a summary CSV (the study's summary.csv, the run command's --csv) as dicts."""
    return files.read_csv(path, SUMMARY)


def pi_speedups(rows):
    """{(program, threads): row} of the strong-series rows of the parallel pi programs that have a speedup."""
    pi = {p.name for p in C.Catalogue().of_kind("pi", parallel=True)}
    return {(r["program"], r["threads"]): r for r in rows
            if r["series"] == "strong" and r["program"] in pi and r["speedup"] is not None}


def interval(row):
    """' (low–high)' of a row's speedup interval, or '' without one."""
    if row.get("speedup_low") is None or row.get("speedup_high") is None:
        return ""
    return f" ({row['speedup_low']:.2f}–{row['speedup_high']:.2f})"


def read_study(folder: str) -> Study:
    """The study a tool wrote in folder."""
    return load(os.path.join(folder, "study.json"))


def pi_summaries(study: Study) -> Dict[Tuple[str, Optional[int]], Summary]:
    """{(program, threads): summary} of the strong series' parallel pi programs that have a speedup."""
    return {(s.program, s.threads): s for s in study.of_series(Series.STRONG)
            if s.entry is not None and s.entry.kind is C.PI and s.entry.parallel and s.speedup is not None}


def speedup_interval(s: Summary) -> str:
    """' (low–high)' of a summary's speedup interval, or '' without one."""
    if s.speedup_low is None or s.speedup_high is None:
        return ""
    return f" ({s.speedup_low:.2f}–{s.speedup_high:.2f})"


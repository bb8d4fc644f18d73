#!/usr/bin/env python3
"""Recurrence benchmark: growplain and growsplit fill times, their floor, pages and memory.

At full size (needs 17 GB available; never two programs at once): the fill times of growplain
and growsplit, their peak resident memory, and the floor of growplain's fill (fault every page
in, then fill memory already faulted in) from bench/fillfloor. At a reduced size (default 2e8):
the same fills with transparent huge pages and with 4 KiB pages only (PR_SET_THP_DISABLE).
Prints min / median / max over the repeats and the ratios of the medians.
Usage: bench/growbench.py [--repeats 3] [--recurrence-n 2e8] [--team T] [--skip-full]
"""
import argparse
import ctypes
import os
import subprocess
import sys

from benchlib import min_median_max, print_ratio  # also puts the tools' package on the path
from ompsuite.measure import build  # noqa: E402
from ompsuite import catalogue as C
from ompsuite.cli import options
from ompsuite.platform import topology
from ompsuite.platform.console import progress, run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.measure.execute import AFFINITY_ENV, Binding, Runner  # noqa: E402


def without_huge_pages():
    """preexec_fn that makes the child (and what it executes) use 4 KiB pages only."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_thp_disable = 41
    if libc.prctl(pr_set_thp_disable, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_THP_DISABLE) failed")


def run_measured(path, env, preexec_fn=None):
    """Output and peak resident bytes of one run."""
    proc = subprocess.Popen([path], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            preexec_fn=preexec_fn)
    out, err = proc.stdout.read(), proc.stderr.read()  # a few lines each: no pipe can fill up
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        raise SuiteError(f"{os.path.basename(path)} failed with status {proc.returncode}: {err.strip()}")
    return out, usage


def main(argv):
    ap = argparse.ArgumentParser(prog="growbench", description=__doc__.splitlines()[0])
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS), default=3, help="runs of every variant (default 3)")
    ap.add_argument("--recurrence-n", metavar="N", type=options.count(1, C.RECURRENCE_MAX_N), default=C.REDUCED_N,
                    help="N of the reduced build for the page comparison (default 2e8)")
    ap.add_argument("--team", metavar="T", type=options.count(1, options.MAX_THREADS),
                    default=topology.physical_cores(), help="team size of growsplit (default: the core count)")
    ap.add_argument("--skip-full", action="store_true", help="only the reduced-size page comparison")
    a = ap.parse_args(argv)
    a.reduced_n = a.recurrence_n

    full = os.path.join(build.ROOT, "build", "release")
    build.build(full)
    reduced = os.path.dirname(build.reduced_build(C.Catalogue(), a.reduced_n))
    binding = Binding()
    plain_env, team_env = binding.env(1), binding.env(a.team)
    team = (Runner().run(os.path.join(full, "bin", "quadguard"), ("1000",), dict(team_env, **AFFINITY_ENV)).affinity
            or ("unknown",))[0]

    runs = []  # (label, path, env, preexec, parser)
    if a.skip_full:
        print("full size skipped (--skip-full)")
    elif build.mem_available() < C.FULL_NEED:
        print(f"full size skipped: {build.mem_available() / 1e9:.1f} GB of memory available, "
              f"{C.FULL_NEED / 1e9:.0f} GB needed")
    else:
        runs += [("growplain full", os.path.join(full, "bin", "growplain"), plain_env, None),
                 (f"growsplit full {team}t", os.path.join(full, "bin", "growsplit"), team_env, None),
                 ("fillfloor full", os.path.join(full, "bench", "fillfloor"), plain_env, None)]
    for pages, pre in (("huge", None), ("4k", without_huge_pages)):
        runs += [(f"growplain {a.reduced_n} {pages}", os.path.join(reduced, "bin", "growplain"), plain_env, pre),
                 (f"growsplit {a.reduced_n} {pages} {team}t", os.path.join(reduced, "bin", "growsplit"), team_env, pre)]

    # On virtual machines memory first touched after a few idle seconds costs many times the fill
    # (the host backs it again), and whichever program ran first would pay for it. One discarded
    # run per repeat warms the memory so that every measured run meets it in the same state.
    warmup = runs[0][1:]
    times, rss = {}, {}
    for r in range(a.repeats):
        progress(f"[{r + 1}/{a.repeats}] warm-up run, not measured")
        run_measured(*warmup)
        for label, path, env, pre in runs:
            progress(f"[{r + 1}/{a.repeats}] {label}")
            out, usage = run_measured(path, env, pre)
            if label.startswith("fillfloor"):
                fields = dict(line.split(None, 1) for line in out.splitlines())
                times.setdefault("fault in pages", []).append(float(fields["fault"]))
                times.setdefault("fill faulted memory", []).append(float(fields["fill"]))
            else:
                times.setdefault(label, []).append(float(C.RECURRENCE.read(out)["time"]))
            rss[label] = max(rss.get(label, 0), usage.ru_maxrss * 1024)

    print(f"recurrence benchmark, {a.repeats} repeats, team of {team} threads obtained (OMP_NUM_THREADS={a.team})")
    print(f"{'run':<34} {'min s':>9} {'median s':>9} {'max s':>9} {'peak RSS GB':>12}")
    med = {}
    for label, values in times.items():
        lo, mid, hi = min_median_max(values)
        med[label] = mid
        peak = f"{rss[label] / 1e9:12.3f}" if label in rss else ""
        print(f"{label:<34} {lo:9.3f} {mid:9.3f} {hi:9.3f} {peak}")

    print("ratios of medians:")


    n = a.reduced_n
    print_ratio(f"growplain 4 KiB / huge pages at N={n} (goal >= 8)", med, f"growplain {n} 4k", f"growplain {n} huge")
    print_ratio(f"growsplit 4 KiB / huge pages at N={n} (goal >= 8)", med, f"growsplit {n} 4k {team}t", f"growsplit {n} huge {team}t")
    print_ratio(f"growplain / growsplit {team} threads, N={n}", med, f"growplain {n} huge", f"growsplit {n} huge {team}t")
    print_ratio(f"growplain / growsplit {team} threads, full size (goal >= 1.8)", med, "growplain full", f"growsplit full {team}t")
    if "fault in pages" in med:
        med["floor"] = med["fault in pages"] + med["fill faulted memory"]
        print_ratio("growplain full / floor (fault in + fill faulted) (goal <= 1.3)", med, "growplain full", "floor")
    return 0


if __name__ == "__main__":
    run_main("growbench", main, sys.argv[1:])

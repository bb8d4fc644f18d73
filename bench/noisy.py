#!/usr/bin/env python3
"""Noisy neighbour: a scaling study with a CPU hog beside part of it, against a quiet one.

Runs two studies one after the other with ./scaling (the same options; no calibration; the
recurrence programs from a small reduced build): a quiet one, then one during part of which a busy
loop pinned to one CPU runs beside it. The hog starts after a delay and stops by itself, both set
as fractions of the quiet study's duration. From each run's time window it finds the runs of the
noisy study that ran wholly while the hog did and prints how many were marked disturbed (goal:
all), then the pi speedups of the two studies side by side (goal: within 5%). Fails when no run
fell wholly inside the hog's time, or the studies share no speedup.
Usage: bench/noisy.py [--pi-n 1e8] [--repeats 5] [--threads 1,2] [--hog-at 0.3] [--hog-for 0.3]
                      [--hog-cpu C] [--recurrence-n 1e6] [--recurrence-bin DIR] [--keep DIR]
"""
import argparse
import os
import re
import subprocess
import sys
import time
from typing import Dict, Iterable, List, Match, Optional, Tuple

from benchlib import (ROOT, add_recurrence, pi_summaries, read_study, recurrence_args, speedup_interval, tool,
                      work_folder)
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.platform import files
from ompsuite.platform import interference
from ompsuite.cli import options
from ompsuite.platform.console import run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.study import Run, Study  # noqa: E402

# The study's progress line for each run, printed as the run starts (standard error not a terminal).
RUN_LINE = re.compile(r"\[(\d+)/\d+\] (\S+)(?: threads=(\d+))?(?: N=(\d+))? repeat=(\d+)")

# The hog: pinned to its CPU, it waits for the word to go (so that its own start-up falls before the
# study), sleeps the delay, then spins until its deadline. It says when it spun, by its own clock.
HOG = """
import os, sys, time
cpu, delay, length = int(sys.argv[1]), float(sys.argv[2]), float(sys.argv[3])
os.sched_setaffinity(0, {cpu})
if sys.stdin.readline():
    time.sleep(delay)
    start = time.time()
    print("start", repr(start), flush=True)
    while time.time() < start + length:
        pass
    print("end", repr(time.time()), flush=True)
"""

Lines = Dict[int, Tuple[float, Match[str]]]  # run k -> when its progress line was read, and the line
Window = Tuple[Run, float, float]  # a run, and when it started and ended


def fraction(low_open):
    def parse(text):
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
        if not (0 < value <= 1 if low_open else 0 <= value < 1):
            raise argparse.ArgumentTypeError(f"must be {'above 0 and at most 1' if low_open else 'from 0 to below 1'}"
                                             f", got {text}")
        return value
    return parse


class Hog:
    """The busy loop beside the noisy study: started (waiting) before it, told to go at its first run."""

    def __init__(self, cpu, delay, length):
        self.proc = subprocess.Popen([sys.executable, "-c", HOG, str(cpu), f"{delay:.3f}", f"{length:.3f}"],
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
        self.start = self.end = None
        self.told = False

    def go(self):
        if not self.told:
            self.told = True
            self.proc.stdin.write("go\n")
            self.proc.stdin.flush()

    def stop(self):
        """Stop it if it still runs; then its start and end (time.time), or None where it did not spin."""
        stopped = None
        if self.proc.poll() is None:
            self.proc.kill()
            stopped = time.time()
        out, _ = self.proc.communicate()
        for line in out.splitlines():
            word, _, value = line.partition(" ")
            if word in ("start", "end"):
                setattr(self, word, float(value))
        if self.start is not None and self.end is None:
            self.end = stopped  # None when it ended by itself without saying when: a crash
        return self.start, self.end


def study(out, args, label, on_line=None):
    """Run one study; returns the wall-clock times of its runs' progress lines {k: (time, match)} and
    the time it ended."""
    lines = {}

    def seen(now, line):
        m = RUN_LINE.fullmatch(line)
        if m:
            lines[int(m.group(1))] = (now, m)
        if on_line:
            on_line(now, line)
    tool([os.path.join(ROOT, "scaling"), "--out", out, *args], on_line=seen, echo=f"{label}: ")
    return lines, time.time()


def windows(out: str, study: Study, lines: Lines, ended: float) -> List[Window]:
    """Each run of the study in folder out with its time window: (run, start, end). The window is
    the run's own when the study has its start, else bracketed by the progress line of that run and
    of the next (the run's watched time lies within)."""
    found = []
    for k, r in enumerate(study.runs, 1):
        if r.started is not None and r.interference is not None and r.interference.watched_s is not None:
            found.append((r, r.started, r.started + r.interference.watched_s))
            continue
        if k not in lines:
            raise SuiteError(f"run {k} of {out} has no start time: the study printed no progress line for it")
        m = lines[k][1]
        said = tuple(v or "" for v in (m.group(2), m.group(3), m.group(4), m.group(5)))
        has = (r.program, *(str(v) if v else "" for v in (r.threads_requested, r.problem_size, r.repeat)))
        if said != has:
            raise SuiteError(f"run {k} of {out} is {' '.join(has)}, but the progress line for it names "
                             f"{' '.join(said)}: the two cannot be matched")
        found.append((r, lines[k][0], lines[k + 1][0] if k + 1 in lines else ended))
    return found


def overlaps(runs: Iterable[Window], h0: float, h1: float) -> Tuple[List[Run], List[Run], List[Run]]:
    """The runs of the windows wholly inside the hog's time h0 .. h1, partly inside it, and apart from it."""
    inside: List[Run] = []
    partly: List[Run] = []
    apart: List[Run] = []
    for r, s, e in runs:
        (inside if h0 <= s and e <= h1 else partly if s < h1 and e > h0 else apart).append(r)
    return inside, partly, apart


def marked(runs: Iterable[Run]) -> int:
    return sum(1 for r in runs if r.disturbed)


def describe(r: Run) -> str:
    return f"{r.program} threads={r.threads_requested or '?'} N={r.problem_size} repeat {r.repeat}"


def why_missed(r: Run) -> str:
    """What the interference record says about a run inside the hog's time that was not marked."""
    i = r.interference
    if i is None:
        return "no interference record"
    parts = []
    w, load = i.watched_s, i.other_load_s
    if w is not None:
        parts.append(f"{1000 * w:.0f} ms watched")
    if load is not None:
        parts.append(f"other load {load:.3f} CPU-s")
    if w is not None and i.machine_cpus and i.tick_hz:
        limit = interference.LOAD_CORES * w + interference.tick_allowance(i.machine_cpus, i.tick_hz)
        parts.append(f"threshold {limit:.3f}")
        if interference.too_short_to_watch(w, i.machine_cpus, i.tick_hz):
            parts.append("too short to watch: a whole core beside it hides in the tick rounding")
    return ", ".join(parts) or "no interference record"


def main(argv):
    ap = argparse.ArgumentParser(prog="noisy", description=__doc__.splitlines()[0])
    ap.add_argument("--pi-n", metavar="N", type=options.count(1, C.PI_MAX_N), default=100000000,
                    help="intervals for the pi programs (default 1e8)")
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS), default=5,
                    help="repeats of both studies (default 5)")
    ap.add_argument("--threads", metavar="LIST", type=options.thread_list, default=[1, 2],
                    help="team sizes of both studies (default 1,2)")
    ap.add_argument("--hog-at", metavar="FRACTION", type=fraction(False), default=0.3,
                    help="start the hog this far into the noisy study's runs, as a fraction of the quiet study's "
                         "duration (default 0.3)")
    ap.add_argument("--hog-for", metavar="FRACTION", type=fraction(True), default=0.3,
                    help="run the hog this long, as a fraction of the quiet study's duration (default 0.3)")
    ap.add_argument("--hog-cpu", metavar="C", type=options.count(0),
                    help="the CPU the hog is pinned to (default: the first this process may use)")
    add_recurrence(ap)
    ap.add_argument("--keep", metavar="DIR",
                    help="keep both studies and the run windows in DIR (default: nothing kept)")
    a = ap.parse_args(argv)
    if not hasattr(os, "sched_setaffinity"):
        raise SuiteError("this platform cannot pin a process to a CPU (no sched_setaffinity)")
    allowed = sorted(os.sched_getaffinity(0))
    cpu = allowed[0] if a.hog_cpu is None else a.hog_cpu
    if cpu not in allowed:
        raise SuiteError(f"--hog-cpu {cpu}: this process may only use CPUs {','.join(map(str, allowed))}", 2)
    args = ["--pi-n", str(a.pi_n), "--repeats", str(a.repeats), "--threads", ",".join(map(str, a.threads)),
            "--no-calibrate", *recurrence_args(a)]

    with work_folder(a.keep, ("quiet", "noisy", "windows.csv")) as work:
        quiet, noisy = os.path.join(work, "quiet"), os.path.join(work, "noisy")
        lines, ended = study(quiet, args, "quiet study")
        if 1 not in lines:
            raise SuiteError("the quiet study printed no progress line for its first run: nothing to time the hog by")
        length = ended - lines[1][0]
        hog = Hog(cpu, a.hog_at * length, a.hog_for * length)
        try:
            def go(_now, line):
                if line.startswith("[1/"):
                    hog.go()
            noisy_lines, noisy_ended = study(noisy, args, "noisy study", on_line=go)
        finally:
            h0, h1 = hog.stop()
        quiet_study, noisy_study = read_study(quiet), read_study(noisy)
        quiet_runs = windows(quiet, quiet_study, lines, ended)
        noisy_runs = windows(noisy, noisy_study, noisy_lines, noisy_ended)
        quiet_rows, noisy_rows = pi_summaries(quiet_study), pi_summaries(noisy_study)
        if a.keep:
            files.write_atomic(os.path.join(work, "windows.csv"), files.csv_text(
                ["study", "k", "program", "threads", "problem_size", "repeat", "start", "end", "disturbed"],
                [[name, k, r.program, r.threads_requested, r.problem_size, r.repeat, f"{s:.6f}",
                  f"{e:.6f}", r.disturbed] for name, runs in (("quiet", quiet_runs), ("noisy", noisy_runs))
                 for k, (r, s, e) in enumerate(runs, 1)] +
                [["hog", "", "", "", "", "", *("" if h is None else f"{h:.6f}" for h in (h0, h1)), ""]]))

    first = noisy_lines[1][0] if 1 in noisy_lines else None
    print(f"noisy neighbour: pi N = {a.pi_n}, threads {','.join(map(str, a.threads))}, {a.repeats} repeats; "
          f"quiet study {length:.1f} s of runs")
    timed_by = "the runs' start times" if all(r.started is not None for r, _, _ in noisy_runs) else \
        "progress lines read as they came (the study has no start times)"
    inside: List[Run] = []
    if h0 is None or h1 is None or first is None:
        print(f"hog: pinned to CPU {cpu}, but it never ran (or never said when) during the noisy study")
    else:
        print(f"hog: a busy loop pinned to CPU {cpu} from {h0 - first:.2f} s to {h1 - first:.2f} s into the noisy "
              f"study's runs; run windows from {timed_by}")
        inside, partly, apart = overlaps(noisy_runs, h0, h1)
        print(f"runs wholly inside the hog's time: {len(inside)}; marked disturbed: {marked(inside)} (goal: all)")
        for r in inside:
            if not r.disturbed:
                print(f"  not marked: {describe(r)}: {why_missed(r)}")
        print(f"runs partly overlapping it: {len(partly)}; marked disturbed: {marked(partly)}")
        print(f"runs apart from it marked disturbed: {marked(apart)} of {len(apart)} (quiet study: "
              f"{marked(r for r, _, _ in quiet_runs)} of {len(quiet_runs)})")

    print("pi speedups (strong scaling, 95% intervals): quiet study, noisy study, difference")
    worst, compared = 0.0, 0
    for key in sorted(quiet_rows, key=lambda k: (C.Catalogue().order(k[0]), -1 if k[1] is None else k[1])):
        q, n = quiet_rows[key], noisy_rows.get(key, quiet_rows[key])
        if key in noisy_rows and q.speedup is not None and n.speedup is not None:
            dev = n.speedup / q.speedup - 1
            worst, compared = max(worst, abs(dev)), compared + 1
            print(f"  {key[0]:<10} {key[1] or '?':>3} threads  {q.speedup:6.3f}{speedup_interval(q):<14}  "
                  f"{n.speedup:6.3f}{speedup_interval(n):<14}  {100 * dev:+6.1f}%")
    if compared:
        print(f"largest difference: {100 * worst:.1f}% (goal within 5%)")
    if a.keep:
        print(f"kept in {a.keep}: quiet/, noisy/ (two scaling studies), windows.csv (each run's time window, "
              "the hog's last)")
    if not compared:
        raise SuiteError("the two studies share no pi speedup to compare")
    if not inside:
        raise SuiteError("no run of the noisy study fell wholly inside the hog's time: nothing to judge "
                         "(give a longer --hog-for)")
    return 0


if __name__ == "__main__":
    run_main("noisy", main, sys.argv[1:])

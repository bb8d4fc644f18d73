#!/usr/bin/env python3
"""Isolation benchmark: what the sandbox costs a run of a user's program.

In one run, interleaved round by round, one program (default: the release tree's quadguard) at N
on T threads, started as the tools start the suite's programs (plain), as they start a user's
(in the sandbox kept for its runs), and in a sandbox of its own per run (the tools' way before
one was kept). Each run's time is the tool's wall clock around the whole start, run and reaping;
the kept sandbox's own start, paid once per program, is timed apart. Prints the load, min /
median / max of each way, and the medians' ratios and differences (goal: kept under 1.05 plain).
Usage: bench/isolation.py [--program PATH] [--pi-n 1e8] [--threads 2] [--repeats 15]
"""
import argparse
import os
import sys
import time

from benchlib import ROOT, min_median_max, print_ratio  # also puts the tools' package on the path
from ompsuite.cli import options  # noqa: E402
from ompsuite.measure.execute import Binding, Runner  # noqa: E402
from ompsuite.platform import sandbox  # noqa: E402
from ompsuite.platform.child import run_child  # noqa: E402
from ompsuite.platform.console import progress, run_main  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(prog="isolation", description=__doc__.splitlines()[0])
    ap.add_argument("--program", default=os.path.join(ROOT, "build", "release", "bin", "quadguard"))
    ap.add_argument("--pi-n", type=options.count(), default=100_000_000)
    ap.add_argument("--threads", type=int, default=2)
    ap.add_argument("--repeats", type=int, default=15)
    a = ap.parse_args(argv)
    if sandbox.unavailable():
        progress(f"isolation: no sandbox here: {sandbox.unavailable()}")
        return 1
    program, args = os.path.abspath(a.program), [str(a.pi_n)]
    env, runner = Binding().env(a.threads), Runner()
    share = [os.path.dirname(program)]

    def own_sandbox():
        run_child(sandbox.wrap([program, *args], None, share), env=env)

    ways = {"plain": lambda: runner.run(program, args, env),
            "kept sandbox": lambda: runner.run(program, args, env, isolated=True),
            "own sandbox per run": own_sandbox}
    started = time.perf_counter()
    runner.run(program, ["1000"], env, isolated=True)  # the kept sandbox starts here
    first = time.perf_counter() - started
    times = {way: [] for way in ways}
    load_before = os.getloadavg()
    for _ in range(a.repeats):
        for way, run in ways.items():
            started = time.perf_counter()
            run()
            times[way].append(time.perf_counter() - started)
    load_after = os.getloadavg()
    print(f"{os.path.basename(program)} N = {a.pi_n} on {a.threads} threads, {a.repeats} rounds; load average "
          f"before {' '.join(f'{x:.2f}' for x in load_before)}, after {' '.join(f'{x:.2f}' for x in load_after)}")
    print(f"kept sandbox's start with its first run (N = 1000), once per program: {first * 1e3:.1f} ms")
    medians = {}
    for way, values in times.items():
        low, medians[way], high = min_median_max(values)
        print(f"  {way:<22} min {low * 1e3:8.2f} ms  median {medians[way] * 1e3:8.2f} ms  max {high * 1e3:8.2f} ms")
    for way in ("kept sandbox", "own sandbox per run"):
        print_ratio(f"{way} / plain (median)", medians, way, "plain")
        print(f"  {way + ' - plain (median)':<62} {(medians[way] - medians['plain']) * 1e3:7.2f} ms")
    return 0


if __name__ == "__main__":
    run_main("isolation", main, sys.argv[1:])

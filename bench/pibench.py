#!/usr/bin/env python3
"""Pi benchmark: the three pi programs side by side with the plain reference loop.

Runs every variant REPEATS times, interleaved so that drifts of the machine hit all alike, and
prints min / median / max of the programs' own reported times and the ratios of the medians.
Threads are bound as the run command and the study bind them.
Usage: bench/pibench.py [--pi-n 1e9] [--repeats 5] [--team T] [--build build/release]
"""
import argparse
import os
import sys

from benchlib import min_median_max, print_ratio  # also puts the tools' package on the path
from ompsuite.measure import build  # noqa: E402
from ompsuite import catalogue as C
from ompsuite.cli import options
from ompsuite.platform import topology
from ompsuite.platform.console import progress, run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.measure.execute import AFFINITY_ENV, Binding, Runner  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(prog="pibench", description=__doc__.splitlines()[0])
    ap.add_argument("--pi-n", metavar="N", type=options.count(1, C.PI_MAX_N), default=1000000000,
                    help="intervals (default 1e9)")
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS), default=5, help="runs of every variant (default 5)")
    ap.add_argument("--team", metavar="T", type=options.count(1, options.MAX_THREADS),
                    default=topology.physical_cores(), help="team size of the parallel runs (default: the core count)")
    ap.add_argument("--build", metavar="DIR", default=os.path.join(build.ROOT, "build", "release"),
                    help="release tree to build and use (default build/release)")
    a = ap.parse_args(argv)

    bindir = build.build(a.build)
    benchdir = os.path.join(a.build, "bench")
    binding, runner = Binding(), Runner()
    one, team = binding.env(1), binding.env(a.team)
    base, libm = "quadbase -O2 -mfma, 32-bit index", "quadbase -O2, fma from libm"
    variants = [(base, os.path.join(benchdir, "quadbase"), one),
                (libm, os.path.join(benchdir, "quadbase_libm"), one),
                ("quadplain", os.path.join(bindir, "quadplain"), one),
                ("quadguard 1 thread", os.path.join(bindir, "quadguard"), one),
                ("quadmerge 1 thread", os.path.join(bindir, "quadmerge"), one),
                (f"quadguard {a.team} threads", os.path.join(bindir, "quadguard"), team),
                (f"quadmerge {a.team} threads", os.path.join(bindir, "quadmerge"), team)]
    variants = [v for v in variants if os.path.exists(v[1])]
    times = {label: [] for label, _, _ in variants}
    results = {}
    for r in range(a.repeats):
        for label, path, env in variants:
            progress(f"[{r + 1}/{a.repeats}] {label}")
            found = C.PI.read(runner.run(path, (str(a.pi_n),), env).out)
            if "time" not in found:
                raise SuiteError(f"{label}: no pi line in its output")
            times[label].append(float(found["time"]))
            results.setdefault(label, set()).add(found["result"])

    obtained = (runner.run(os.path.join(bindir, "quadguard"), ("1000",), dict(team, **AFFINITY_ENV)).affinity
                or ("unknown",))[0]
    print(f"pi benchmark, N = {a.pi_n}, {a.repeats} repeats, {os.cpu_count()} cores, team of {obtained} threads "
          f"obtained for {a.team} asked, {binding.describe()}")
    print(f"{'variant':<36} {'min s':>9} {'median s':>9} {'max s':>9}  pi")
    med = {}
    for label, _, _ in variants:
        lo, mid, hi = min_median_max(times[label])
        med[label] = mid
        print(f"{label:<36} {lo:9.4f} {mid:9.4f} {hi:9.4f}  {' / '.join(sorted(results[label]))}")

    print("ratios of medians:")
    t = a.team
    print_ratio("quadplain / plain 32-bit loop (goal <= 0.6)", med, "quadplain", base)
    print_ratio("plain loop with libm fma / with the instruction", med, libm, base)
    print_ratio("quadguard 1 thread / quadplain (goal within 3%)", med, "quadguard 1 thread", "quadplain")
    print_ratio("quadmerge 1 thread / quadplain (goal within 3%)", med, "quadmerge 1 thread", "quadplain")
    print_ratio(f"quadplain / quadguard {t} threads (goal >= {0.95 * t:.2f})", med, "quadplain",
                       f"quadguard {t} threads")
    print_ratio(f"quadplain / quadmerge {t} threads (goal >= {0.95 * t:.2f})", med, "quadplain",
                       f"quadmerge {t} threads")
    same = results.get("quadplain") == results.get(base)
    print(f"quadplain prints the same pi as the plain loop: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    run_main("pibench", main, sys.argv[1:])

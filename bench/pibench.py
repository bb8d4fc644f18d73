#!/usr/bin/env python3
"""Pi benchmark: the three pi programs side by side with the plain reference loop.

Runs every variant REPEATS times, interleaved so that drifts of the machine hit all alike, and
prints min / median / max of the programs' own reported times and the ratios of the medians.
Threads are bound as the run command and the study bind them.
Usage: bench/pibench.py [--pi-n 1e9] [--repeats 5] [--threads CORES] [--build build/release]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.realpath(__file__))))
from ompsuite import cli, report  # noqa: E402
from ompsuite import programs as P  # noqa: E402
from ompsuite.stats import min_median_max  # noqa: E402


def main(argv):
    ap = argparse.ArgumentParser(prog="pibench", description=__doc__.splitlines()[0])
    ap.add_argument("--pi-n", type=cli.count_option(1, P.PI_MAX_N), default=1000000000,
                    help="intervals (default 1e9)")
    ap.add_argument("--repeats", type=cli.count_option(1), default=5, help="runs of every variant (default 5)")
    ap.add_argument("--threads", type=cli.count_option(1), default=os.cpu_count() or 1,
                    help="team size of the parallel runs (default: the processor count)")
    ap.add_argument("--build", default=os.path.join(P.ROOT, "build", "release"),
                    help="release tree to build and use (default build/release)")
    a = ap.parse_args(argv)

    bindir = P.build(a.build)
    benchdir = os.path.join(a.build, "bench")
    binding, runner = P.Binding(), P.Runner()
    one, team = binding.env(1), binding.env(a.threads)
    base, libm = "quadbase -O2 -mfma, 32-bit index", "quadbase -O2, fma from libm"
    variants = [(base, os.path.join(benchdir, "quadbase"), one),
                (libm, os.path.join(benchdir, "quadbase_libm"), one),
                ("quadplain", os.path.join(bindir, "quadplain"), one),
                ("quadguard 1 thread", os.path.join(bindir, "quadguard"), one),
                ("quadmerge 1 thread", os.path.join(bindir, "quadmerge"), one),
                (f"quadguard {a.threads} threads", os.path.join(bindir, "quadguard"), team),
                (f"quadmerge {a.threads} threads", os.path.join(bindir, "quadmerge"), team)]
    variants = [v for v in variants if os.path.exists(v[1])]
    times = {label: [] for label, _, _ in variants}
    results = {}
    for r in range(a.repeats):
        for label, path, env in variants:
            cli.progress(f"[{r + 1}/{a.repeats}] {label}")
            run = P.read_lines(P.Run("bench", "quadplain", 1, 1, a.pi_n, "", r), runner.run(path, (str(a.pi_n),), env)[0])
            if run.time_s is None:
                raise cli.SuiteError(f"{label}: no pi line in its output")
            times[label].append(run.time_s)
            results.setdefault(label, set()).add(run.result)

    obtained, _ = runner.team(os.path.join(bindir, "quadguard"), ("1000",), team)
    print(f"pi benchmark, N = {a.pi_n}, {a.repeats} repeats, {os.cpu_count()} cores, team of {obtained} threads "
          f"obtained for {a.threads} asked, {binding.describe()}")
    print(f"{'variant':<36} {'min s':>9} {'median s':>9} {'max s':>9}  pi")
    med = {}
    for label, _, _ in variants:
        lo, mid, hi = min_median_max(times[label])
        med[label] = mid
        print(f"{label:<36} {lo:9.4f} {mid:9.4f} {hi:9.4f}  {' / '.join(sorted(results[label]))}")

    print("ratios of medians:")
    t = a.threads
    report.print_ratio("quadplain / plain 32-bit loop (goal <= 0.6)", med, "quadplain", base)
    report.print_ratio("plain loop with libm fma / with the instruction", med, libm, base)
    report.print_ratio("quadguard 1 thread / quadplain (goal within 3%)", med, "quadguard 1 thread", "quadplain")
    report.print_ratio("quadmerge 1 thread / quadplain (goal within 3%)", med, "quadmerge 1 thread", "quadplain")
    report.print_ratio(f"quadplain / quadguard {t} threads (goal >= {0.95 * t:.2f})", med, "quadplain",
                       f"quadguard {t} threads")
    report.print_ratio(f"quadplain / quadmerge {t} threads (goal >= {0.95 * t:.2f})", med, "quadplain",
                       f"quadmerge {t} threads")
    same = results.get("quadplain") == results.get(base)
    print(f"quadplain prints the same pi as the plain loop: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    cli.run_main("pibench", main, sys.argv[1:])

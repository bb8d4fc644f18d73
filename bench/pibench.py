#!/usr/bin/env python3
"""Pi benchmark: the three pi programs side by side with the plain reference loop.

Runs every variant REPEATS times, interleaved so that drifts of the machine hit all alike, and
prints min / median / max of the programs' own reported times and the ratios of the medians.
Usage: bench/pibench.py [--n 1000000000] [--repeats 5] [--build build/release]
"""
import argparse
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import suitekit as kit  # noqa: E402


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--n", type=lambda t: kit.int_option(t, 1, 2147483647), default=1000000000,
                    help="intervals (default 1e9)")
    ap.add_argument("--repeats", type=lambda t: kit.int_option(t, 1), default=5)
    ap.add_argument("--build", default=os.path.join(kit.ROOT, "build", "release"))
    a = ap.parse_args()

    bindir = kit.build(a.build)
    benchdir = os.path.join(a.build, "bench")
    cores = os.cpu_count() or 1
    one, team = kit.omp_env(1), kit.omp_env(cores)
    base, libm = "quadbase -O2 -mfma, 32-bit index", "quadbase -O2, fma from libm"
    variants = [(base, os.path.join(benchdir, "quadbase"), one),
                (libm, os.path.join(benchdir, "quadbase_libm"), one),
                ("quadplain", os.path.join(bindir, "quadplain"), one),
                ("quadguard 1 thread", os.path.join(bindir, "quadguard"), one),
                ("quadmerge 1 thread", os.path.join(bindir, "quadmerge"), one),
                (f"quadguard {cores} threads", os.path.join(bindir, "quadguard"), team),
                (f"quadmerge {cores} threads", os.path.join(bindir, "quadmerge"), team)]
    variants = [v for v in variants if os.path.exists(v[1])]
    times = {label: [] for label, _, _ in variants}
    results = {}
    for r in range(a.repeats):
        for label, path, env in variants:
            kit.progress(f"[{r + 1}/{a.repeats}] {label}")
            out = kit.run_program(path, (str(a.n),), env=env)
            times[label].append(kit.parse_time("quadplain", out))
            results.setdefault(label, set()).add(kit.parse_result("quadplain", out))

    print(f"pi benchmark, N = {a.n}, {a.repeats} repeats, {cores} cores, "
          f"team of {kit.team_size(bindir, team)} threads obtained with OMP_NUM_THREADS={cores}")
    print(f"{'variant':<36} {'min s':>9} {'median s':>9} {'max s':>9}  pi")
    med = {}
    for label, _, _ in variants:
        lo, mid, hi = kit.stats(times[label])
        med[label] = mid
        print(f"{label:<36} {lo:9.4f} {mid:9.4f} {hi:9.4f}  {' / '.join(sorted(results[label]))}")


    print("ratios of medians:")
    kit.print_ratio("quadplain / plain 32-bit loop (goal <= 0.6)", med, "quadplain", base)
    kit.print_ratio("plain loop with libm fma / with the instruction", med, libm, base)
    kit.print_ratio("quadguard 1 thread / quadplain (goal within 3%)", med, "quadguard 1 thread", "quadplain")
    kit.print_ratio("quadmerge 1 thread / quadplain (goal within 3%)", med, "quadmerge 1 thread", "quadplain")
    kit.print_ratio(f"quadplain / quadguard {cores} threads (goal >= {0.95 * cores:.2f})", med, "quadplain", f"quadguard {cores} threads")
    kit.print_ratio(f"quadplain / quadmerge {cores} threads (goal >= {0.95 * cores:.2f})", med, "quadplain", f"quadmerge {cores} threads")
    same = results.get("quadplain") == results.get(base)
    print(f"quadplain prints the same pi as the plain loop: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    kit.run_main("pibench", main)

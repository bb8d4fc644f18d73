#!/usr/bin/env python3
"""Level benchmark: the portable (installable) pi programs against the addition floor, beside the tuned ones.

In one run, interleaved round by round: the floor (N dependent additions, the calibrate program's
add latency times N, measured every round), the tuned tree's quadplain, and the portable tree's
quadplain, quadguard and quadmerge on 1 and T threads, each at the level the loader chose (and
the tuned quadguard and quadmerge on T threads, for the same run's speedups); then, with
--software-n, the portable quadplain at x86-64-v2 with the library's fma in hardware, and the
portable programs once more with glibc told the processor has no FMA.
Prints the load, min / median / max, the level, each quadplain's median over the floor (goals:
tuned 1.05, portable 1.10), the speedups (the portable ones' goal 0.925 T) and whether the
portable programs printed the tuned quadplain's line but the time (one thread; software fma too).
Usage: bench/levelbench.py [--pi-n 1e9] [--repeats 5] [--team T] [--tuned build/release]
                           [--portable build/portable | --portable-bin DIR] [--software-n 1e7]
"""
import argparse
import os
import sys

from benchlib import min_median_max, print_ratio  # also puts the tools' package on the path
from ompsuite import catalogue as C  # noqa: E402
from ompsuite.cli import options  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402
from ompsuite.measure import build  # noqa: E402
from ompsuite.measure.execute import Binding, Runner  # noqa: E402
from ompsuite.platform import machine, topology  # noqa: E402
from ompsuite.platform.console import progress, run_main  # noqa: E402

SOFTWARE = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-FMA,-FMA4,-AVX2"}  # as on a processor without FMA
LIBRARY = {"GLIBC_TUNABLES": "glibc.cpu.hwcaps=-AVX2"}  # no level above x86-64-v2, the library's fma in hardware


def calibrated_add(calibrate, env):
    """The median latency of one dependent addition, from a quick run of calibrate."""
    out = Runner().run(calibrate, ("--threads", "1", "--quick", "--repeats", "9"), env).out
    for line in out.splitlines():
        if line.startswith("add_latency,1,"):
            return float(line.split(",")[2])
    raise SuiteError(f"{calibrate}: no add_latency in its output")


def timed(runner, label, path, n, env, lines):
    found = C.PI.read(runner.run(path, (str(n),), env).out)
    if "time" not in found:
        raise SuiteError(f"{label}: no pi line in its output")
    lines.setdefault(label, set()).add(found["result"])
    return float(found["time"])


def main(argv):
    ap = argparse.ArgumentParser(prog="levelbench", description=__doc__.splitlines()[0])
    ap.add_argument("--pi-n", metavar="N", type=options.count(1, C.PI_MAX_N), default=1000000000,
                    help="intervals (default 1e9)")
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS), default=5,
                    help="rounds (default 5)")
    ap.add_argument("--team", metavar="T", type=options.count(1, options.MAX_THREADS),
                    default=topology.physical_cores(), help="team of the parallel runs (default: the core count)")
    ap.add_argument("--tuned", metavar="DIR", default=os.path.join(build.ROOT, "build", "release"),
                    help="tuned tree to build and use (default build/release)")
    ap.add_argument("--portable", metavar="DIR", default=os.path.join(build.ROOT, "build", "portable"),
                    help="portable tree to build and use (default build/portable, as cmake --preset portable)")
    ap.add_argument("--portable-bin", metavar="DIR", help="an installed suite's programs instead (PREFIX/bin)")
    ap.add_argument("--software-n", metavar="N", type=options.count(0, C.PI_MAX_N), default=10000000,
                    help="intervals of the software-fma runs, hundreds of times slower (default 1e7; 0: none)")
    a = ap.parse_args(argv)

    tuned = build.build(a.tuned, targets=("quadplain", "quadguard", "quadmerge", "calibrate"))
    portable = a.portable_bin or build.build(a.portable, cache=("SUITE_NATIVE=OFF", "SUITE_WERROR=ON"),
                                             targets=("quadplain", "quadguard", "quadmerge"))
    calibrate = os.path.join(a.tuned, "bench", "calibrate")
    binding, runner = Binding(), Runner()
    one, team = binding.env(1), binding.env(a.team)
    variants = [("tuned quadplain", os.path.join(tuned, "quadplain"), one),
                ("portable quadplain", os.path.join(portable, "quadplain"), one)]
    for name in ("quadguard", "quadmerge"):
        variants += [(f"portable {name} 1 thread", os.path.join(portable, name), one),
                     (f"portable {name} {a.team} threads", os.path.join(portable, name), team),
                     (f"tuned {name} {a.team} threads", os.path.join(tuned, name), team)]
    load_before = os.getloadavg()
    times, lines, adds = {label: [] for label, _, _ in variants}, {}, []
    for r in range(a.repeats):
        progress(f"[{r + 1}/{a.repeats}] floor")
        adds.append(calibrated_add(calibrate, one))
        for label, path, env in variants:
            progress(f"[{r + 1}/{a.repeats}] {label}")
            times[label].append(timed(runner, label, path, a.pi_n, env, lines))
    soft_times = {}
    if a.software_n:  # the tuned quadplain's line at this N, then each portable program without FMA
        timed(runner, "software tuned quadplain", os.path.join(tuned, "quadplain"), a.software_n, one, lines)
        soft_times["portable quadplain, library fma"] = timed(runner, "software portable quadplain, library fma",
                                                              variants[1][1], a.software_n, dict(one, **LIBRARY), lines)
        for label, path, env in [v for v in variants if v[0].startswith("portable")]:
            progress(f"software fma: {label}")
            soft_times[label] = timed(runner, f"software {label}", path, a.software_n, dict(env, **SOFTWARE), lines)
    load_after = os.getloadavg()

    floor = min_median_max(adds)[1] * a.pi_n
    print(f"level benchmark, N = {a.pi_n}, {a.repeats} rounds, {os.cpu_count()} cores, team of {a.team},\n"
          f"  {binding.describe()}")
    print(f"load average (1, 5, 15 min) before {' '.join(f'{x:.2f}' for x in load_before)}, after "
          f"{' '.join(f'{x:.2f}' for x in load_after)}")
    print(f"portable programs run at: {machine.pi_level(portable) or 'as built'} (tuned: as built)")
    print(f"floor: {a.pi_n} dependent additions at a median {1e9 * floor / a.pi_n:.4f} ns = {floor:.4f} s")
    print(f"{'variant':<36} {'min s':>9} {'median s':>9} {'max s':>9}  pi")
    med = {"floor": floor}
    for label, _, _ in variants:
        lo, mid, hi = min_median_max(times[label])
        med[label] = mid
        print(f"{label:<36} {lo:9.4f} {mid:9.4f} {hi:9.4f}  {' / '.join(sorted(lines[label]))}")
    if soft_times:
        print(f"N = {a.software_n}, one run each, the first with {LIBRARY['GLIBC_TUNABLES']} (x86-64-v2 code,\n"
              f"  the library's fma in hardware), the others with {SOFTWARE['GLIBC_TUNABLES']} (software fma):")
        for label, t in soft_times.items():
            print(f"{label:<36} {t:9.4f} s  {' / '.join(sorted(lines[f'software {label}']))}  "
                  f"{t / (floor * a.software_n / a.pi_n):.1f} x floor")
    print("ratios of medians:")
    print_ratio("tuned quadplain / floor (goal <= 1.05)", med, "tuned quadplain", "floor")
    print_ratio("portable quadplain / floor (goal <= 1.10)", med, "portable quadplain", "floor")
    for name in ("quadguard", "quadmerge"):
        for build_kind in ("portable", "tuned"):
            goal = f" (goal >= {0.925 * a.team:.2f})" if build_kind == "portable" else ""
            print_ratio(f"{build_kind} quadplain / {name} {a.team} threads{goal}", med, f"{build_kind} quadplain",
                        f"{build_kind} {name} {a.team} threads")
    # One thread sums in quadplain's order: the same line. A team's order is its own (test_pi.py).
    serial = [label for label, _, _ in variants[1:] if a.team == 1 or not label.endswith(f"{a.team} threads")]
    same = all(lines[label] == lines["tuned quadplain"] for label in serial)
    if soft_times:
        same = same and all(lines[f"software {label}"] == lines["software tuned quadplain"]
                            for label in [*serial, "portable quadplain, library fma"])
    print(f"the portable quadplain and 1-thread runs printed the tuned quadplain's line but the time"
          f"{', with software fma too' if soft_times else ''}: {'yes' if same else 'NO'}")
    return 0 if same else 1


if __name__ == "__main__":
    run_main("levelbench", main, sys.argv[1:])

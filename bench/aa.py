#!/usr/bin/env python3
"""A/A and a slowed build: does ./compare call a change where there is none, and see one where there is?

Runs three scaling studies one after the other, all from one folder of built programs (--bin, so
nothing is rebuilt between them) and without calibration: A and B of the release build, then S
with quadguard replaced by quadslow, which sums every block twice (the same pi, twice the time).
First checks that quadslow prints the pi quadguard prints. Compares B with A (./compare --aa) and
prints the share of configurations called ~ (goal: at least 90%), then S with A and prints the
verdict of every quadguard row (goal: slower). Fails when a comparison has no configuration in
common or no quadguard row.
Usage: bench/aa.py [--pi-n 1e8] [--repeats 5] [--threads LIST] [--recurrence-n 1e6]
                   [--recurrence-bin DIR] [--recurrence-repeats 1] [--noise 0.02] [--alpha 0.05]
                   [--build build/release] [--keep DIR]
"""
import argparse
import os
import subprocess
import sys
from typing import List, Sequence, Tuple

from benchlib import ROOT, add_recurrence, link_folder, recurrence_args, tool, work_folder
from ompsuite.measure import build  # noqa: E402
from ompsuite import catalogue as C
from ompsuite.export import comparison
from ompsuite.cli import options
from ompsuite.cli.compare import fraction  # noqa: E402
from ompsuite.platform.console import progress, run_main  # noqa: E402
from ompsuite.errors import SuiteError  # noqa: E402

SLOWED = "quadguard"
# Up to two partial sums meet in the critical section in either order with the same result; with
# more, quadguard itself prints different last digits from run to run.
SAME_PI_TEAMS = (1, 2)
SAME_PI_SIZES = (1, 997, 10007, 1000003)


def same_pi(guard, slow, sizes):
    """Refuse a quadslow whose pi differs from quadguard's at any of these sizes and SAME_PI_TEAMS."""
    for n in sizes:
        for t in SAME_PI_TEAMS:
            env = dict(os.environ, OMP_NUM_THREADS=str(t))
            found = []
            for path in (guard, slow):
                proc = subprocess.run([path, str(n)], capture_output=True, text=True, env=env, errors="replace")
                found.append(C.PI.read(proc.stdout).get("result") if proc.returncode == 0 else None)
            if found[0] is None or found[0] != found[1]:
                shown = ["no pi" if v is None else f"pi = {v}" for v in found]
                raise SuiteError(f"quadslow prints {shown[1]} where quadguard prints {shown[0]} "
                                 f"(N = {n}, threads={t}): it is no stand-in for quadguard")


def interval(row: comparison.VerdictRow) -> str:
    v = row.verdict.interval
    return f"{v[0]:.3f}–{v[1]:.3f}" if v else "n too small"


def describe(row: comparison.VerdictRow) -> str:
    """A verdict as the benchmark reports it."""
    v = row.verdict
    return (f"{row.series.value} {row.program} {comparison.team(row.threads)} threads N={row.problem_size}: "
            f"{v.label}, ratio {v.ratio:.3f} ({interval(row)}), runs {row.runs_before} / {row.runs_after}, "
            f"p {v.p:.3g}" + (f"; {v.note}" if v.note else ""))


def compare(work: str, name: str, before: str, after: str, a: argparse.Namespace,
            aa: bool = False) -> Tuple[List[comparison.VerdictRow], List[str]]:
    """Run ./compare as a user would (its files kept in work/name) and return its verdicts, from
    the two studies as compare reads them, with the A/A lines of its compare.md (whole there)."""
    args = [os.path.join(ROOT, "compare"), before, after, "--out", os.path.join(work, name), "--noise", str(a.noise),
            "--alpha", str(a.alpha)]
    tool(args + (["--aa"] if aa else []), echo=f"{name}: ")
    with open(os.path.join(work, name, "compare.md"), encoding="utf-8") as f:
        text = f.read()
    first, second = comparison.read_studies([before, after])
    return (comparison.verdicts(first, second, a.noise, a.alpha)[0],
            [ln for ln in text.splitlines() if ln.startswith("A/A:")])


def main(argv):
    ap = argparse.ArgumentParser(prog="aa", description=__doc__.splitlines()[0])
    ap.add_argument("--pi-n", metavar="N", type=options.count(1, C.PI_MAX_N), default=100000000,
                    help="intervals for the pi programs (default 1e8, the study's)")
    ap.add_argument("--repeats", metavar="N", type=options.count(1, options.MAX_REPEATS), default=5,
                    help="repeats of every study (default 5, the study's)")
    ap.add_argument("--threads", metavar="LIST", type=options.thread_list,
                    help="team sizes of every study (default: the study's)")
    add_recurrence(ap)
    ap.add_argument("--recurrence-repeats", metavar="N", type=options.count(1, options.MAX_RECURRENCE_REPEATS),
                    default=1, help="runs of every recurrence configuration (default 1, the study's)")
    ap.add_argument("--noise", metavar="FRACTION", type=fraction, default=0.02,
                    help="compare's noise band (default 0.02)")
    ap.add_argument("--alpha", metavar="P", type=fraction, default=0.05,
                    help="compare's significance level (default 0.05)")
    ap.add_argument("--build", metavar="DIR", default=os.path.join(ROOT, "build", "release"),
                    help="release tree to build and use (default build/release)")
    ap.add_argument("--keep", metavar="DIR", help="keep the three studies and both comparisons in DIR "
                                                   "(default: nothing kept)")
    a = ap.parse_args(argv)

    bindir = build.build(a.build)
    slow = os.path.join(a.build, "bench", "quadslow")
    if not os.access(slow, os.X_OK):
        raise SuiteError(f"{slow} was not built: the slowed quadguard is missing")
    progress("checking that quadslow prints quadguard's pi")
    same_pi(os.path.join(bindir, SLOWED), slow, SAME_PI_SIZES + (a.pi_n,))
    study = ["--pi-n", str(a.pi_n), "--repeats", str(a.repeats), "--no-calibrate",
             "--recurrence-repeats", str(a.recurrence_repeats), *recurrence_args(a)]
    if a.threads:
        study += ["--threads", ",".join(map(str, a.threads))]

    with work_folder(a.keep, ("A", "B", "S", "slowbin", "compare-aa", "compare-slow")) as work:
        slowbin = link_folder(bindir, os.path.join(work, "slowbin"), {SLOWED: slow})
        studies = {}
        for name, programs in (("A", bindir), ("B", bindir), ("S", slowbin)):
            studies[name] = os.path.join(work, name)
            tool([os.path.join(ROOT, "scaling"), "--out", studies[name], "--bin", programs, *study],
                 echo=f"study {name}: ")
        aa, aa_lines = compare(work, "compare-aa", studies["A"], studies["B"], a, aa=True)
        slowed, _ = compare(work, "compare-slow", studies["A"], studies["S"], a)

    print(f"A/A: two studies of one build, pi N = {a.pi_n}, {a.repeats} repeats, noise band {a.noise:.0%}, "
          f"alpha {a.alpha}")
    for r in aa:
        if r.verdict.label != "~":
            print(f"  called a change: {describe(r)}")
    same = sum(1 for r in aa if r.verdict.label == "~")
    if aa:
        print(f"  configurations called ~: {same} of {len(aa)} ({100 * same / len(aa):.0f}%; goal at least 90%)")
    for line in aa_lines:
        print(f"  compare says: {line}")
    print(f"slowed build: {SLOWED} summing every block twice, against A")
    rows = [r for r in slowed if r.program == SLOWED]
    for r in rows:
        print(f"  {describe(r)} (goal: slower)")
    if rows:
        print(f"  {SLOWED} rows called slower: {sum(1 for r in rows if r.verdict.label == 'slower')} of {len(rows)}")
    if a.keep:
        print(f"kept in {a.keep}: A/, B/, S/ (scaling studies), slowbin/ (the programs of S), compare-aa/, "
              "compare-slow/")
    if not aa:
        raise SuiteError("the two studies of one build share no configuration to compare")
    if not rows:
        raise SuiteError(f"the comparison with the slowed build has no {SLOWED} row")
    return 0


if __name__ == "__main__":
    run_main("aa", main, sys.argv[1:])

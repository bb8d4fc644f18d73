"""The delivered recurrence programs at their full size (N = 2000000000, 16 GB each).

At this size the printed value lines carry every bit of the results, so they are compared
exactly with growstream, which recomputes them element by element without the array. Runs one
program at a time; CTest holds a resource lock so that no other large test overlaps. Exits 77
(skipped) with a reason when the machine or the build cannot give the memory.
"""
import os
import re
import sys

import reference as ref
from test_recurrence import plain_reference, split_reference

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from ompsuite.measure import build  # noqa: E402
from ompsuite import catalogue

N = catalogue.FULL_N
NEEDED = catalogue.FULL_NEED
STREAM_SECONDS = 120  # growstream at full size: a few seconds of arithmetic
REPORT = re.compile(r"(Sequential RunTime:|Parallel RunTime  :)  \d+\.\d{6} seconds\n"
                    r"(Final Result Sn   :|Final Result opt\[N\]:)  (?P<last>[0-9.e+]+) \n"
                    r"Result \|\|opt\|\|\^2_2 :  (?P<check>\d+\.\d{6})\n\n\Z")


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(77)


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def run(path, args=(), threads=None, timeout=ref.QUICK):
    try:
        proc = ref.run(path, args, threads=threads, timeout=timeout)
    except AssertionError as e:
        fail(str(e))
    if proc.returncode != 0:
        fail(f"{os.path.basename(path)}: status {proc.returncode}, stderr {proc.stderr!r}")
    return proc.stdout


def stream(n, threads=None, timeout=ref.QUICK):
    """growstream's (value, check value) lines: growplain's without threads, growsplit's with."""
    args = [str(n)] + ([str(threads)] if threads else [])
    lines = run(os.path.join(os.environ["SUITE_TEST_BIN"], "growstream"), args, timeout=timeout).split("\n")
    return lines[0], lines[1]


def check_stream():
    # The streamed lines must agree with the small tests' Python references before they judge anything.
    for n in (5, 1009):
        cases = [(None, plain_reference(n))] + [(t, split_reference(n, t)) for t in (1, 3, 4)]
        for threads, (value, check) in cases:
            expected = ("%.17g" % value, "%f" % check)
            got = stream(n, threads)
            if got != expected:
                fail(f"growstream {n} {threads or ''}: expected {expected}, observed {got}")


def run_checked(name, expected, threads=None):
    out = run(ref.program(name), threads=threads, timeout=ref.FULL_SIZE)
    print(f"{name} (OMP_NUM_THREADS={threads}):\n{out}", end="")
    m = REPORT.match(out)
    if not m:
        fail(f"{name}: malformed report {out!r}")
    if (m.group("last"), m.group("check")) != expected:
        fail(f"{name}: expected value and check value {expected}, observed {(m.group('last'), m.group('check'))}")
    return m.group("last")


def main():
    check_stream()
    if os.environ.get("SUITE_SANITIZE") == "1":
        skip("a sanitized build cannot allocate the 16 GB array with its shadow memory on this machine")
    available = build.mem_available()
    if available < NEEDED:
        skip(f"{available / 1e9:.1f} GB of memory available, the full-size programs need {NEEDED / 1e9:.0f} GB")
    # A known team size, so that the blocks can be recomputed: the cores this test may use, at least two.
    team = max(2, len(os.sched_getaffinity(0)))
    expected = {"plain": stream(N, timeout=STREAM_SECONDS), "team": stream(N, team, timeout=STREAM_SECONDS),
                "one": stream(N, 1, timeout=STREAM_SECONDS)}
    plain_last = run_checked("growplain", expected["plain"])
    run_checked("growsplit", expected["team"], threads=team)
    one_last = run_checked("growsplit", expected["one"], threads=1)
    if one_last != plain_last:
        fail(f"growsplit with one thread: final value expected {plain_last} (growplain's), observed {one_last}")
    print(f"full size: all lines exact (growsplit with {team} threads and with one)")


if __name__ == "__main__":
    main()

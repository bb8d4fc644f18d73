"""The delivered recurrence programs at their full size (N = 2000000000, 16 GB each).

Run one program at a time; CTest holds a resource lock so that no other large test overlaps.
Exits 77 (skipped) with a reason when the machine or the build cannot give the memory.
"""
import os
import re
import sys
from decimal import Decimal

import reference as ref
from test_recurrence import RATIO, U, geometric_closed_form

sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from ompsuite import programs as kit  # noqa: E402

N = kit.FULL_N
NEEDED = kit.FULL_NEED


def skip(reason):
    print(f"SKIPPED: {reason}")
    sys.exit(77)


def fail(message):
    print(f"FAIL: {message}")
    sys.exit(1)


def run_checked(name, first_power, threads=None):
    proc = ref.run(ref.program(name), threads=threads, timeout=1800)
    if proc.returncode != 0:
        fail(f"{name}: status {proc.returncode}, stderr {proc.stderr!r}")
    lines = proc.stdout.splitlines(keepends=True)
    print(f"{name} (OMP_NUM_THREADS={threads}):\n" + "".join(lines), end="")
    pattern = (r"(Sequential RunTime:|Parallel RunTime  :)  \d+\.\d{6} seconds\n"
               r"(Final Result Sn   :|Final Result opt\[N\]:)  (?P<last>[0-9.e+]+) \n"
               r"Result \|\|opt\|\|\^2_2 :  (?P<check>\d+\.\d{6})\n\n\Z")
    m = re.match(pattern, proc.stdout)
    if not m:
        fail(f"{name}: malformed report {proc.stdout!r}")
    # Bounds on accumulated rounding, as in the small tests: (N + 3) u and (3N + 6) u relative.
    exact_last = Decimal(RATIO) ** (N + 2)
    last = Decimal(m.group("last"))
    if abs(last / exact_last - 1) > (N + 3) * U:
        fail(f"{name}: final value expected {exact_last:.17g}, observed {last}")
    exact_check = geometric_closed_form(first_power, N)
    check = Decimal(m.group("check"))
    if abs(check / exact_check - 1) > (3 * N + 6) * U:
        fail(f"{name}: check value expected {exact_check:.6f}, observed {check}")
    return m.group("last")


def main():
    if os.environ.get("SUITE_SANITIZE") == "1":
        skip("a sanitized build cannot allocate the 16 GB array with its shadow memory on this machine")
    available = kit.mem_available()
    if available < NEEDED:
        skip(f"{available / 1e9:.1f} GB of memory available, the full-size programs need {NEEDED / 1e9:.0f} GB")
    plain_last = run_checked("growplain", 1)
    split_last = run_checked("growsplit", 2)
    one_last = run_checked("growsplit", 2, threads=1)
    if one_last != plain_last:
        fail(f"growsplit with one thread: final value expected {plain_last} (growplain's), observed {one_last}")
    print(f"full size: all checks passed (default team gave {split_last})")


if __name__ == "__main__":
    main()

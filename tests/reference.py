"""Independent reference computations and helpers for the suite's tests.

The references use Python floats (IEEE doubles) and compute a fused multiply-add exactly:
the product is split into two doubles without error (Dekker) and math.fsum rounds the exact
sum once, so fma() below rounds a*b + c exactly once, as the hardware instruction does.
"""
import math
import os
import subprocess

_SPLIT = 134217729.0  # 2**27 + 1, Veltkamp's splitting constant for doubles


def _split(a):
    t = _SPLIT * a
    hi = t - (t - a)
    return hi, a - hi


def fma(a, b, c):
    """a*b + c with a single rounding (valid away from overflow and underflow)."""
    p = a * b
    ah, al = _split(a)
    bh, bl = _split(b)
    err = ((ah * bh - p) + ah * bl + al * bh) + al * bl
    return math.fsum((p, err, c))


def midpoint_partial(first, end, step, fused=True):
    """Sum of the midpoint terms of intervals first .. end-1, added one at a time in order;
    x*x + 1 rounded once (fused) or twice (multiply, then add)."""
    partial = 0.0
    for i in range(first, end):
        x = (float(i) + 0.5) * step
        partial += 4.0 / (fma(x, x, 1.0) if fused else x * x + 1.0)
    return partial


def pi_serial(n, fused=True):
    step = 1.0 / n if n != 0 else math.inf
    return midpoint_partial(0, n, step, fused) * step


def format_pi(pi):
    # glibc prints the sign of a NaN; Python does not, so NaN is matched separately.
    return "%.15f" % pi


# Seconds a program run may take before its test fails. The tests' small runs take milliseconds;
# the margin is for a loaded machine and the sanitizers, and keeps a program that loops from
# holding a test for minutes.
QUICK = 30
LARGEST_PI = 120  # about 2e9 midpoint terms: seconds with two threads
FULL_SIZE = 600  # a 16 GB fill: seconds, more where the host must first back the memory

_stopped = None  # the run that ran out of time; later runs of the same test are not started


def run(path, args=(), threads=None, env_extra=None, timeout=QUICK, preexec_fn=None, stdout=subprocess.PIPE):
    """Run one program; a run past its timeout fails the test, and so does every later run,
    without waiting, so that a program that never ends costs one timeout, not one per case."""
    global _stopped
    if _stopped:
        raise AssertionError(f"not started: {_stopped}")
    env = dict(os.environ)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    if env_extra:
        env.update(env_extra)
    try:
        return subprocess.run([path, *args], env=env, stdout=stdout, stderr=subprocess.PIPE, text=True,
                              timeout=timeout, preexec_fn=preexec_fn)
    except subprocess.TimeoutExpired:
        _stopped = f"{os.path.basename(path)} {' '.join(args)} ran past its {timeout}-second limit and was stopped"
        raise AssertionError(_stopped) from None


def main():
    """unittest's main for a CTest test: status 77 (skipped) when every test of it skipped, with
    their reasons, so that a test that could not run here never passes as if it had."""
    import sys
    import unittest
    result = unittest.main(argv=sys.argv, exit=False).result
    if not result.wasSuccessful():
        sys.exit(1)
    if result.skipped and len(result.skipped) == result.testsRun:
        print("SKIPPED: " + "; ".join(reason for _, reason in result.skipped))
        sys.exit(77)


def program(name, bindir_var="SUITE_BIN"):
    """Path of a built program; CTest passes the folder in the environment."""
    bindir = os.environ.get(bindir_var)
    if not bindir:
        raise RuntimeError(f"{bindir_var} is not set: run the tests through ctest")
    return os.path.join(bindir, name)

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


def midpoint_partial(first, end, step):
    """Sum of the midpoint terms of intervals first .. end-1, added one at a time in order."""
    partial = 0.0
    for i in range(first, end):
        x = (float(i) + 0.5) * step
        partial += 4.0 / fma(x, x, 1.0)
    return partial


def pi_serial(n):
    step = 1.0 / n if n != 0 else math.inf
    return midpoint_partial(0, n, step) * step


def format_pi(pi):
    # glibc prints the sign of a NaN; Python does not, so NaN is matched separately.
    return "%.15f" % pi


def run(path, args=(), threads=None, env_extra=None, timeout=600, preexec_fn=None, stdout=subprocess.PIPE):
    env = dict(os.environ)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    if env_extra:
        env.update(env_extra)
    return subprocess.run([path, *args], env=env, stdout=stdout, stderr=subprocess.PIPE, text=True, timeout=timeout,
                          preexec_fn=preexec_fn)


def program(name, bindir_var="SUITE_BIN"):
    """Path of a built program; CTest passes the folder in the environment."""
    bindir = os.environ.get(bindir_var)
    if not bindir:
        raise RuntimeError(f"{bindir_var} is not set: run the tests through ctest")
    return os.path.join(bindir, name)

"""Black-box tests of growplain and growsplit on small builds, against a streamed reference."""
import os
import re
import sys
import unittest
from decimal import Decimal, getcontext

import reference as ref

RATIO = 1.00000001
U = Decimal(2) ** -53
SMALL = (1000, 1009, 5)  # 1009 is prime: N mod T is not 0 for T = 2, 3, 4, 7
TIME_LINE = {"growplain": r"Sequential RunTime:  \d+\.\d{6} seconds\n",
             "growsplit": r"Parallel RunTime  :  \d+\.\d{6} seconds\n"}
VALUE_LABEL = {"growplain": "Final Result Sn   :  ", "growsplit": "Final Result opt[N]:  "}


def small(name, n):
    return os.path.join(os.environ["SUITE_TEST_BIN"], f"n{n}", name)


def plain_reference(n):
    """growplain's final Sn and check value, streamed: opt[k] = Sn, then Sn *= ratio."""
    sn, s = RATIO, 0.0
    for _ in range(n + 1):
        s = ref.fma(sn, sn, s)
        sn = sn * RATIO
    return sn, s / float(n)


def split_reference(n, threads):
    """growsplit's opt[N] and check value: each block restarts at pow(ratio, start) * Sn."""
    chunk = n // threads
    s = r = 0.0
    for t in range(threads):
        start = t * chunk
        last = n if t == threads - 1 else start + chunk - 1
        r = RATIO ** float(start) * RATIO
        for _ in range(start, last + 1):
            r = r * RATIO
            s = ref.fma(r, r, s)
    return r, s / float(n)


def expected_lines(name, value, check):
    return [TIME_LINE[name], re.escape(VALUE_LABEL[name] + "%.17g \n" % value),
            re.escape("Result ||opt||^2_2 :  %f\n" % check), "\n"]


def run_report(test, path, threads=None, env_extra=None):
    proc = ref.run(path, threads=threads, env_extra=env_extra)
    test.assertEqual(proc.returncode, 0, f"{path}: status {proc.returncode}, stderr {proc.stderr!r}")
    test.assertEqual(proc.stderr, "")
    return proc.stdout.splitlines(keepends=True)


def check_lines(test, lines, patterns):
    test.assertEqual(len(lines), 4, f"four lines expected, observed {lines!r}")
    for got, pattern in zip(lines, patterns):
        test.assertRegex(got, "^" + pattern + r"\Z")


def geometric_closed_form(first_power, n):
    """(sum over k = 0 .. n of ratio**(2*(k + first_power))) / n, to 60 digits."""
    getcontext().prec = 60
    r2 = Decimal(RATIO) ** 2
    return r2**first_power * (r2 ** (n + 1) - 1) / (r2 - 1) / n


class SmallBuilds(unittest.TestCase):
    def test_growplain_lines(self):
        for n in SMALL:
            with self.subTest(n=n):
                sn, check = plain_reference(n)
                check_lines(self, run_report(self, small("growplain", n)), expected_lines("growplain", sn, check))

    def test_growsplit_lines(self):
        for n in SMALL:
            for threads in (1, 2, 3, 4, 7, 8):
                with self.subTest(n=n, threads=threads):
                    last, check = split_reference(n, threads)
                    lines = run_report(self, small("growsplit", n), threads=threads)
                    check_lines(self, lines, expected_lines("growsplit", last, check))

    def test_one_thread_matches_growplain(self):
        for n in SMALL:
            with self.subTest(n=n):
                plain = run_report(self, small("growplain", n))
                split = run_report(self, small("growsplit", n), threads=1)
                self.assertEqual(plain[1].split(":")[-1], split[1].split(":")[-1])

    def test_closed_forms(self):
        # Element k carries at most k + 2 roundings (one per multiplication, pow within one),
        # its square one more, and the running sum one per addition: all in all the relative
        # error stays below (3N + 6) u, a bound and not an estimate. Printing to 6 decimals adds
        # at most half a unit of the sixth.
        for n in SMALL:
            bound = (3 * n + 6) * U
            for name, first_power, threads in (("growplain", 1, None), ("growsplit", 2, 3)):
                with self.subTest(n=n, program=name):
                    lines = run_report(self, small(name, n), threads=threads)
                    exact_check = geometric_closed_form(first_power, n)
                    got = Decimal(lines[2].split(":")[-1].strip())
                    self.assertLessEqual(abs(got - exact_check), bound * exact_check + Decimal("5e-7"),
                                         f"expected {exact_check}, observed {got}")
                    exact_last = Decimal(RATIO) ** (n + 2)  # the starting ratio times N + 1 factors
                    got_last = Decimal(lines[1].split(":")[-1].strip())
                    self.assertLessEqual(abs(got_last / exact_last - 1), (n + 3) * U,
                                         f"expected {exact_last}, observed {got_last}")


class AllocationFailure(unittest.TestCase):
    def test_message_and_status(self):
        # The delivered programs ask for 16000000008 bytes; refuse them that much address space.
        # A sanitized build reserves far more address space at start, so there the allocator
        # is told to refuse large requests instead.
        sanitized = os.environ.get("SUITE_SANITIZE") == "1"
        env = {"ASAN_OPTIONS": "allocator_may_return_null=1:max_allocation_size_mb=4096"} if sanitized else None
        for name in ("growplain", "growsplit"):
            with self.subTest(program=name):
                cmd = ref.program(name)
                if sanitized:
                    proc = ref.run(cmd, env_extra=env)
                else:
                    proc = ref.run("prlimit", ("--as=4000000000", cmd))
                self.assertEqual(proc.returncode, 1, f"status; stderr {proc.stderr!r}")
                self.assertEqual(proc.stdout, "")
                stderr = proc.stderr
                if sanitized:  # the sanitizer's allocator announces the refusal itself
                    stderr = re.sub(r"(?m)^==\d+==WARNING: AddressSanitizer failed to allocate .*\n", "", stderr)
                self.assertRegex(stderr, r"\Afailed to allocate problem size: .+\n\Z")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

"""Black-box tests of quadplain, quadguard and quadmerge against an independent reference."""
import itertools
import math
import re
import sys
import unittest

import reference as ref

PROGRAMS = ("quadplain", "quadguard", "quadmerge")
PARALLEL = ("quadguard", "quadmerge")
LINE = re.compile(r"pi = (?P<pi>-?nan|-?\d+\.\d{15}), N = (?P<n>[ \d-]{9,}), time = \d+\.\d{8} secs\n\Z")


def report(test, name, args=(), threads=None, timeout=ref.QUICK):
    proc = ref.run(ref.program(name), args, threads=threads, timeout=timeout)
    test.assertEqual(proc.returncode, 0, f"{name} {args}: status {proc.returncode}, stderr {proc.stderr!r}")
    test.assertEqual(proc.stderr, "", f"{name} {args}: unexpected standard error")
    m = LINE.match(proc.stdout)
    test.assertIsNotNone(m, f"{name} {args}: malformed report {proc.stdout!r}")
    return m.group("pi"), m.group("n")


def expected_pi(n):
    """The report's pi field for N as a pattern: spelled out where the report is known by heart;
    for N <= 0 the empty sum (0 * inf is NaN, printf's own spelling; -0.0 for N < 0)."""
    known = {1000000: "3.141592653589764", 1: "3.200000000000000"}
    if n <= 0:
        return r"-?nan" if n == 0 else r"-0\.0{15}"
    return re.escape(known.get(n) or ref.format_pi(ref.pi_serial(n)))


def guard_blocks(n, t_count):
    # 64-bit block bounds, division truncating toward zero (n >= 0 here).
    return [((t * n) // t_count, ((t + 1) * n) // t_count) for t in range(t_count)]


def merge_blocks(n, t_count):
    # The runtime's static division: the first n mod T threads take one index more.
    q, r = divmod(n, t_count)
    return [(t * q + min(t, r), t * q + min(t, r) + q + (1 if t < r else 0)) for t in range(t_count)]


def possible_pis(n, blocks):
    """Every pi the program may print: partial sums merged into 0.0 in any order."""
    step = 1.0 / n
    partials = [ref.midpoint_partial(a, b, step) for a, b in blocks]
    out = set()
    for order in itertools.permutations(partials):
        total = 0.0
        for p in order:
            total += p
        out.add(ref.format_pi(total * step))
    return out


class ReportLine(unittest.TestCase):
    def test_exact_lines(self):
        # N is atol of the first argument. The groups below are the forms where another plausible
        # reading of numbers (strtol with base 0, strtod, std::stoi, a parser of its own) gives
        # another N or refuses the argument.
        cases = [
            ((), 1000000),
            (("1",), 1),
            (("12345", "ignored"), 12345),  # further arguments are ignored
            # Decimal only: no base prefix, and a leading 0 is not octal.
            (("0x10",), 0), (("0X1f",), 0), (("0b11",), 0), (("010",), 10), (("08",), 8),
            # No exponent, fraction or special value: digits up to the first other character.
            (("1e6",), 1), (("1.9",), 1), (("2.5e1",), 2), (("inf",), 0),
            # Every white-space character of the C locale is skipped, alone and together; nothing else is.
            ((" 7",), 7), (("\t7",), 7), (("\n7",), 7), (("\v7",), 7), (("\f7",), 7), (("\r7",), 7),
            ((" \t\n\v\f\r 9",), 9), (("\xa07",), 0),
            # One sign, directly before the digits.
            (("+8",), 8), ((" +8",), 8), (("-0",), 0), (("-5",), -5), (("+-5",), 0), (("-+5",), 0),
            (("--5",), 0), (("- 5",), 0),
            # No number at all is 0, not an error.
            (("",), 0), (("abc",), 0), (("x12",), 0),
            # Trailing text ends the number and is not an error.
            (("100abc",), 100), (("7 8",), 7), (("12-3",), 12), (("6\n",), 6),
            # Leading zeros, however many.
            (("007",), 7), (("0000000000000000000000012",), 12), (("-0002147483648",), -2147483648),
            # The ends of the supported range.
            (("-2147483648",), -2147483648), (("\t-2147483648x",), -2147483648), (("2147483647",), 2147483647),
        ]
        for args, n in cases:
            with self.subTest(args=args):
                timeout = ref.LARGEST_PI if n > 1000000 else ref.QUICK
                got_pi, got_n = report(self, "quadplain", args, timeout=timeout)
                self.assertEqual(got_n, "%9d" % n)
                if n > 1000000:
                    # Too many terms for the reference; the serial sum is this close to pi.
                    self.assertAlmostEqual(float(got_pi), math.pi, delta=1e-12)
                else:
                    self.assertRegex(got_pi, "^" + expected_pi(n) + "$")

    def test_largest_n(self):
        # Block bounds and trip counts near 2**31: a product or count taken in 32 bits goes wrong here.
        for name in PARALLEL:
            with self.subTest(program=name):
                got_pi, got_n = report(self, name, ("2147483647junk",), threads=2, timeout=ref.LARGEST_PI)
                self.assertEqual(got_n, "2147483647")
                self.assertAlmostEqual(float(got_pi), 3.141592653589793, delta=1e-12)

    def test_fused_term(self):
        # Sizes at which x*x + 1 rounded once and rounded twice print differently (about one N in
        # twenty does); the programs must print the single rounding.
        for n in (17, 1004, 12042, 99935):
            fused = ref.format_pi(ref.pi_serial(n))
            self.assertNotEqual(fused, ref.format_pi(ref.pi_serial(n, fused=False)), f"N = {n} tells nothing apart")
            for name in PROGRAMS:
                with self.subTest(program=name, n=n):
                    self.assertEqual(report(self, name, (str(n),), threads=1)[0], fused)

    def test_default_matches_reference(self):
        self.assertEqual(ref.format_pi(ref.pi_serial(1000000)), "3.141592653589764")

    def test_empty_sums(self):
        # No interval: 0 * inf is NaN for N = 0 (printf's own spelling), -0.0 for N < 0.
        cases = [("0", r"-?nan", "        0"), ("abc", r"-?nan", "        0"),
                 ("-5", r"-0\.0{15}", "       -5"), ("-2147483648", r"-0\.0{15}", "-2147483648")]
        for arg, pi_pattern, nfield in cases:
            for name in PROGRAMS:
                for threads in (1, 3):
                    with self.subTest(program=name, arg=arg, threads=threads):
                        got_pi, got_n = report(self, name, (arg,), threads=threads)
                        self.assertRegex(got_pi, "^" + pi_pattern + "$")
                        self.assertEqual(got_n, nfield)

    def test_repeatable(self):
        first = report(self, "quadplain", ("54321",))
        self.assertEqual(report(self, "quadplain", ("54321",)), first)


class OutOfRange(unittest.TestCase):
    def test_rejected(self):
        # Just outside the range, in the forms that read as in range if leading zeros are taken
        # as octal, 64-bit overflow wraps, 32 bits wrap or white space is not skipped.
        for arg in ("99999999999", "-3000000000", "2147483648", "-2147483649", "99999999999999999999999",
                    "-99999999999999999999999", "  +4294967296x", "02147483648", "18446744073709551616",
                    "\t\v-02147483649.5"):
            for name in PROGRAMS:
                with self.subTest(program=name, arg=arg):
                    proc = ref.run(ref.program(name), (arg,))
                    self.assertEqual(proc.returncode, 2, f"status for {arg!r}")
                    self.assertEqual(proc.stdout, "", "nothing on standard output")
                    self.assertEqual(proc.stderr.count("\n"), 1, f"one line on stderr: {proc.stderr!r}")
                    self.assertIn(f"'{arg}'", proc.stderr)
                    self.assertIn("-2147483648 ... 2147483647", proc.stderr)


class Parallel(unittest.TestCase):
    def test_one_thread_is_serial(self):
        for n in ("1", "7", "1000", "99991"):
            expected = report(self, "quadplain", (n,))
            for name in PARALLEL:
                with self.subTest(program=name, n=n):
                    self.assertEqual(report(self, name, (n,), threads=1), expected)

    def test_teams_sum_their_blocks(self):
        # The printed pi must be one that the program's own blocks, merged in some order, give.
        blocks_of = {"quadguard": guard_blocks, "quadmerge": merge_blocks}
        for n in (1000, 1009, 3, 10):
            for threads in (2, 3, 4, 7):
                for name in PARALLEL:
                    with self.subTest(program=name, n=n, threads=threads):
                        allowed = possible_pis(n, blocks_of[name](n, threads))
                        got_pi, _ = report(self, name, (str(n),), threads=threads)
                        self.assertIn(got_pi, allowed, f"observed {got_pi}, expected one of {sorted(allowed)}")

    def test_close_to_serial(self):
        # Any order of adding n positive terms is within n*u*sum of the exact sum (u = 2**-53),
        # so two orders differ by at most twice that; real differences are far smaller.
        n = 200003
        bound = 2 * n * 2.0**-53 * 4.0
        serial = float(report(self, "quadplain", (str(n),))[0])
        for threads in (2, 3, 4, 7, 16):
            for name in PARALLEL:
                with self.subTest(program=name, threads=threads):
                    got = float(report(self, name, (str(n),), threads=threads)[0])
                    self.assertAlmostEqual(got, serial, delta=bound, msg=f"serial {serial!r}, parallel {got!r}")

    def test_more_threads_than_intervals(self):
        # With at most two non-empty partials every merge order gives the serial sum exactly.
        for n in (1, 2):
            expected = report(self, "quadplain", (str(n),))
            for name in PARALLEL:
                with self.subTest(program=name, n=n):
                    # Threads beyond the N-th add an empty +0.0 partial: nothing changes.
                    self.assertEqual(report(self, name, (str(n),), threads=9), expected)

    def test_block_rules(self):
        # The worked cases of the two divisions, and their cover of 0 .. N-1.
        self.assertEqual(merge_blocks(10, 4), [(0, 3), (3, 6), (6, 8), (8, 10)])
        self.assertEqual(guard_blocks(8, 4), [(0, 2), (2, 4), (4, 6), (6, 8)])


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

"""Checks every run's printed result against what it must be, before any figure is believed; the
bounds are derived in docs/variants.md, "Where the bounds come from". u is 2**-53."""
from __future__ import annotations

import functools
import re
from decimal import Context, Decimal, InvalidOperation, localcontext
from fractions import Fraction
from typing import Dict, Optional, Tuple

from ompsuite import catalogue as C
from ompsuite.escape import printable
from ompsuite.study import Check, Run, Series

U = 2.0 ** -53
PI = Decimal("3.14159265358979323846264338327950288")
RATIO = 1.00000001                      # the multiplier and the starting value, as the same double
PRINTED_PI_UNIT = Decimal("1e-15")      # the pi line prints 15 decimals
TEAM_TOTAL = "4.999995e+11"             # 0 + 1 + ... + 999999, exact in doubles, as printed by %e
SLACK = 1.000001                        # covers the 1 / (1 - n u) factors of the bounds below
EXACT = Context(prec=40)                # the closed forms, to more digits than any printed value holds


def rounding_bound(n: int) -> float:
    """|computed pi - M|, M the exact midpoint sum, for any program that sums the N terms in any
    order and grouping: the bound a variant is held to."""
    return 4.0 * (n + 10) * U * SLACK


def pi_bound(n: int) -> float:
    """|printed pi - pi| for any correct program: the quadrature error, the rounding of any order of
    summation, and half a unit of the 15th printed decimal."""
    return 1.0 / (3.0 * n * n) + rounding_bound(n) + 5e-16


def variant_serial_bound(n: int) -> float:
    """|variant pi - serial pi| as printed: both are within the rounding bound of the same M,
    and each printed value within half a printed unit of its double."""
    return 2.0 * rounding_bound(n) + 1e-15


EXACT_MAX = 20000  # up to here a variant's pi is held to the interval its exact terms allow


@functools.lru_cache(maxsize=None)
def any_order_interval(n: int) -> Tuple[Decimal, Decimal]:
    """[low, high] holding the printed pi of every correct program at this N. Python floats are
    doubles; the fused denominator is the exact x*x + 1 rounded once, by the correctly rounded
    integer division."""
    step = 1.0 / n
    totals = []
    for divided in (False, True):
        fused = unfused = 0
        for i in range(n):
            x = (i + 0.5) / n if divided else (i + 0.5) * step
            a, b = x.as_integer_ratio()
            fused += int(4.0 / ((a * a + b * b) / (b * b)) * 2.0 ** 51)
            unfused += int(4.0 / (1.0 + x * x) * 2.0 ** 51)
        totals += [fused, unfused]
    u = Fraction(1, 2 ** 53)
    g = (n - 1) * u / (1 - (n - 1) * u)
    scales = (Fraction(step), Fraction(1, n))
    low = Fraction(min(totals), 2 ** 51) * (1 - g) * min(scales) * (1 - u)
    high = Fraction(max(totals), 2 ** 51) * (1 + g) * max(scales) * (1 + u)
    half = Fraction(1, 2 * 10 ** 15)
    return _decimal(low - half), _decimal(high + half)


def _decimal(q: Fraction) -> Decimal:
    with localcontext(EXACT):
        return Decimal(q.numerator) / Decimal(q.denominator)


def team_pi_bound(n: int) -> float:
    """|team pi - serial pi| for the same N: the same rounded terms summed in two orders."""
    return 8.0 * (n + 1) * U * SLACK + 1e-15


def closed_final(n: int) -> Decimal:
    """Sn after the fill: the starting value times N + 1 multiplications, RATIO ** (N + 2)."""
    with localcontext(EXACT):
        return Decimal(RATIO) ** (n + 2)


def closed_check(n: int, first_power: int) -> Decimal:
    """Sum of opt[k]**2 = RATIO ** (2 (k + first_power)) over k = 0 .. N, divided by N.
    The serial fill stores RATIO ** (k + 1), the parallel one RATIO ** (k + 2)."""
    with localcontext(EXACT):
        r2 = Decimal(RATIO) ** 2
        return r2 ** first_power * (r2 ** (n + 1) - 1) / (r2 - 1) / n


def final_bound(n: int) -> float:
    """Relative: N + 1 rounded multiplications, and for the parallel fill's last block pow (under one
    ulp, 2 u) and one more product; 17 printed digits are exact to u / 2."""
    return (n + 6) * U * SLACK


def check_bound(n: int) -> float:
    """Relative: every element within (N + 6) u, its square within twice that, N + 1 fused
    accumulations of positive terms and the division: (3 N + 14) u. The printed value also
    loses up to half a unit of its sixth decimal (added by the caller)."""
    return (3 * n + 14) * U * SLACK


def units_of_15th_decimal(printed: str, reference: "str | Decimal") -> int:
    """Distance in units of the printed pi's last (15th) decimal: not units in the last place of
    the double, which are about four times smaller near pi."""
    return int(((Decimal(printed) - Decimal(reference)) / PRINTED_PI_UNIT).to_integral_value())


def _number(text: str, what: str) -> Decimal:
    """A printed number, exactly; ValueError naming what was printed when it is none."""
    try:
        return Decimal(text)
    except InvalidOperation:
        raise ValueError(f"its {what} {printable(text, 40)} is not a number") from None


def missing_lines(run: Run) -> str:
    """Why a run's report could not be read: nothing printed, or the first line its kind
    expects and did not find, as that line must read."""
    if not run.output.strip():
        return "printed nothing"
    kind = run.program_entry.kind
    found = kind.read(run.output)
    for label, fields, shape in kind.expected:
        if not all(f in found for f in fields) or (kind.timed and "time" in fields and run.time_s is None):
            return f'no {label} line: expected "{shape}"; see docs/variants.md'
    return "its report could not be read; see docs/variants.md"


# An honest printed time passes its process's life only by what its clock and printing add
# (docs/variants.md, "How a variant is checked"): a coarse clock's millisecond, NTP's slewing.
CLOCK_SLACK_S = 1e-3
CLOCK_RATE = 1e-3


def outlived(run: Run) -> Optional[str]:
    """Why a run's printed time cannot be its run's time: longer than its process lived."""
    rec = run.interference
    if run.time_s is None or rec is None or not rec.watched_s:
        return None
    printed = run.program_entry.kind.read(run.output).get("time", "")
    decimals = len(printed.partition(".")[2].rstrip()) if "." in printed else 0
    slack = CLOCK_SLACK_S + CLOCK_RATE * rec.watched_s + 0.5 * 10.0 ** -decimals
    if run.time_s > rec.watched_s + slack:
        return (f"its printed time {run.time_s:.6g} s is longer than the {rec.watched_s:.3g} s its process "
                f"lived (milliseconds printed as seconds, or a CPU time?)")
    return None


class Validator:
    """Checks each run as it comes; remembers the serial results it compares the others with."""

    def __init__(self) -> None:
        self.serial_pi: Dict[int, str] = {}        # N -> the serial pi program's printed pi
        self.serial_final: Dict[int, str] = {}     # N -> the serial recurrence program's printed final value
        self.small_failures: Dict[Tuple[str, Optional[int]], str] = {}  # (program, team asked) -> why it failed small

    def check(self, run: Run) -> Check:
        """The run's check; remembers what later runs are compared with."""
        entry = run.program_entry
        judge = {C.PI: self._pi, C.RECURRENCE: self._recurrence, C.TEAM: self._team}[entry.kind]
        try:
            # A race found fails every run of the variant, whatever it printed.
            reason = run.fault or (entry.build.failure if entry.build else "") or judge(run) or outlived(run)
        except ValueError as e:
            reason = str(e)
        except ArithmeticError as e:  # a number out of Decimal's range, say
            reason = f"unreadable result ({type(e).__name__})"
        team = (run.program, run.threads_requested)
        if run.series is Series.CHECK and reason is not None:
            self.small_failures.setdefault(team, f"at N = {run.problem_size}: {reason}")
        elif reason is None and team in self.small_failures:
            # Its bound here is too loose to see the fault; the small size saw it.
            reason = f"failed the check {self.small_failures[team]}"
        # A reason may quote what a program printed: one line, no terminal controls, bounded, as
        # it goes to standard error and into the study's files.
        return Check.passed() if reason is None else Check.failed(printable(reason, 500))

    def _pi(self, run: Run) -> Optional[str]:
        n = run.problem_size
        if run.time_s is None or not run.result:
            return missing_lines(run)
        if run.printed_n != n:
            return f"printed N = {run.printed_n}, asked for {n}"
        pi = _number(run.result, "pi")
        if not pi.is_finite() or abs(pi - PI) > Decimal(pi_bound(n)):
            return f"pi = {run.result} is not within {pi_bound(n):.1e} of pi"
        if run.program_entry.variant:
            return self._variant_pi(run, pi)
        if not run.program_entry.parallel:
            if self.serial_pi.setdefault(n, run.result) != run.result:
                return f"pi = {run.result} differs from the same program's earlier {self.serial_pi[n]}"
        elif n in self.serial_pi:
            serial = self.serial_pi[n]
            if abs(pi - Decimal(serial)) > Decimal(team_pi_bound(n)):
                return f"pi = {run.result} is not within {team_pi_bound(n):.1e} of the serial {serial}"
            if run.threads == 1 and run.result != serial:
                return f"one thread printed {run.result}, not the serial {serial}"
        return None

    def _variant_pi(self, run: Run, pi: Decimal) -> Optional[str]:
        """A program the suite did not write: any order of summation, either term, is right. It
        is held to what such programs can print, never to the serial program's exact digits."""
        n = run.problem_size
        if n <= EXACT_MAX:
            low, high = any_order_interval(n)
            if not low <= pi <= high:
                return (f"pi = {run.result} is outside {low:.16f} .. {high:.16f}, where every order of "
                        f"summing the {n} terms lands")
        serial = self.serial_pi.get(n)
        if serial is not None and abs(pi - Decimal(serial)) > Decimal(variant_serial_bound(n)):
            return f"pi = {run.result} is not within {variant_serial_bound(n):.1e} of the serial {serial}"
        return None

    def _recurrence(self, run: Run) -> Optional[str]:
        n = run.problem_size
        if run.time_s is None or not run.result or not run.check_value:
            return missing_lines(run)
        final = _number(run.result, "final result")
        if not final.is_finite():
            return f"final value {run.result} is not a number"
        exact = closed_final(n)
        if abs(final / exact - 1) > Decimal(final_bound(n)):
            return (f"final value {run.result} is not RATIO**(N+2) = {exact:.17g} for N = {n} "
                    f"(programs built for another N?)")
        check = _number(run.check_value, "check value")
        powers = (run.program_entry.first_power,) if run.program_entry.first_power else (1, 2)
        closest = min((closed_check(n, p) for p in powers), key=lambda exact: abs(check - exact))
        if not check.is_finite() or abs(check - closest) > closest * Decimal(check_bound(n)) + Decimal("5e-7"):
            return f"check value {run.check_value} is not {closest:.6f} for N = {n}"
        if not run.program_entry.parallel:
            self.serial_final.setdefault(n, run.result)
        elif n in self.serial_final:
            serial = self.serial_final[n]
            if run.threads == 1 and run.result != serial:
                return f"one thread gave {run.result}, not {run.program_entry.baseline}'s {serial}"
            if abs(final / Decimal(serial) - 1) > 2 * Decimal(final_bound(n)):
                return f"final value {run.result} is too far from {run.program_entry.baseline}'s {serial}"
        return None

    def _team(self, run: Run) -> Optional[str]:
        if (team := run.team_reported) is None:
            return "no 'Number of threads' line"
        starts = sorted(int(t) for t in re.findall(r"^Thread (\d+) is starting\.\.\.$", run.output, re.M)[:team + 1])
        if starts != list(range(team)):
            return f"start lines for threads {starts[:8]}, expected one for each of 0 .. {team - 1}"
        if run.result != TEAM_TOTAL:
            return f"total {run.result or 'missing'}, expected {TEAM_TOTAL}"
        return None

"""Why a printed pi is wrong: the usual mistakes of a midpoint program, each computed here as the
wrong program computes it and matched within the rounding any order of summation brings, so that
a diagnosis is named only where the value says it, never guessed from its distance alone."""
from __future__ import annotations

import math
import struct
from decimal import Decimal
from typing import Iterator, List, Optional, Sequence, Tuple

from ompsuite.analyse.validate import EXACT_MAX, PI, any_order_interval, pi_bound, variant_serial_bound
from ompsuite.escape import printable


def _f(x: float) -> float:
    return 4.0 / (1.0 + x * x)


def _single(x: float) -> float:
    return float(struct.unpack("f", struct.pack("f", x))[0])


def _sum(xs: Iterator[float], step: float) -> float:
    return math.fsum(_f(x) for x in xs) * step


def _candidates(n: int, team: int) -> Iterator[Tuple[str, float]]:
    """(mistake, the pi it prints), computed one by one as the caller asks for the next."""
    h = 1.0 / n
    terms = [_f((i + 0.5) * h) * h for i in range(n)]
    mid = math.fsum(terms)
    yield "x taken at the left end of each interval, not its midpoint", _sum((i * h for i in range(n)), h)
    yield "x taken at the right end of each interval, not its midpoint", _sum(((i + 1) * h for i in range(n)), h)
    yield "a step of 1/(N-1), not 1/N", _sum(((i + 0.5) / (n - 1) for i in range(n)), 1.0 / (n - 1))
    yield "the step held in single precision", _sum(((i + 0.5) * _single(h) for i in range(n)), _single(h))
    for t in range(team):  # each thread's intervals, in a block or dealt out round-robin
        for way, share in (("block", terms[t * n // team:(t + 1) * n // team]), ("round-robin share", terms[t::team])):
            yield f"a sum over only one thread's share (thread {t}'s {way} of {team})", math.fsum(share)
    # Intervals lost (or counted twice) where loops go wrong: at either end, or at each block's edge.
    blocks = [t * n // team for t in range(team + 1)]
    edges: List[Tuple[str, Sequence[int]]] = [
        (where, range(k) if where == "the first" else range(n - k, n))
        for where in ("the first", "the last") for k in range(1, team + 3)]
    edges += [("each thread's first", blocks[:-1]), ("each thread's last", [b - 1 for b in blocks[1:]])]
    for where, idx in edges:
        lost = math.fsum(terms[i] for i in idx)
        word = f"{len(idx)} interval{'' if len(idx) == 1 else 's'}"
        yield f"{word} lost ({where})", mid - lost
        yield f"{word} counted twice ({where})", mid + lost


def diagnose(printed: str, n: int, team: Optional[int] = None) -> str:
    """"" when the printed pi is right for N; else the mistake it matches, or its distance from
    pi in units of the bound a correct program keeps to."""
    try:
        value = Decimal(printed)
        if not value.is_finite():
            raise ValueError
    except (ArithmeticError, ValueError):
        return "not a number"
    if n <= EXACT_MAX:
        low, high = any_order_interval(n)
        if low <= value <= high:
            return ""
    elif abs(value - PI) <= Decimal(pi_bound(n)):
        return ""
    v, tol = float(value), variant_serial_bound(n)
    if n <= EXACT_MAX and n > 1:
        for label, computed in _candidates(n, max(team or 2, 2)):
            if abs(computed - v) <= tol:
                return label
        h = 1.0 / n
        mid = math.fsum(_f((i + 0.5) * h) for i in range(n)) * h
        if 2 * h <= abs(mid - v) <= 4 * h:  # one term's worth: which one, solved from its size
            i = round(n * math.sqrt(max(4 * h / abs(mid - v) - 1, 0.0)) - 0.5)
            if 0 <= i < n and abs(abs(mid - v) - _f((i + 0.5) * h) * h) <= tol:
                return f"1 interval {'lost' if v < mid else 'counted twice'} (i = {i})"
        if abs(_single(v) - v) <= 5e-16 and abs(v - mid) <= 4 * (n + 10) * 2.0 ** -24:
            return "the sum held in single precision"
    distance = float(value - PI)
    if n <= EXACT_MAX and abs(distance) <= pi_bound(n):  # near pi, yet no order of summation prints it
        low, high = any_order_interval(n)
        off = float(min(abs(value - low), abs(value - high)))
        return f"{off:.3g} outside the values any order of summation gives ({off / float(high - low):.3g} times " \
            "their spread)"
    return f"{distance:+.3g} from pi: {abs(distance) / pi_bound(n):.3g} times the bound ({pi_bound(n):.1e})"


def why_wrong(results: List[Tuple[str, int, Optional[int]]]) -> str:
    """The first wrong value's diagnosis among (printed pi, N, team) triples, with its N; ""."""
    for printed, n, team in results:
        if found := diagnose(printed, n, team):
            return f"at N = {n}: pi = {printable(printed, 24)}: {found}"
    return ""

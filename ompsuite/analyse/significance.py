"""Honest statistics over a handful of timed runs: intervals, a rank test, and when to say nothing.
Nothing here assumes a distribution (docs/noise.md, "Intervals", says why). Pure functions, floats
in, no I/O."""
import collections
import dataclasses
import math
import random
import statistics
from typing import Dict, List, Optional, Sequence, Tuple

# Up to this many pairs (30 runs against 30) the rank test counts its exact distribution (docs/noise.md).
EXACT_PAIRS = 900


def median_ranks(n: int, confidence: float = 0.95) -> Optional[Tuple[int, int, float]]:
    """(lower rank, upper rank, coverage), 1-based, of the narrowest symmetric order-statistic interval that
    covers the median with at least `confidence`, or None when no interval of n values does (docs/noise.md)."""
    tail, best = 0.0, None  # type: float, Optional[Tuple[int, int, float]]
    for k in range(1, n // 2 + 1):
        tail += math.comb(n, k - 1) / 2 ** n  # whole numbers divided: 2.0 ** n overflows from n = 1024
        coverage = 1.0 - 2.0 * tail
        if coverage < confidence:
            break
        best = (k, n + 1 - k, coverage)
    return best


def median_interval(values: Sequence[float], confidence: float = 0.95) -> Optional[Tuple[float, float]]:
    """(low, high) covering the median with the coverage of median_ranks(), or None when n is too small
    (n < 6 at 95%: 5 values cover it with only 1 - 2/32 = 93.75%)."""
    if (ranks := median_ranks(len(values), confidence)) is None:
        return None
    xs = sorted(values)
    return xs[ranks[0] - 1], xs[ranks[1] - 1]


def _positive(values: Sequence[float], what: str) -> None:
    if any(not v > 0 for v in values):
        raise ValueError(f"{what} must be positive times")


def ratio_interval(base_values: Sequence[float], values: Sequence[float], confidence: float = 0.95, seed: int = 1,
                   resamples: int = 2000) -> Optional[Tuple[float, float]]:
    """Percentile-bootstrap interval of median(base_values) / median(values) (a speedup when base is the
    baseline's times), resampling each sample on its own; None when either has fewer than 3 values, since
    resamples of 1 or 2 values only ever reproduce those values. The same seed gives the same interval."""
    if len(base_values) < 3 or len(values) < 3:
        return None
    _positive(base_values, "base values")
    _positive(values, "values")
    rng = random.Random(seed)
    ratios = sorted(statistics.median(rng.choices(base_values, k=len(base_values)))
                    / statistics.median(rng.choices(values, k=len(values))) for _ in range(resamples))
    tail = (1.0 - confidence) / 2.0
    return ratios[math.floor(tail * (resamples - 1))], ratios[math.ceil((1.0 - tail) * (resamples - 1))]


def _midranks(pooled: Sequence[float]) -> List[float]:
    """Ranks of the pooled values, 1-based, ties given the mean of the ranks they share."""
    first: Dict[float, int] = {}
    last: Dict[float, int] = {}
    for rank, v in enumerate(sorted(pooled), 1):
        first.setdefault(v, rank)
        last[v] = rank
    return [(first[v] + last[v]) / 2.0 for v in pooled]


def _exact_lower_upper(doubled_ranks: Sequence[int], n1: int, observed: int) -> Tuple[float, float]:
    """P(S <= observed) and P(S >= observed), where S is the sum of n1 of the doubled ranks drawn at random
    without replacement: every split of the pooled runs counted once, by dynamic programming over the
    number drawn and their sum. Doubling makes midranks integers, so ties are counted exactly."""
    counts: List[Dict[int, int]] = [{} for _ in range(n1 + 1)]
    counts[0][0] = 1
    for r in doubled_ranks:
        for k in range(n1, 0, -1):
            for s, c in counts[k - 1].items():
                counts[k][s + r] = counts[k].get(s + r, 0) + c
    total = sum(counts[n1].values())
    return (sum(c for s, c in counts[n1].items() if s <= observed) / total,
            sum(c for s, c in counts[n1].items() if s >= observed) / total)


def mann_whitney(a: Sequence[float], b: Sequence[float]) -> Tuple[float, float]:
    """(U, p): U counts the pairs (x from a, y from b) with x > y, ties counted half, so a small U means a
    tends lower; p is two-sided, exact up to EXACT_PAIRS pairs (docs/noise.md)."""
    n1, n2 = len(a), len(b)
    if not n1 or not n2:
        raise ValueError("the rank test needs at least one value in each sample")
    ranks = _midranks(list(a) + list(b))
    rank_sum = sum(ranks[:n1])
    u = rank_sum - n1 * (n1 + 1) / 2.0
    if n1 * n2 <= EXACT_PAIRS:
        lower, upper = _exact_lower_upper([round(2 * r) for r in ranks], n1, round(2 * rank_sum))
        return u, min(1.0, 2.0 * min(lower, upper))
    n = n1 + n2
    tie_term = sum(t ** 3 - t for t in collections.Counter(ranks).values()) / (n * (n - 1))
    variance = n1 * n2 / 12.0 * (n + 1 - tie_term)
    if variance <= 0:
        return u, 1.0  # every value equal: nothing to tell apart
    z = max(0.0, abs(u - n1 * n2 / 2.0) - 0.5) / math.sqrt(variance)
    return u, min(1.0, math.erfc(z / math.sqrt(2.0)))


def smallest_p(n1: int, n2: int) -> float:
    """The smallest two-sided p the rank test can give for samples of n1 and n2 (with no ties, every run of
    one sample below every run of the other): 2 / C(n1 + n2, n1). 3 runs against 3 give 0.1 at best."""
    return min(1.0, 2 / math.comb(n1 + n2, n1))  # whole numbers divided: 2.0 / C(1040, 520) overflows


@dataclasses.dataclass
class Verdict:
    ratio: float     # median(after) / median(before): below 1 is faster
    interval: Optional[Tuple[float, float]]  # bootstrap interval of that ratio, None with fewer than 3 runs a side
    u: float         # pairs with an after run slower than a before run
    p: float
    label: str       # "faster", "slower" or "~"
    note: str
    reachable: bool = True  # False: too few runs for any p below alpha, so "~" says nothing


def verdict(before: Sequence[float], after: Sequence[float], alpha: float = 0.05, noise: float = 0.02,
            seed: int = 1) -> Verdict:
    """Compare two samples of times: "faster"/"slower" only when the rank test gives p < alpha and the ratio
    of medians lies outside 1 +- noise (docs/noise.md says why)."""
    _positive(before, "times before")
    _positive(after, "times after")
    ratio = statistics.median(after) / statistics.median(before)
    interval = ratio_interval(after, before, seed=seed)
    u, p = mann_whitney(after, before)
    floor = smallest_p(len(before), len(after))
    label, note = "~", ""
    if floor >= alpha:
        note = f"n too small for significance: smallest possible p {floor:.2g}"
    elif p >= alpha:
        note = f"not significant: p {p:.2g}"
    elif abs(ratio - 1.0) <= noise:
        note = f"significant but within the {noise:.0%} noise band"
    else:
        label = "faster" if ratio < 1.0 else "slower"
    return Verdict(ratio, interval, u, p, label, note, floor < alpha)


SPREAD_LIMIT = 0.10
FIRST_RUN_Z = 3.5
FIRST_RUN_FLOOR = 0.05


def instability(values: Sequence[float]) -> Optional[str]:
    """A reason the runs of one row do not agree, or None; no claim with fewer than 3 runs. Two rules,
    argued in docs/noise.md: a spread over 10% of the mean, and a first run that stands apart from the
    rest by the modified z-score of the others (and by more than 5% of their median)."""
    if len(values) < 3:
        return None
    reasons: List[str] = []
    first, rest = values[0], values[1:]
    centre = statistics.median(rest)
    mad = statistics.median(abs(v - centre) for v in rest)
    off = abs(first - centre)
    if off > FIRST_RUN_FLOOR * centre and (mad == 0 or 0.6745 * off / mad > FIRST_RUN_Z):
        way = "slower" if first > centre else "faster"
        reasons.append(f"first run {off / centre:.0%} {way} than the median of the rest")
    mean, spread = statistics.fmean(values), statistics.stdev(values)
    if mean > 0 and spread > SPREAD_LIMIT * mean:
        reasons.append(f"standard deviation {spread / mean:.0%} of the mean")
    return "; ".join(reasons) or None


def precision_met(interval: Optional[Tuple[float, float]], estimate: float, target: float = 0.03) -> bool:
    """True when the interval lies within estimate x (1 +- target); False without an interval."""
    return interval is not None and estimate * (1.0 - target) <= interval[0] and \
        interval[1] <= estimate * (1.0 + target)

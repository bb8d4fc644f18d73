"""The time model (docs/model.md): from what this machine can do (the calibration, measured on the
spot by the calibrate program) a floor, a predicted time and a bound for every summary row. Pure:
it runs nothing."""
from __future__ import annotations

import dataclasses
import math
from typing import Dict, List, Optional, Sequence

from ompsuite import catalogue as C
from ompsuite.study import Figures, Flag, Mark, Summary

FIGURES = ("timer_tick", "add_latency", "mul_latency", "mul_independent", "first_touch", "write_touched",
           "fork_join", "critical", "reduction", "static_loop", "dynamic_chunk", "first_region")


SUSPECT = 0.95  # a median under 95% of its floor, its interval (where it has one) below it too: no result


def impossible_time(row: Summary, floor: float, least: float) -> Optional[Mark]:
    """The row's mark against the floor: a median under 95% of it, whose interval (where it has
    one) also lies wholly below the least time the calibration allows, is no real run of the
    program; without an interval the 95% alone decides, since nothing says the median is noise."""
    if row.median_s is None or row.median_s >= SUSPECT * floor:
        return None
    if row.median_high is not None and row.median_high >= least:
        return None
    upto = f" (95% interval up to {row.median_high:.3g} s)" if row.median_high is not None else ""
    # The suite's own programs are known to do their work: the calibration is then what is wrong. A
    # variant's printed time is its own word, and one under the floor cannot be right.
    why = f"{row.program}'s own time cannot be right" if row.program_entry.variant else "the calibration is suspect"
    return Mark(Flag.BELOW_FLOOR, f"median {row.median_s:.3g} s{upto} is {100 * row.median_s / floor:.0f}% of the "
                                  f"floor {floor:.3g} s: no real run is that fast, so {why}")


class Model:
    def __init__(self, figures: Figures, low: bool = False, cores: Optional[int] = None) -> None:
        self.figures = figures
        self.cores = cores  # the cores a team may use: a larger team is oversubscribed
        self.f = {k: v[1] if low else v[0] for k, v in figures.items()}

    def get(self, figure: str, threads: int = 1) -> Optional[float]:
        return self.f.get((figure, threads))

    def describe(self) -> List[str]:
        """Markdown lines: every figure measured, per team size where it has one."""
        lines = []
        for fig in FIGURES:
            if teams := sorted(t for f, t in self.f if f == fig):
                unit, scale = ("s/GB", 1.0) if fig in ("first_touch", "write_touched") else ("ns", 1e9)
                lines.append(f"- {fig}: " + ", ".join(f"{self._shown(fig, t, scale)} {unit} ({t} thr)" for t in teams))
            else:
                lines.append(f"- {fig}: not measured")
        return lines

    def _shown(self, figure: str, threads: int, scale: float) -> str:
        """A figure as printed. A cost within its interval of nothing is below what the calibration
        can resolve: shown as under the interval's width (twice the distance from the median to
        its lower end), never as a negative cost."""
        median, low = self.figures[(figure, threads)]
        resolution = 2 * (median - low)
        if median < resolution or median <= 0:
            return f"< {max(resolution, 0.0) * scale:.2g}" if resolution > 0 else "< resolution"
        return f"{median * scale:.4g}"

    def terms(self, entry: C.Program, threads: Optional[int], n: int) -> Optional[Dict[str, float]]:
        """{term: seconds} of the prediction, or None when a needed figure is missing."""
        if not (t := threads):
            return None
        if entry.kind is C.PI:
            if (add := self.get("add_latency")) is None:
                return None
            terms = {"addition latency": n * add / t}
        else:
            gb = 8 * (n + 1) / 1e9
            mul, touch, write = self.get("mul_latency"), self.get("first_touch", t), self.get("write_touched", t)
            if mul is None or touch is None or write is None:
                return None
            chain = (n + 1) * mul / t
            terms = {"first touch": gb * touch}
            if gb * write > chain:
                terms["memory writes"] = gb * write
            else:
                terms["multiplication latency"] = chain
        if entry.constructs:
            parts = [(self.get(c, t), sign) for c, sign in entry.constructs]
            values = [(v, sign) for v, sign in parts if v is not None]
            if len(values) < len(parts):
                return None
            terms["construct overhead"] = max(0.0, sum(v * sign for v, sign in values))
        return terms

    def apply(self, rows: Sequence[Summary]) -> List[Summary]:
        """Summaries with floor_s, predicted_s, pct_floor and bound_by; impossible times marked."""
        # The impossibility check takes the floor from the best the calibration saw (the lower
        # ends of its intervals), so that a calibration slowed by other load cannot fail a real run.
        best = Model(self.figures, low=True, cores=self.cores)
        out = []
        for r in rows:
            entry = r.program_entry
            terms = self.terms(entry, r.threads, r.problem_size)
            if not terms:
                if r.median_s is not None:  # else nothing was timed (every run failed): nothing to model
                    over = self.cores is not None and r.threads is not None and r.threads > self.cores
                    r = r.with_note(f"oversubscribed: {r.threads} threads on {self.cores} cores, which the calibration "
                                    "does not measure" if over else "no calibration for this team size")
                out.append(r)
                continue
            floor = sum(v for k, v in terms.items() if k != "construct overhead")
            predicted = sum(terms.values())
            if not math.isfinite(predicted) or not math.isfinite(100.0 * (r.median_s or 0.0) / (floor or 1.0)):
                # A figure of a user's calibration file so large or small that the model's sums
                # leave the doubles: no floor is better than an infinite one.
                out.append(r.with_note("the calibration's figures give no finite floor for this row"))
                continue
            r = dataclasses.replace(r, floor_s=floor, predicted_s=predicted)
            if not r.page_fault_bound:  # measured, it outranks the model's guess
                r = dataclasses.replace(r, bound_by=max(terms, key=terms.__getitem__))
            if r.median_s is not None and floor > 0:
                r = dataclasses.replace(r, pct_floor=100.0 * r.median_s / floor)
                least_terms = best.terms(entry, r.threads, r.problem_size) or terms
                least = sum(v for k, v in least_terms.items() if k != "construct overhead")
                if r.check.ok and (mark := impossible_time(r, floor, least)):
                    r = r.with_mark(mark)
            # The finest step in which a program's time is known: the timer's or the printed one.
            if r.median_s is not None and r.median_s < 20 * max(self.get("timer_tick") or 0.0, entry.kind.printed_tick):
                r = r.with_note("under 20 timer ticks")
            out.append(r)
        serial = {(r.series, r.program, r.problem_size): r.predicted_s for r in out if r.threads == 1}
        return [dataclasses.replace(r, predicted_speedup=base / r.predicted_s)
                if (base := serial.get((r.series, r.program_entry.baseline or r.program, r.problem_size)))
                and r.predicted_s and math.isfinite(base / r.predicted_s) else r for r in out]

    def crossover(self, entry: C.Program, threads: int) -> Optional[float]:
        """N from which the model has a parallel pi program beat its baseline by 10%:
        N add >= 1.1 (N add / T + overhead), so N >= 1.1 overhead / (add (1 - 1.1 / T));
        None when it never does (one thread) or a figure is missing."""
        add, terms = self.get("add_latency"), self.terms(entry, threads, 1)
        if not add or not terms or threads * 1.0 <= 1.1:
            return None
        per_interval = add * (1.0 - 1.1 / threads)  # may underflow to 0 for a tiny figure in a user's file
        n = 1.1 * terms["construct overhead"] / per_interval if per_interval > 0 else math.inf
        return n if math.isfinite(n) else None

"""One table of summaries, rendered for the terminal (fits 100 columns) and as Markdown
(docs/files.md, "summary.csv and the tables"); the columns are defined once, each saying how its
cell is written and whether the terminal shows it."""
from __future__ import annotations

import dataclasses
import textwrap
from typing import Callable, Dict, Iterable, List, Optional, Sequence, Tuple

from ompsuite.escape import markdown_cell
from ompsuite import catalogue as C
from ompsuite.platform.console import wrapped
from ompsuite.platform.machine import SCHEMA
from ompsuite.study import Crossover, State, Study, Summary

TERMINAL_WIDTH = 100


def time_unit(seconds: Optional[float]) -> Tuple[float, str]:
    if seconds is None or seconds >= 1:
        return 1.0, "s"
    if seconds >= 1e-3:
        return 1e3, "ms"
    return 1e6, "µs"


def fmt_time(seconds: Optional[float]) -> str:
    if seconds is None:
        return ""
    scale, unit = time_unit(seconds)
    return f"{seconds * scale:.4g} {unit}"


def fmt_range(low: Optional[float], high: Optional[float], unit_of: Optional[float]) -> str:
    if low is None or high is None:
        return ""
    scale, _ = time_unit(unit_of)
    return f"{low * scale:.4g}–{high * scale:.4g}"


def fmt_n(n: Optional[int]) -> str:
    """N as digits, or as 1e8 / 2e9 when that is exact and shorter."""
    if not n:
        return ""
    mantissa = str(n).rstrip("0")
    short = f"{mantissa}e{len(str(n)) - len(mantissa)}"
    return short if len(str(n)) - len(mantissa) >= 3 and len(short) < len(str(n)) else str(n)


def fmt_num(value: Optional[float], pattern: str, suffix: str = "") -> str:
    return "" if value is None else format(value, pattern) + suffix


def asked_text(s: Summary, sep: str = ",") -> str:
    """The teams asked for that gave this one, by size; the runtime's default team is no number."""
    return sep.join(str(t) for t in sorted({t for t in s.asked if t}))


def team(threads: Optional[int]) -> str:
    """A team as the tables show it; an unknown one is never shown as a number."""
    return "?" if threads is None else str(threads)


def threads_text(threads: Optional[int]) -> str:
    """A team in words: ? threads, 1 thread, 2 threads."""
    return f"{team(threads)} thread{'' if threads == 1 else 's'}"


def threads_cell(s: Summary) -> str:
    """The team obtained, and the teams asked for where they differ: 2 (asked 2,3)."""
    asked = asked_text(s)
    return team(s.threads) if not asked or asked == team(s.threads) else f"{team(s.threads)} (asked {asked})"


def team_label(s: Summary) -> str:
    """The team in words, as a note names its row: 1 thread, 2 threads (asked 2,3)."""
    return threads_text(s.threads) + threads_cell(s)[len(team(s.threads)):]


# Long model terms, shortened only where the terminal is short of room.
_SHORT = {"addition latency": "add latency", "multiplication latency": "mult latency", "memory writes": "mem writes",
          "construct overhead": "constructs"}


@dataclasses.dataclass(frozen=True)
class Column:
    head: str
    cell: Callable[[Summary], str]
    right: bool = True
    terminal: bool = False
    model: bool = False   # shown only when the rows were modelled


def median_cell(s: Summary) -> str:
    """The median; an untrusted row's in brackets, so that it never reads as a trusted figure."""
    shown = fmt_time(s.median_s)
    return f"({shown})" if shown and s.state is State.UNTRUSTED else shown


def speedup_interval_cell(s: Summary) -> str:
    return "" if s.speedup_low is None or s.speedup_high is None else f"{s.speedup_low:.2f}–{s.speedup_high:.2f}"


def check_cell(s: Summary) -> str:
    """The row's state with its reasons: ok, FAIL, impossible (no result) or untrusted."""
    head = {State.FAILED: str(s.check), State.IMPOSSIBLE: f"impossible: {s.impossible}"}.get(s.state)
    if head is None:
        return f"untrusted: {s.untrusted}" if s.state is State.UNTRUSTED else "ok"
    return head + (f"; untrusted: {s.untrusted}" if s.untrusted else "")


COLUMNS = (
    Column("program", lambda s: s.program, right=False, terminal=True),
    Column("threads", threads_cell, terminal=True),
    Column("N", lambda s: fmt_n(s.problem_size), terminal=True),
    Column("runs", lambda s: str(s.runs)),
    Column("median", median_cell, terminal=True),
    Column("95% interval", lambda s: fmt_range(s.median_low, s.median_high, s.median_s) if s.median_low is not None
           else "" if s.median_s is None else f"none (n={s.runs - s.left_out})", terminal=True),  # or why none
    Column("min–max", lambda s: fmt_range(s.min_s, s.max_s, s.median_s)),
    Column("speedup", lambda s: fmt_num(s.speedup, ".2f"), terminal=True),
    Column("speedup 95%", speedup_interval_cell, terminal=True),
    Column("speedup without page faults", lambda s: fmt_num(s.speedup_no_faults, ".2f")),
    Column("efficiency", lambda s: fmt_num(s.efficiency, ".2f"), terminal=True),
    Column("Karp–Flatt", lambda s: fmt_num(s.karp_flatt, ".3f")),
    Column("rate", lambda s: "" if s.rate is None else f"{s.rate:.2f} GB/s" if s.rate_unit == "GB/s"
           else f"{s.rate / 1e6:.0f} M/s"),
    Column("1e-15s from serial", lambda s: fmt_num(s.units_from_serial, "d")),
    Column("1e-15s from π", lambda s: fmt_num(s.units_from_pi, "d")),
    Column("same result", lambda s: s.reproducible, right=False),
    Column("unstable", lambda s: s.unstable, right=False),
    Column("disturbed", lambda s: s.disturbed, right=False),
    Column("user", lambda s: fmt_time(s.user_s)),
    Column("system", lambda s: fmt_time(s.system_s)),
    Column("floor", lambda s: fmt_time(s.floor_s), model=True),
    Column("predicted", lambda s: fmt_time(s.predicted_s), model=True),
    Column("% of floor", lambda s: fmt_num(s.pct_floor, ".0f"), terminal=True, model=True),
    Column("bound by", lambda s: s.bound_by, right=False, terminal=True, model=True),
    Column("check", check_cell, right=False, terminal=True),
    Column("note", lambda s: s.note, right=False),
)
TERMINAL_HEADS = {"efficiency": "eff.", "% of floor": "% floor", "95% interval": "95% CI", "speedup 95%": "CI"}
# Columns left out of the Markdown when no row has anything in them.
_OPTIONAL = ("note", "unstable", "disturbed", "user", "system", "speedup 95%", "speedup without page faults")


def columns(rows: Sequence[Summary], modelled: bool = False, terminal: bool = False) -> List[Column]:
    """The columns for these rows: the full table's (the Markdown's and the report page's) or the terminal's."""
    cols = [c for c in COLUMNS if (c.terminal or not terminal) and (modelled or not c.model)]
    return [c for c in cols if c.head not in _OPTIONAL or any(c.cell(r) for r in rows)]


def row_notes(s: Summary) -> List[str]:
    """What the terminal says under the table about a row, in the order it says it."""
    return [text for text in (
        "" if s.check.ok else f"FAIL: {s.check.reason}", s.impossible and f"no result: {s.impossible}",
        "" if s.speedup_no_faults is None
        else f"speedup without the kernel's page-fault time on either side: {s.speedup_no_faults:.2f}",
        # One note says why an untrusted figure is so and what disturbed its runs.
        s.untrusted and "; ".join(filter(None, (f"figure not to be trusted: {s.untrusted}", s.disturbed))),
        "" if s.untrusted else s.disturbed, s.unstable and f"unstable: {s.unstable}", s.note) if text]


def markdown_table(head: Sequence[str], align: str, rows: Iterable[Sequence[object]]) -> List[str]:
    """A Markdown table's lines, align a letter a column (l or r); every cell, the heads' too, is
    escaped (a pipe, markup), a newline in one becoming a space."""
    def line(cells: Iterable[object]) -> str:
        return "| " + " | ".join(map(markdown_cell, cells)) + " |"

    return [line(head), "|" + "|".join("---:" if a == "r" else "---" for a in align) + "|", *map(line, rows)]


def markdown(rows: Sequence[Summary], modelled: bool = False) -> List[str]:
    cols = columns(rows, modelled)
    return markdown_table([c.head for c in cols], "".join("r" if c.right else "l" for c in cols),
                          ([c.cell(r) for c in cols] for r in rows))


def aligned(rows: Sequence[Sequence[str]], right: Sequence[bool]) -> List[str]:
    """Rows of cells (the heads first) as lines of columns two spaces apart, each as wide as its widest cell."""
    widths = [max(len(row[i]) for row in rows) for i in range(len(right))]
    return ["  ".join(t.rjust(n) if r else t.ljust(n) for t, n, r in zip(row, widths, right)).rstrip() for row in rows]


def numbered(notes: List[str], new: Sequence[str]) -> str:
    """Adds a row's notes to the table's; the marks that number them after its cell: [3], [3-4]."""
    first = len(notes) + 1
    notes += new
    return f" [{first}]" if len(new) == 1 else f" [{first}-{len(notes)}]" if new else ""


# Widths of the cells that hold the day's figures (a median of 9.9 ms or 10.12 ms, an interval,
# a note's number), as wide as such a cell gets.
_NOMINAL = {"median": 9, "95% interval": 11, "speedup": 5, "speedup 95%": 9, "efficiency": 4, "% of floor": 4,
            "bound by": 12, "check": 15}
# Left out, in this order, when a table would pass the terminal's width: the full table has them.
_DROPPABLE = ("speedup 95%", "efficiency", "95% interval", "% of floor", "bound by")


def terminal(rows: Sequence[Summary], modelled: bool = False, width: int = TERMINAL_WIDTH) -> List[str]:
    """Aligned columns for a terminal: what needs words (failures, disturbed and unstable runs,
    notes) is numbered under the table, and columns that would make a line pass the width are
    left out, with a line saying which."""
    cols = columns(rows, modelled, terminal=True)
    notes: List[str] = []
    cells: List[Dict[str, str]] = []
    for r in rows:
        marks = numbered(notes, [f"{r.program} {team_label(r)} N={fmt_n(r.problem_size)}: {text}"
                                 for text in row_notes(r)])
        cells.append({**{c.head: c.cell(r) for c in cols}, "check": r.state.value + marks,
                      "bound by": "page faults" if r.page_fault_bound else _SHORT.get(r.bound_by, r.bound_by)})
    dropped = []

    def widths(nominal: bool) -> List[int]:
        return [max([len(TERMINAL_HEADS.get(c.head, c.head))] + ([_NOMINAL[c.head]] if nominal and c.head in _NOMINAL
                                                                 else [len(row[c.head]) for row in cells]))
                for c in cols]

    # What is left out is decided on nominal widths, so that the same rows drop the same columns
    # whatever the day's figures; the actual widths only drop more where they still pass the width.
    for nominal in (True, False):
        while sum(widths(nominal)) + 2 * (len(cols) - 1) > width and any(c.head in _DROPPABLE for c in cols):
            gone = next(h for h in _DROPPABLE if any(c.head == h for c in cols))
            cols = [c for c in cols if c.head != gone]
            dropped.append(gone)
    out = aligned([[TERMINAL_HEADS.get(c.head, c.head) for c in cols], *([row[c.head] for c in cols] for row in cells)],
                  [c.right for c in cols])
    out += [line for n, note in enumerate(notes, 1) for line in wrapped(f"[{n}] {note}", width).split("\n")]
    if dropped:
        out += textwrap.wrap(f"(left out to fit {width} columns: {', '.join(dropped)}; the full table has them)", width)
    return out


def team_lines(study: Study) -> List[str]:
    """The team report's runs, a line each: its team, its total and its check."""
    return [f"{r.program}: {threads_text(r.threads)}, total {r.result or '?'}: {r.check}"
            for r in study.runs if r.entry is not None and r.entry.kind is C.TEAM]


def machine_facts(study: Study) -> List[List[str]]:
    """The machine's facts, led by the format and closed by whether the study completed."""
    facts = [[k, v] for k, v in study.machine]
    keys = {k for k, _ in study.machine}
    if "schema" not in keys:
        facts.insert(0, ["schema", SCHEMA])
    if "completed" not in keys:
        facts.append(["completed", "yes" if study.completed else f"no: {study.stopped}"])
    return facts


def crossover_text(study: Study, c: Crossover, cell: Callable[[str], str] = markdown_cell) -> str:
    """Where a program beats its baseline, the names escaped by cell for where the line goes."""
    baseline = next((p.baseline for p in study.catalogue if p.name == c.program), None) or "its baseline"
    measured = "never (within the sweep)" if c.measured_n is None else f"{c.measured_n:.3g}"
    predicted = "n/a" if c.predicted_n is None else f"{c.predicted_n:.3g}"
    return (f"{cell(c.program)}, {c.threads} threads: beats {cell(baseline)} "
            f"by 10% from N = {measured} measured, {predicted} predicted")

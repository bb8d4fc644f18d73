"""One table of summary rows, rendered for the terminal (fits 100 columns) and as Markdown.

The columns are defined once; each says how its cell is written and whether the terminal shows
it. Times are shown in a unit chosen by their size (s, ms, µs), the same unit for a row's median
and its range, so a run of a few microseconds reads as such and not as 0.000001.
"""
import dataclasses
import textwrap

from ompsuite.escape import markdown_cell

TERMINAL_WIDTH = 100


def time_unit(seconds):
    """(scale, unit) for a time: s from 1 s, ms from 1 ms, µs below."""
    if seconds is None or seconds >= 1:
        return 1.0, "s"
    if seconds >= 1e-3:
        return 1e3, "ms"
    return 1e6, "µs"


def fmt_time(seconds, unit_of=None):
    if seconds is None:
        return ""
    scale, unit = time_unit(seconds if unit_of is None else unit_of)
    return f"{seconds * scale:.4g} {unit}"


def fmt_range(low, high, unit_of):
    if low is None or high is None:
        return ""
    scale, _ = time_unit(unit_of)
    return f"{low * scale:.4g}–{high * scale:.4g}"


def fmt_n(n):
    """N as digits, or as 1e8 / 2e9 when that is exact and shorter."""
    if not n:
        return ""
    mantissa, exponent = n, 0
    while mantissa % 10 == 0:
        mantissa //= 10
        exponent += 1
    short = f"{mantissa}e{exponent}"
    return short if exponent >= 3 and len(short) < len(str(n)) else str(n)


def _num(value, pattern):
    return "" if value is None else format(value, pattern)


def threads_cell(row, short=False):
    shown = "?" if row.threads is None else str(row.threads)
    req = row.threads_requested
    if not req or req == shown:
        return shown
    return f"{shown} of {req}" if short else f"{shown} (asked {req})"


def rate_cell(row):
    if row.rate is None:
        return ""
    if row.rate_unit == "GB/s":
        return f"{row.rate:.2f} GB/s"
    return f"{row.rate / 1e6:.0f} M/s"


# Long model terms, shortened only where the terminal is short of room.
_SHORT = {"addition latency": "add latency", "multiplication latency": "mult latency", "memory writes": "mem writes",
          "construct overhead": "constructs"}


@dataclasses.dataclass(frozen=True)
class Column:
    head: str
    cell: object          # row -> text
    right: bool = True
    terminal: bool = False
    model: bool = False   # shown only when the rows were modelled


def interval_cell(row):
    """The median's 95% interval, or why there is none."""
    if row.median_low is not None:
        return fmt_range(row.median_low, row.median_high, row.median_s)
    return "" if row.median_s is None else f"none (n={row.runs - _left_out(row)})"


def _left_out(row):
    return int(row.disturbed.split(" of ")[0]) if row.disturbed else 0


def speedup_interval_cell(row):
    if row.speedup_low is None:
        return ""
    return f"{row.speedup_low:.2f}–{row.speedup_high:.2f}"


COLUMNS = (
    Column("program", lambda r: r.program, right=False, terminal=True),
    Column("threads", threads_cell, terminal=True),
    Column("N", lambda r: fmt_n(r.problem_size), terminal=True),
    Column("runs", lambda r: str(r.runs)),
    Column("median", lambda r: fmt_time(r.median_s), terminal=True),
    Column("95% interval", interval_cell, terminal=True),
    Column("min–max", lambda r: fmt_range(r.min_s, r.max_s, r.median_s)),
    Column("speedup", lambda r: _num(r.speedup, ".2f"), terminal=True),
    Column("speedup 95%", speedup_interval_cell, terminal=True),
    Column("efficiency", lambda r: _num(r.efficiency, ".2f"), terminal=True),
    Column("Karp–Flatt", lambda r: _num(r.karp_flatt, ".3f")),
    Column("rate", rate_cell),
    Column("1e-15s from serial", lambda r: _num(r.units_from_serial, "d")),
    Column("1e-15s from π", lambda r: _num(r.units_from_pi, "d")),
    Column("same result", lambda r: r.reproducible, right=False),
    Column("unstable", lambda r: r.unstable, right=False),
    Column("disturbed", lambda r: r.disturbed, right=False),
    Column("user", lambda r: fmt_time(r.user_s)),
    Column("system", lambda r: fmt_time(r.system_s)),
    Column("floor", lambda r: fmt_time(r.floor_s), model=True),
    Column("predicted", lambda r: fmt_time(r.predicted_s), model=True),
    Column("% of floor", lambda r: _num(r.pct_floor, ".0f"), terminal=True, model=True),
    Column("bound by", lambda r: r.bound_by, right=False, terminal=True, model=True),
    Column("check", lambda r: str(r.check) + (f"; untrusted: {r.untrusted}" if r.untrusted else ""),
           right=False, terminal=True),
    Column("note", lambda r: r.note, right=False),
)
TERMINAL_HEADS = {"efficiency": "eff.", "% of floor": "% floor", "95% interval": "95% CI", "speedup 95%": "CI"}
# Columns left out of the Markdown when no row has anything in them.
_OPTIONAL = ("note", "unstable", "disturbed", "user", "system", "speedup 95%")


def _columns(rows, modelled, terminal):
    cols = [c for c in COLUMNS if (c.terminal or not terminal) and (modelled or not c.model)]
    return [c for c in cols if c.head not in _OPTIONAL or any(c.cell(r) for r in rows)]


def row_notes(row):
    """What the terminal says under the table about a row: its failure, why its figure cannot be
    trusted, its disturbed runs, why its runs disagree, and its note."""
    notes = []
    if not row.check.ok:
        notes.append(f"FAIL: {row.check.reason}")
    if row.untrusted:
        notes.append(f"figure not to be trusted: {row.untrusted}")
    for text in (row.disturbed, row.unstable and f"unstable: {row.unstable}", row.note):
        if text:
            notes.append(text)
    return notes


def markdown(rows, modelled=False):
    """The full table as Markdown lines; a pipe in a cell is escaped, a newline becomes a space."""
    cols = _columns(rows, modelled, terminal=False)
    lines = ["| " + " | ".join(c.head for c in cols) + " |",
             "|" + "|".join("---:" if c.right else "---" for c in cols) + "|"]
    for r in rows:
        lines.append("| " + " | ".join(md_cell(c.cell(r)) for c in cols) + " |")
    return lines


md_cell = markdown_cell  # one escaping rule for every Markdown cell, values from files included


# Left out, in this order, when a table would pass the terminal's width: the full table has them.
_DROPPABLE = ("speedup 95%", "efficiency", "95% interval", "% of floor", "bound by")


def terminal(rows, modelled=False, width=TERMINAL_WIDTH):
    """Aligned columns for a terminal: what needs words (failures, disturbed and unstable runs,
    notes) is numbered under the table, and columns that would make a line pass the width are
    left out, with a line saying which."""
    cols = _columns(rows, modelled, terminal=True)
    notes, cells = [], {}
    for r in rows:
        mine = row_notes(r)
        first = len(notes) + 1
        notes += [f"{r.program} {threads_cell(r)} threads N={fmt_n(r.problem_size)}: {text}" for text in mine]
        marks = f" [{first}]" if len(mine) == 1 else f" [{first}-{len(notes)}]" if mine else ""
        for c in cols:
            text = c.cell(r)
            if c.head == "threads":
                text = threads_cell(r, short=True)
            elif c.head == "bound by":
                text = _SHORT.get(text, text)
                text = "page faults" if text.startswith("page faults") else text
            elif c.head == "check":
                text = ("FAIL" if not r.check.ok else "untrusted" if r.untrusted else "ok") + marks
            cells[(id(r), c.head)] = text
    dropped = []

    def widths():
        return [max([len(TERMINAL_HEADS.get(c.head, c.head))] + [len(cells[(id(r), c.head)]) for r in rows])
                for c in cols]

    while sum(widths()) + 2 * (len(cols) - 1) > width and any(c.head in _DROPPABLE for c in cols):
        gone = next(h for h in _DROPPABLE if any(c.head == h for c in cols))
        cols = [c for c in cols if c.head != gone]
        dropped.append(gone)
    w = widths()

    def line(texts):
        return "  ".join(t.rjust(n) if c.right else t.ljust(n) for t, n, c in zip(texts, w, cols)).rstrip()

    out = [line([TERMINAL_HEADS.get(c.head, c.head) for c in cols])]
    out += [line([cells[(id(r), c.head)] for c in cols]) for r in rows]
    for k, note in enumerate(notes, 1):
        out += textwrap.wrap(f"[{k}] {note}", width, subsequent_indent="    ", break_on_hyphens=False)
    if dropped:
        out += textwrap.wrap(f"(left out to fit {width} columns: {', '.join(dropped)}; the full table has them)", width)
    return out

"""One table of summary rows, rendered for the terminal (fits 100 columns) and as Markdown.

The columns are defined once; each says how its cell is written and whether the terminal shows
it. Times are shown in a unit chosen by their size (s, ms, µs), the same unit for a row's median
and its range, so a run of a few microseconds reads as such and not as 0.000001.
"""
import dataclasses
import textwrap

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


def threads_cell(row):
    shown = "?" if row.threads is None else str(row.threads)
    req = row.threads_requested
    return shown + (f" (asked {req})" if req and req != shown else "")


def rate_cell(row):
    if row.rate is None:
        return ""
    if row.rate_unit == "GB/s":
        return f"{row.rate:.2f} GB/s"
    return f"{row.rate / 1e6:.0f} M/s"


# Long model terms, shortened only where the terminal is short of room.
_SHORT = {"multiplication latency": "mult. latency", "construct overhead": "constructs"}


@dataclasses.dataclass(frozen=True)
class Column:
    head: str
    cell: object          # row -> text
    right: bool = True
    terminal: bool = False
    model: bool = False   # shown only when the rows were modelled


COLUMNS = (
    Column("program", lambda r: r.program, right=False, terminal=True),
    Column("threads", threads_cell, terminal=True),
    Column("N", lambda r: fmt_n(r.problem_size), terminal=True),
    Column("runs", lambda r: str(r.runs)),
    Column("median", lambda r: fmt_time(r.median_s), terminal=True),
    Column("min–max", lambda r: fmt_range(r.min_s, r.max_s, r.median_s), terminal=True),
    Column("speedup", lambda r: _num(r.speedup, ".2f"), terminal=True),
    Column("efficiency", lambda r: _num(r.efficiency, ".2f"), terminal=True),
    Column("Karp–Flatt", lambda r: _num(r.karp_flatt, ".3f")),
    Column("rate", rate_cell),
    Column("1e-15s from serial", lambda r: _num(r.units_from_serial, "d")),
    Column("1e-15s from π", lambda r: _num(r.units_from_pi, "d")),
    Column("same result", lambda r: r.reproducible, right=False),
    Column("floor", lambda r: fmt_time(r.floor_s), model=True),
    Column("predicted", lambda r: fmt_time(r.predicted_s), model=True),
    Column("% of floor", lambda r: _num(r.pct_floor, ".0f"), terminal=True, model=True),
    Column("bound by", lambda r: r.bound_by, right=False, terminal=True, model=True),
    Column("check", lambda r: str(r.check), right=False, terminal=True),
    Column("note", lambda r: r.note, right=False),
)
TERMINAL_HEADS = {"efficiency": "eff.", "% of floor": "% floor"}


def _columns(rows, modelled, terminal):
    cols = [c for c in COLUMNS if (c.terminal or not terminal) and (modelled or not c.model)]
    if not any(r.note for r in rows):
        cols = [c for c in cols if c.head != "note"]
    return cols


def markdown(rows, modelled=False):
    """The full table as Markdown lines; a pipe in a cell is escaped, a newline becomes a space."""
    cols = _columns(rows, modelled, terminal=False)
    lines = ["| " + " | ".join(c.head for c in cols) + " |",
             "|" + "|".join("---:" if c.right else "---" for c in cols) + "|"]
    for r in rows:
        lines.append("| " + " | ".join(md_cell(c.cell(r)) for c in cols) + " |")
    return lines


def md_cell(text):
    return " ".join(str(text).replace("|", "\\|").split())


def terminal(rows, modelled=False, width=TERMINAL_WIDTH):
    """Aligned columns for a terminal: the failures' reasons are numbered under the table, so that
    no line passes the width."""
    cols = _columns(rows, modelled, terminal=True)
    notes, body = [], []
    for r in rows:
        cells = []
        for c in cols:
            text = c.cell(r)
            if c.head == "bound by":
                text = _SHORT.get(text, text)
            if c.head == "check" and not r.check.ok:
                notes.append(f"{r.program} {threads_cell(r)} threads N={fmt_n(r.problem_size)}: {r.check.reason}")
                text = f"FAIL [{len(notes)}]"
            cells.append(text)
        body.append(cells)
    heads = [TERMINAL_HEADS.get(c.head, c.head) for c in cols]
    widths = [max(len(h), *(len(b[k]) for b in body)) if body else len(h) for k, h in enumerate(heads)]

    def line(cells):
        parts = [(cell.rjust(w) if c.right else cell.ljust(w)) for cell, w, c in zip(cells, widths, cols)]
        return "  ".join(parts).rstrip()

    out = [line(heads)] + [line(b) for b in body]
    for k, note in enumerate(notes, 1):
        out += textwrap.wrap(f"[{k}] {note}", width, subsequent_indent="    ", break_on_hyphens=False)
    return out

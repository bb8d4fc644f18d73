"""Machines side by side, and before against after: compare.md (docs/files.md), every later study
judged against the first (or a node's reference) on the clean runs' times (analyse.significance)."""
from __future__ import annotations

import dataclasses
import errno
import os
import re
import stat
import statistics
import textwrap
from typing import AbstractSet, Dict, List, Mapping, Optional, Sequence, Set, Tuple

from ompsuite import study as S
from ompsuite.analyse import derive
from ompsuite.analyse.derive import study_of_journal
from ompsuite.analyse.significance import Verdict, verdict
from ompsuite.errors import SuiteError
from ompsuite.escape import markdown_cell as cell, printable
from ompsuite.export import benchjson
from ompsuite.export.tables import (TERMINAL_WIDTH, aligned, check_cell, fmt_n, fmt_time, markdown_table, numbered,
                                   team, threads_text)
from ompsuite.platform.console import wrapped
from ompsuite.platform.files import os_reason
from ompsuite.platform.machine import PROVENANCE
from ompsuite.study import Series, State, Study, Summary

STUDY_FILE = "study.json"
RESULTS_FILE = "results.json"


@dataclasses.dataclass(frozen=True)
class Compared:
    """A study as compare shows it: where it was read from and the name its columns carry."""
    path: str  # as given
    study: Study
    label: str


def not_a_study(path: str, why: str) -> SuiteError:
    return SuiteError(f"{printable(path)} is not a study folder: {why}", 2)


# -- reading -------------------------------------------------------------------------------------

def _absent(path: str) -> bool:
    """Whether path is absent; one that is there but cannot be looked at is left to the reader to say why."""
    try:
        os.lstat(path)
    except OSError as e:
        return isinstance(e, FileNotFoundError)
    return False


def read_study(path: str) -> Study:
    """The study in a folder (its study.json, else the journal of a study stopped before writing it,
    else its results.json) or in a file named itself; SuiteError in one line for none or a damaged one."""
    try:
        st = os.stat(path)
    except OSError as e:
        raise not_a_study(path, "no such folder" if e.errno == errno.ENOENT else os_reason(e)) from None
    found = None if stat.S_ISDIR(st.st_mode) else read_file(path)
    for name, read in ((STUDY_FILE, S.load), (S.JOURNAL, study_of_journal), (RESULTS_FILE, read_file)):
        if found is None and not _absent(inner := os.path.join(path, name)):
            found = read(inner)
    if found is None:
        raise not_a_study(path, f"it holds no {STUDY_FILE} (nor {RESULTS_FILE})")
    if not found.summaries:
        raise not_a_study(path, "it holds no results")
    return found


def read_file(path: str) -> Study:
    """A study.json, or a results.json, told apart by what they hold."""
    data = S.read_json(path)
    if isinstance(data, dict) and "format" not in data and "benchmarks" in data:
        return benchjson.study_of(data, path)
    return Study.from_json(data, path)


def read_studies(paths: Sequence[str]) -> List[Compared]:
    """Every study given, each named so that no two share a name (see labels). SuiteError: status
    2 for a folder given twice, 1 for one that cannot be read as a study."""
    real = [os.path.realpath(p) for p in paths]
    if (twice := next((p for i, p in enumerate(paths) if real[i] in real[:i]), None)) is not None:
        raise SuiteError(f"{printable(twice)} is given twice", 2)
    try:
        studies = [read_study(p) for p in paths]
    except SuiteError as e:
        raise SuiteError(str(e), 1) from None
    return [Compared(p, s, label) for p, s, label in zip(paths, studies, labels(paths, studies))]


def _suffix(place: str, k: int) -> str:
    """The last k parts of an absolute path; the whole path once k reaches its length."""
    parts = [p for p in place.split(os.sep) if p]
    return place if k >= len(parts) else "/".join(parts[-k:])


def labels(paths: Sequence[str], studies: Sequence[Study]) -> List[str]:
    """Each study's name: its host, or where the host appears more than once (one machine before
    and after a change) the host and the shortest end of the folder's path that no other study of
    that host shares: out, a/out and b/out become x/out, a/out and b/out."""
    full = [os.path.abspath(p) for p in paths]
    # A study.json or results.json named itself stands for its folder, unless both were given.
    places = [os.path.dirname(f) if os.path.basename(f) in (STUDY_FILE, RESULTS_FILE) and os.path.isfile(f) else f
              for f in full]
    places = [f if places.count(pl) > 1 else pl for f, pl in zip(full, places)]
    hosts = [s.fact("host") for s in studies]
    found = []
    for i, host in enumerate(hosts):
        twins = [places[j] for j, h in enumerate(hosts) if j != i and h == host]
        k = 1
        while _suffix(places[i], k) != places[i] and any(_suffix(t, k) == _suffix(places[i], k) for t in twins):
            k += 1
        where = _suffix(places[i], k)
        found.append(host if host and not twins else f"{host} ({where})" if host else where)
    return found


# -- machines side by side -----------------------------------------------------------------------

Key = Tuple[Series, str, Optional[int], Optional[int]]


def two_sizes(compared: Sequence[Compared]) -> Set[str]:
    """The programs some study ran at more than one strong-scaling size (written by hand, or merged)."""
    found: Set[str] = set()
    for c in compared:
        seen: Dict[Tuple[str, Optional[int]], int] = {}
        for s in c.study.of_series(Series.STRONG):
            if seen.setdefault((s.program, s.threads), s.problem_size) != s.problem_size:
                found.add(s.program)
    return found


def rows(study: Study, sized: AbstractSet[str] = frozenset()) -> Dict[Key, Summary]:
    """Strong-scaling rows match on program and team; the other series also on the size, which
    they vary, and so do the strong rows of a program that some study ran at two sizes."""
    found: Dict[Key, Summary] = {}
    for s in study.summaries:
        series, program, threads, n = s.key
        found.setdefault((series, program, threads, None if series is Series.STRONG and program not in sized else n), s)
    return found


def size_differences(compared: Sequence[Compared]) -> List[str]:
    """Lines naming each strong-scaling program whose problem size differs between studies."""
    sizes: Dict[str, Dict[str, Dict[int, None]]] = {}  # the sizes of each program and study, in order
    for c in compared:
        for s in c.study.of_series(Series.STRONG):
            sizes.setdefault(s.program, {}).setdefault(c.label, {})[s.problem_size] = None
    return [f"{program}: " + ", ".join(f"{' and '.join(map(str, n))} on {label}" for label, n in by.items())
            for program, by in sizes.items() if len({tuple(sorted(n)) for n in by.values()}) > 1]


def ordered_keys(compared: Sequence[Compared], sized: AbstractSet[str] = frozenset()) -> List[Key]:
    """Series with strong first, programs in the order the studies list them, teams and sizes rising."""
    keys = list(dict.fromkeys(k for c in compared for k in rows(c.study, sized)))
    series = list(dict.fromkeys([Series.STRONG, *(k[0] for k in keys)]))
    programs = list(dict.fromkeys(k[1] for k in keys))
    return sorted(keys, key=lambda k: (series.index(k[0]), programs.index(k[1]),
                                       *(-1 if x is None else x for x in k[2:])))


def fmt(value: Optional[float], pattern: str) -> str:
    return "n/a" if value is None else pattern % value


def machines_table(compared: Sequence[Compared]) -> List[str]:
    rows = []
    for c in compared:
        fact = c.study.fact
        try:
            memory = f"{int(fact('memory_bytes')) / 2**30:.1f}"
        except ValueError:
            memory = ""
        recurrence = fact("recurrence_n")
        if recurrence and fact("recurrence_build"):
            recurrence += f" ({fact('recurrence_build')})"
        level = fact("pi_level")  # older studies have none; a tuned tree's is "as built"
        made = fact("compiler") + (f"; pi: {level}" if level and level != "as built" else "")
        rows.append([c.label, fact("processor"), fact("cores"), memory, made, fact("binding"), fact("date"),
                     fact("pi_n"), recurrence or "not run", fact("repeats"), c.path])
    return markdown_table(["machine", "processor", "cores", "memory GiB", "compiler", "binding", "date", "pi N",
                           "recurrence N", "repeats", "study"], "llrrlllrrrl", rows)


def results_tables(compared: Sequence[Compared]) -> List[str]:
    """Per series, each study's median, speedup, efficiency, % of floor (where any has one) and
    the row's state; the reasons of every row not ok listed under its table."""
    lines: List[str] = []
    sized_programs = two_sizes(compared)
    keys = ordered_keys(compared, sized_programs)
    tables = [rows(c.study, sized_programs) for c in compared]
    for series in dict.fromkeys(k[0] for k in keys):
        skeys = [k for k in keys if k[0] is series]
        floor = any(t[k].pct_floor is not None for t in tables for k in skeys if k in t)
        # Strong scaling has one size a program, shown in the machines table; a study with two
        # gets the column too, so that no row hides another.
        sized = series is not Series.STRONG or bool(sized_programs)
        own = ("median", "speedup", "efficiency") + (("% of floor",) if floor else ()) + ("check",)
        head = (["program", "threads"] + (["problem size"] if sized else [])
                + [f"{c.label} {h}" for c in compared for h in own])
        align = "lr" + ("l" if sized else "") + ("r" * (len(own) - 1) + "l") * len(compared)
        title = "Strong scaling (fixed problem size)" if series is Series.STRONG else f"Series: {series.value}"
        body, reasons = [], []
        for k in skeys:
            row = [k[1], team(k[2])] + ([str(k[3] or "")] if sized else [])
            for c, t in zip(compared, tables):
                if (s := t.get(k)) is None:
                    row += ["—"] * len(own)
                    continue
                row += ["n/a" if s.median_s is None else fmt_time(s.median_s), fmt(s.speedup, "%.2f"),
                        fmt(s.efficiency, "%.2f")] + ([fmt(s.pct_floor, "%.1f")] if floor else []) + [s.state.value]
                if s.state is not State.OK:
                    reasons.append(f"- {k[1]} {threads_text(k[2])}, {c.label}: {check_cell(s)}")
            body.append(row)
        lines += [f"## {cell(title)}", "", *markdown_table(head, align, body), ""]
        lines += [cell(r) for r in reasons] + ([""] if reasons else [])
    return lines


def incomplete(study: Study) -> Optional[str]:
    return None if study.completed else (study.stopped or "it stopped early")


def provenance_lines(compared: Sequence[Compared]) -> List[str]:
    """Where the studies' programs and tools came from, where they differ: a short Markdown block."""
    digests = [dict(v.partition("=")[::2] for v in c.study.fact(PROVENANCE[-1]).split()) for c in compared]
    facts = [(key, [c.study.fact(key, "unknown") for c in compared]) for key in PROVENANCE[:-1]]
    facts += [(name, [d.get(name, "absent") for d in digests]) for name in sorted({n for d in digests for n in d})]
    lines = [f"- {cell(name)}: " + ", ".join(f"{cell(c.label)} {cell(_short(v))}" for c, v in zip(compared, values))
             for name, values in facts if len(set(values)) > 1]
    return ["## Programs and tools that differ", ""] + lines + [""] if lines else []


def _short(text: str) -> str:
    """A text with each SHA (a commit's, a digest) cut to 12 digits, enough to tell them apart."""
    return re.sub(r"\b([0-9a-f]{12})[0-9a-f]{28,52}\b", r"\1", text)


def document(compared: Sequence[Compared]) -> Tuple[List[str], List[str]]:
    """The Markdown of the comparison and the lines about differing sizes."""
    differences = size_differences(compared)
    lines = ["# Machines side by side", ""] + machines_table(compared) + [""]
    if differences:
        lines += ["**Different problem sizes:** the studies did not run the same problems, so their times are "
                  "not comparable (speedup and efficiency are each machine's own):", ""]
        lines += [f"- {cell(d)}" for d in differences] + [""]
    return lines + provenance_lines(compared) + results_tables(compared), differences


# -- before against after ------------------------------------------------------------------------

Sample = Tuple[Series, str, Optional[int], int]


def samples(study: Study) -> Dict[Sample, List[float]]:
    """The times of each configuration's clean runs, in the order they ran: what a verdict compares."""
    found: Dict[Sample, List[float]] = {}
    for r in study.runs:
        if r.series is not Series.CHECK and r.clean and r.time_s is not None:
            found.setdefault((r.series, r.program, r.threads, r.problem_size), []).append(r.time_s)
    return found


VERDICT_FIELDS = ("before", "after", "series", "program", "threads", "problem_size", "runs_before", "runs_after",
                  "ratio", "ratio_low", "ratio_high", "p", "tolerance", "verdict", "note", "check_before",
                  "check_after")


@dataclasses.dataclass(frozen=True)
class VerdictRow:
    """One configuration both studies ran, how the later one compares, and each side's check."""
    before: str
    after: str
    series: Series
    program: str
    threads: Optional[int]
    problem_size: int
    runs_before: int
    runs_after: int
    verdict: Verdict
    tolerance: float
    checks: Tuple[Summary, Summary]

    def cells(self) -> List[str]:
        """The row of verdicts.csv (VERDICT_FIELDS)."""
        v = self.verdict
        low, high = (f"{x:.6g}" for x in v.interval) if v.interval else ("", "")
        return [self.before, self.after, self.series.value, self.program, team(self.threads), str(self.problem_size),
                str(self.runs_before), str(self.runs_after), f"{v.ratio:.6g}", low, high, f"{v.p:.6g}",
                f"{self.tolerance:.6g}", v.label, v.note, *(check_cell(s) for s in self.checks)]

    @property
    def check(self) -> str:
        """Both sides' states in a word each, one where they agree."""
        return "/".join(dict.fromkeys(s.state.value for s in self.checks))


def _why_not(c: Compared, s: Optional[Summary], times: Sequence[float]) -> Optional[str]:
    """Why a configuration of one side gets no verdict, or None."""
    if s is None:
        return f"not in {c.label}"
    if s.state is State.FAILED:
        return f"FAIL in {c.label}: {s.check.reason}"
    if not times:
        return f"no clean runs in {c.label}" + (f": {s.untrusted}" if s.untrusted else "")
    return None if min(times) > 0 else f"a time of 0 in {c.label}"


def verdicts(before: Compared, after: Compared, noise: float = 0.02, alpha: float = 0.05,
             tolerance: Mapping[Sample, float] = {}) -> Tuple[List[VerdictRow], List[str]]:
    """A verdict for every configuration both studies ran with clean runs and no failed check
    (tolerance: a noise band of its own for a configuration, a reference's), in the order the
    first, then the second, has them; and a line for every other one, saying why it has none."""
    sides = [(c, {s.key: s for s in c.study.summaries}, samples(c.study)) for c in (before, after)]
    found, left = [], []
    for key in dict.fromkeys(k for _, rows, _ in sides for k in rows):
        why = next(filter(None, (_why_not(c, rows.get(key), times.get(key, [])) for c, rows, times in sides)), None)
        if why is not None:
            left.append(f"{config_text(key)}: {why}")
            continue
        (_, ra, ta), (_, rb, tb) = sides
        band = tolerance.get(key, noise)
        found.append(VerdictRow(before.label, after.label, *key, len(ta[key]), len(tb[key]),
                                verdict(ta[key], tb[key], alpha=alpha, noise=band), band, (ra[key], rb[key])))
    return found, left


def config_text(key: Sample) -> str:
    series, program, threads, n = key
    return (f"{printable(program, 30)} {threads_text(threads)} N={fmt_n(n)}"
            + ("" if series is Series.STRONG else f" ({series.value})"))


def verdict_lines(before: Compared, after: Compared, found: Sequence[VerdictRow], left: Sequence[str],
                  noise: float, alpha: float) -> List[str]:
    """The before/after section: per configuration, the ratio of medians with its interval, the
    rank test's p, the verdict and both sides' checks; then what got no verdict, and why."""
    lines = [f"## {cell(after.label)} against {cell(before.label)}", "",
             f"Ratio: median after / median before (below 1 is faster), with its 95% bootstrap interval; p: "
             f"two-sided Mann–Whitney U on the clean runs; a change counts when p < {alpha} and it is beyond the "
             f"tolerance ({noise:.0%} unless the row says otherwise). Check: before/after.", ""]
    rows = []
    for r in found:
        v = r.verdict
        interval = f"{v.interval[0]:.3f}–{v.interval[1]:.3f}" if v.interval else "n too small"
        rows.append((r.series.value, r.program, team(r.threads), r.problem_size, f"{r.runs_before} / {r.runs_after}",
                     f"{v.ratio:.3f}", interval, f"{v.p:.3g}", f"{r.tolerance:.0%}", v.label, r.check, v.note))
    lines += markdown_table(["series", "program", "threads", "N", "runs", "ratio", "95% interval", "p", "tolerance",
                             "verdict", "check", "note"], "llrrrrlrrlll", rows)
    return lines + [""] + (["No verdict:", ""] + [f"- {cell(line)}" for line in left] + [""] if left else [])


def terminal_lines(before: Compared, after: Compared, found: Sequence[VerdictRow], left: Sequence[str],
                   reference: bool = False) -> List[str]:
    """The before/after section for a terminal, 100 columns at most: a row per verdict with both
    medians, each side's check and a numbered note for a row not ok (against a reference, ~
    reads within, beside the row's band); then what got no verdict."""
    out = textwrap.wrap(f"{printable(after.label)} against {printable(before.label)} (ratio: median after / "
                        "before; the full table is in compare.md):", TERMINAL_WIDTH)
    head = ("program", "T", "N", "before", "after", "ratio", "verdict", "check") + (("band",) if reference else ())
    cells: List[Tuple[str, ...]] = []
    notes: List[str] = []
    for r in found:
        key = (r.series, r.program, r.threads, r.problem_size)
        mark = numbered(notes, [f"{config_text(key)}, {printable(c.label)}: {check_cell(s)}"
                                for c, s in zip((before, after), r.checks) if s.state is not State.OK])
        program = r.program if r.series is Series.STRONG else f"{r.program} ({r.series.value})"
        cells.append((printable(program), team(r.threads), fmt_n(r.problem_size),
                      *(fmt_time(s.median_s) for s in r.checks), f"{r.verdict.ratio:.3f}",
                      "within" if reference and r.verdict.label == "~" else r.verdict.label, r.check + mark)
                     + ((f"{r.tolerance:.0%}",) if reference else ()))
    widths = [max(len(x[i]) for x in [head, *cells]) for i in range(len(head))]
    # A long name gives way, so that a row fits; the full name is in compare.md.
    name = max(len(head[0]), widths[0] - max(0, sum(widths) + 2 * (len(widths) - 1) - TERMINAL_WIDTH))
    out += aligned([head, *((printable(c[0], name), *c[1:]) for c in cells)],
                   [i not in (0, 6, 7) for i in range(len(head))])
    if not found:
        out.append("(no configuration got a verdict)")
    for text in [f"[{n}] {note}" for n, note in enumerate(notes, 1)] + [f"no verdict: {line}" for line in left]:
        out += wrapped(text).split("\n")
    return out


def false_positive_line(found: Sequence[VerdictRow]) -> str:
    """A/A: both studies ran one build on one machine, so every verdict other than ~ is noise.
    Only configurations with runs enough to reach significance count: for the others ~ is no
    evidence of anything."""
    counted = [r for r in found if r.verdict.reachable]
    called = [r for r in counted if r.verdict.label != "~"]
    left = len(found) - len(counted)
    left_out = f"; {left} left out, with too few runs to reach significance" if left else ""
    if not counted:
        return f"A/A: no configuration has runs enough to reach significance{left_out}: run more --repeats"
    return (f"A/A: {len(called)} of {len(counted)} configuration{'' if len(counted) == 1 else 's'} called a change "
            f"({100 * len(called) / len(counted):.0f}% false positives){left_out}")


# -- a node's reference --------------------------------------------------------------------------

TOLERANCE = "tolerance "  # a reference's fact: TOLERANCE + "SERIES PROGRAM THREADS N", the fraction


def tolerances(study: Study) -> Dict[Sample, float]:
    """The tolerance a reference gives each configuration; SuiteError (status 1) for one that
    is no fraction of at least 0 or names no configuration."""
    found: Dict[Sample, float] = {}
    for k, v in study.machine:
        if not k.startswith(TOLERANCE):
            continue
        try:
            series, rest = k[len(TOLERANCE):].split(" ", 1)
            program, threads, n = rest.rsplit(" ", 2)
            found[(Series(series), program, None if threads == "?" else int(threads), int(n))] = tolerance = float(v)
            if not 0 <= tolerance < float("inf"):
                raise ValueError(v)
        except ValueError:
            raise SuiteError(f"the reference's fact {printable(k, 60)} = {printable(v, 20)} is no "
                             "'tolerance SERIES PROGRAM THREADS N' = FRACTION", 1) from None
    return found


def reference(compared: Sequence[Compared], noise: float) -> Study:
    """One node type's reference from its studies: the first one's machine and variants, every
    clean timed run of all of them, and per configuration a tolerance (docs/cluster.md)."""
    first = compared[0].study
    known = {p.name for p in first.catalogue}  # a variant only a later study ran is left out
    runs = [dataclasses.replace(r, repeat=k) for k, r in enumerate(
        (r for c in compared for r in c.study.runs if r.series is not Series.CHECK and r.clean
         and r.program in known), 1)]
    medians: Dict[Sample, List[float]] = {}
    for c in compared:
        for key, times in samples(c.study).items():
            if key[1] in known:
                medians.setdefault(key, []).append(statistics.median(times))
    spread = {key: max(noise, max(m) / min(m) - 1) for key, m in medians.items() if min(m) > 0}
    facts = [(k, v) for k, v in first.machine if not k.startswith(TOLERANCE)]
    facts += [("reference", f"{len(compared)} studies: " + ", ".join(c.label for c in compared))]
    facts += [(f"{TOLERANCE}{k[0].value} {k[1]} {team(k[2])} {k[3]}", f"{t:.4f}") for k, t in spread.items()]
    return derive.rederived(Study(tuple(facts), first.catalogue, tuple(runs)))

"""Machines side by side, and before against after: several studies in one Markdown document.

A study is its folder's study.json (or that file named itself). A folder written by the previous
version has none; its results.json (the micro-benchmark library's format with the suite's own
fields) stands in, read only as far as compare needs: the machine's facts and every run, from
which the medians, speedups and efficiencies compare shows are derived here.

Per series, program and team, each study gets its median time, speedup, efficiency and, where it
has one, the percentage of its floor. Strong-scaling rows are matched on program and team alone,
so studies made with different problem sizes still line up; that case is reported, because their
times are then not comparable. Every later study is then judged against the first, configuration
by configuration, on the clean runs' times (analyse.significance).
"""
from __future__ import annotations

import dataclasses
import errno
import os
import stat
import statistics
from typing import AbstractSet, Any, Dict, Iterable, List, Optional, Sequence, Set, Tuple

from ompsuite import catalogue as C
from ompsuite import study as S
from ompsuite.analyse.significance import Verdict, verdict
from ompsuite.errors import SuiteError
from ompsuite.escape import markdown_cell as cell, printable
from ompsuite.export.tables import fmt_time
from ompsuite.platform.files import os_reason
from ompsuite.study import Flag, Mark, Run, Series, Study, Summary

STUDY_FILE = "study.json"
RESULTS_FILE = "results.json"  # what the previous version left instead


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
    except FileNotFoundError:
        return True
    except OSError:
        pass
    return False


def read_study(path: str) -> Study:
    """The study in a folder (its study.json, else an earlier version's results.json) or in a file
    named itself; SuiteError status 2 in one line when there is none or it is damaged."""
    try:
        st = os.stat(path)
    except OSError as e:
        raise not_a_study(path, "no such folder" if e.errno == errno.ENOENT else os_reason(e)) from None
    if stat.S_ISDIR(st.st_mode):
        if not _absent(os.path.join(path, STUDY_FILE)):
            found = S.load(os.path.join(path, STUDY_FILE))
        elif not _absent(os.path.join(path, RESULTS_FILE)):
            found = read_file(os.path.join(path, RESULTS_FILE))
        else:
            raise not_a_study(path, f"it holds no {STUDY_FILE} (nor the {RESULTS_FILE} of an earlier version)")
    else:
        found = read_file(path)
    if not found.summaries:
        raise not_a_study(path, "it holds no results")
    return found


def read_file(path: str) -> Study:
    """A study.json, or a results.json of the previous version, told apart by what they hold."""
    data = S.read_json(path)
    if isinstance(data, dict) and "format" not in data and "benchmarks" in data:
        return study_of_results(data, path)
    return Study.from_json(data, path)


_SUITE = {p.name for p in C.SUITE}
_PREFIX = "ompsuite_"


def study_of_results(doc: Dict[str, Any], path: str) -> Study:
    """A study from the previous version's results.json: the machine's facts from the context,
    one run per iteration entry (the suite's own fields), and the summaries compare shows. The
    runs are handed to the study's own reader in its JSON form, so they are checked as strictly."""
    context = doc.get("context")
    if not isinstance(context, dict) or not isinstance(doc["benchmarks"], list):
        raise SuiteError(f"{printable(path)}: not a benchmark results document (no context and benchmarks)", 2)
    if context.get(_PREFIX + "schema") != 1:
        raise SuiteError(f"{printable(path)}: not a results file this suite wrote (no {_PREFIX}schema 1)", 2)
    machine = context.get(_PREFIX + "machine")
    facts = {str(k): str(v) for k, v in (machine.items() if isinstance(machine, dict) else ())
             if isinstance(v, (str, int, float)) and not isinstance(v, bool)}
    paths = {name: rest.rpartition(":")[0] or rest
             for name, _, rest in (v.partition("=") for v in facts.get("variants", "").split())}
    runs, variants = [], {}
    for e in doc["benchmarks"]:
        run = _run_of_entry(e)
        if run is None:
            continue
        program, kind = run["program"], e.get(_PREFIX + "extra_kind")
        if isinstance(program, str) and program not in _SUITE and isinstance(kind, str):
            variants[program] = {"name": program, "path": paths.get(program, program), "kind": kind}
        runs.append(run)
    done = facts.get("completed", "yes")
    study = Study.from_json({"format": S.FORMAT, "machine": [list(p) for p in facts.items()],
                             "variants": list(variants.values()), "runs": runs, "completed": done == "yes",
                             "stopped": "" if done == "yes" else done.removeprefix("no: ")}, path)
    return dataclasses.replace(study, summaries=summarise(study.runs))


def _run_of_entry(e: Any) -> Optional[Dict[str, Any]]:
    """A run in the study's JSON form from one entry of a results.json; None for the library's
    aggregates (derived again here) and the team report (no size: nothing timed)."""
    if not isinstance(e, dict) or e.get("run_type") != "iteration" or e.get(_PREFIX + "problem_size") is None:
        return None
    run = {k: e.get(_PREFIX + k) for k in ("series", "program", "problem_size", "repeat", "time_s")}
    check = e.get(_PREFIX + "check")
    if isinstance(check, str):
        check = None if check == "ok" else check.removeprefix("FAIL: ")
    # A team of 0 stood for the runtime's default team asked, or a team no one reported.
    run.update(threads_requested=e.get(_PREFIX + "threads_requested") or None,
               threads=e.get(_PREFIX + "threads") or None, result=e.get(_PREFIX + "result") or "", check=check,
               disturbed=e.get(_PREFIX + "disturbed") or "")
    return run


def summarise(runs: Iterable[Run]) -> Tuple[Summary, ...]:
    """What compare shows of each timed configuration, from its runs: how many ran, the median
    of the clean ones, the speedup over its baseline's median at one thread and the same N, the
    efficiency where the team is known, and a failed check."""
    groups: Dict[Tuple[Series, str, Optional[int], int], List[Run]] = {}
    for r in runs:
        if r.series is not Series.CHECK and r.entry is not None and r.entry.kind.timed:
            groups.setdefault((r.series, r.program, r.threads, r.problem_size), []).append(r)
    medians = {}
    for key, rs in groups.items():
        times = [r.time_s for r in rs if r.clean and r.time_s is not None]
        if times:
            medians[key] = statistics.median(times)
    found = []
    for key, rs in groups.items():
        series, program, threads, n = key
        entry = rs[0].program_entry
        median, base = medians.get(key), medians.get((series, entry.baseline or program, 1, n))
        speedup = base / median if base and median else None
        failed = [r for r in rs if not r.check.ok]
        marks = (Mark(Flag.FAILED, f"{len(failed)} of {len(rs)} runs: {failed[0].check.reason}"),) if failed else ()
        found.append(Summary(series, program, threads, n, asked=tuple(sorted({r.threads_requested for r in rs},
                                                                             key=_team_order)),
                             runs=len(rs), median_s=median, speedup=speedup,
                             efficiency=speedup / threads if speedup is not None and threads else None,
                             marks=marks, entry=entry))
    return tuple(found)


def read_studies(paths: Sequence[str]) -> List[Compared]:
    """Every study given, each named so that no two share a name (see labels)."""
    seen = set()
    for p in paths:
        real = os.path.realpath(p)
        if real in seen:
            raise SuiteError(f"{printable(p)} is given twice", 2)
        seen.add(real)
    studies = [read_study(p) for p in paths]
    return [Compared(p, s, label) for p, s, label in zip(paths, studies, labels(paths, studies))]


def _place(path: str) -> str:
    """The folder a study was read from: a study.json or results.json named itself stands for its folder."""
    full = os.path.abspath(path)
    folder, name = os.path.split(full)
    return folder if name in (STUDY_FILE, RESULTS_FILE) and os.path.isfile(full) else full


def _suffix(place: str, k: int) -> str:
    """The last k parts of an absolute path; the whole path once k reaches its length."""
    parts = [p for p in place.split(os.sep) if p]
    return place if k >= len(parts) else "/".join(parts[-k:])


def labels(paths: Sequence[str], studies: Sequence[Study]) -> List[str]:
    """Each study's name: its host, or where the host appears more than once (one machine before
    and after a change) the host and the shortest end of the folder's path that no other study of
    that host shares: out, a/out and b/out become x/out, a/out and b/out."""
    places = [_place(p) for p in paths]
    places = [os.path.abspath(p) if places.count(pl) > 1 else pl for p, pl in zip(paths, places)]
    hosts = [s.fact("host") for s in studies]
    found = []
    for i, host in enumerate(hosts):
        twins = [places[j] for j, h in enumerate(hosts) if j != i and h == host]
        if host and not twins:
            found.append(host)
            continue
        k = 1
        while _suffix(places[i], k) != places[i] and any(_suffix(t, k) == _suffix(places[i], k) for t in twins):
            k += 1
        where = _suffix(places[i], k)
        found.append(f"{host} ({where})" if host else where)
    return found


# -- machines side by side -----------------------------------------------------------------------

Key = Tuple[Series, str, Optional[int], Optional[int]]


def table_key(s: Summary, sized: AbstractSet[str] = frozenset()) -> Key:
    """Strong-scaling rows match on program and team; the other series also on the size, which
    they vary, and so do the strong rows of a program that some study ran at two sizes."""
    series, program, threads, n = s.key
    return series, program, threads, None if series is Series.STRONG and program not in sized else n


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
    found: Dict[Key, Summary] = {}
    for s in study.summaries:
        found.setdefault(table_key(s, sized), s)
    return found


def _team_order(threads: Optional[int]) -> int:
    return -1 if threads is None else threads


def team(threads: Optional[int]) -> str:
    """A team as the tables show it; an unknown one is never shown as a number."""
    return "?" if threads is None else str(threads)


def size_differences(compared: Sequence[Compared]) -> List[str]:
    """Lines naming each strong-scaling program whose problem size differs between studies."""
    sizes: Dict[str, Dict[str, List[int]]] = {}
    for c in compared:
        for s in c.study.of_series(Series.STRONG):
            found = sizes.setdefault(s.program, {}).setdefault(c.label, [])
            if s.problem_size not in found:
                found.append(s.problem_size)
    return [f"{program}: " + ", ".join(f"{' and '.join(map(str, n))} on {label}" for label, n in by.items())
            for program, by in sizes.items() if len({tuple(sorted(n)) for n in by.values()}) > 1]


def ordered_keys(compared: Sequence[Compared], sized: AbstractSet[str] = frozenset()) -> List[Key]:
    """Series with strong first, programs in the order the studies list them, teams and sizes rising."""
    series, programs, keys = [Series.STRONG], [], []
    for c in compared:
        for k in rows(c.study, sized):
            if k[0] not in series:
                series.append(k[0])
            if k[1] not in programs:
                programs.append(k[1])
            if k not in keys:
                keys.append(k)
    return sorted(keys, key=lambda k: (series.index(k[0]), programs.index(k[1]), _team_order(k[2]),
                                       _team_order(k[3])))


def fmt(value: Optional[float], pattern: str) -> str:
    return "n/a" if value is None else pattern % value


def machines_table(compared: Sequence[Compared]) -> List[str]:
    lines = ["| machine | processor | cores | memory GiB | compiler | binding | date | pi N | recurrence N | repeats "
             "| study |", "|---|---|---:|---:|---|---|---|---:|---:|---:|---|"]
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
        values = [c.label, fact("processor"), fact("cores"), memory, made, fact("binding"), fact("date"),
                  fact("pi_n"), recurrence or "not run", fact("repeats"), c.path]
        lines.append("| " + " | ".join(cell(v) for v in values) + " |")
    return lines


def results_tables(compared: Sequence[Compared]) -> List[str]:
    lines, failed = [], False
    sized_programs = two_sizes(compared)
    keys = ordered_keys(compared, sized_programs)
    tables = [rows(c.study, sized_programs) for c in compared]
    for series in dict.fromkeys(k[0] for k in keys):
        skeys = [k for k in keys if k[0] is series]
        floor = any(t[k].pct_floor is not None for t in tables for k in skeys if k in t)
        # Strong scaling has one size a program, shown in the machines table; a study with two
        # gets the column too, so that no row hides another.
        sized = series is not Series.STRONG or bool(sized_programs)
        head = ["program", "threads"] + (["problem size"] if sized else [])
        align = ["---", "---:"] + (["---"] if sized else [])
        for c in compared:
            head += [f"{c.label} median", f"{c.label} speedup", f"{c.label} efficiency"]
            align += ["---:"] * 3
            if floor:
                head.append(f"{c.label} % of floor")
                align.append("---:")
        title = "Strong scaling (fixed problem size)" if series is Series.STRONG else f"Series: {series.value}"
        lines += [f"## {cell(title)}", "", "| " + " | ".join(cell(h) for h in head) + " |",
                  "|" + "|".join(align) + "|"]
        for k in skeys:
            row = [k[1], team(k[2])] + ([str(k[3] or "")] if sized else [])
            for t in tables:
                s = t.get(k)
                if s is None:
                    row += ["—"] * (4 if floor else 3)
                    continue
                median = "n/a" if s.median_s is None else fmt_time(s.median_s)
                if not s.check.ok:
                    median += " FAIL"
                    failed = True
                row += [median, fmt(s.speedup, "%.2f"), fmt(s.efficiency, "%.2f")]
                if floor:
                    row.append(fmt(s.pct_floor, "%.1f"))
            lines.append("| " + " | ".join(cell(v) for v in row) + " |")
        lines.append("")
    if failed:
        lines += ["FAIL: that run's result failed the study's check; see the study's summary.csv.", ""]
    return lines


def incomplete(study: Study) -> Optional[str]:
    """Why a study stopped early, or None when it finished."""
    return None if study.completed else (study.stopped or "it stopped early")


def document(compared: Sequence[Compared]) -> Tuple[List[str], List[str]]:
    """The Markdown of the comparison and the lines about differing sizes."""
    differences = size_differences(compared)
    lines = ["# Machines side by side", ""] + machines_table(compared) + [""]
    if differences:
        lines += ["**Different problem sizes:** the studies did not run the same problems, so their times are "
                  "not comparable (speedup and efficiency are each machine's own):", ""]
        lines += [f"- {cell(d)}" for d in differences] + [""]
    return lines + results_tables(compared), differences


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
                  "ratio", "ratio_low", "ratio_high", "p", "verdict", "note")


@dataclasses.dataclass(frozen=True)
class VerdictRow:
    """One configuration both studies ran, and how the later one compares."""
    before: str
    after: str
    series: Series
    program: str
    threads: Optional[int]
    problem_size: int
    runs_before: int
    runs_after: int
    verdict: Verdict

    def cells(self) -> List[str]:
        """The row of verdicts.csv (VERDICT_FIELDS)."""
        v = self.verdict
        low, high = (f"{x:.6g}" for x in v.interval) if v.interval else ("", "")
        return [self.before, self.after, self.series.value, self.program, team(self.threads), str(self.problem_size),
                str(self.runs_before), str(self.runs_after), f"{v.ratio:.6g}", low, high, f"{v.p:.6g}", v.label,
                v.note]


def verdicts(before: Compared, after: Compared, noise: float = 0.02, alpha: float = 0.05) -> List[VerdictRow]:
    """A verdict for every configuration both studies ran with clean runs, in the order the first ran them."""
    a, b = samples(before.study), samples(after.study)
    found = []
    for key, times in a.items():
        if key in b and all(t > 0 for t in times + b[key]):
            found.append(VerdictRow(before.label, after.label, *key, len(times), len(b[key]),
                                    verdict(times, b[key], alpha=alpha, noise=noise)))
    return found


def verdict_lines(before: Compared, after: Compared, found: Sequence[VerdictRow], noise: float,
                  alpha: float) -> List[str]:
    """The before/after section: per configuration, the ratio of medians with its interval, the
    rank test's p and the verdict."""
    lines = [f"## {cell(after.label)} against {cell(before.label)}", "",
             f"Ratio: median after / median before (below 1 is faster), with its 95% bootstrap interval; p: "
             f"two-sided Mann–Whitney U on the clean runs; a change counts when p < {alpha} and it is more than "
             f"{noise:.0%}.", "",
             "| series | program | threads | N | runs | ratio | 95% interval | p | verdict | note |",
             "|---|---|---:|---:|---:|---:|---|---:|---|---|"]
    for r in found:
        v = r.verdict
        interval = f"{v.interval[0]:.3f}–{v.interval[1]:.3f}" if v.interval else "n too small"
        lines.append("| " + " | ".join(cell(x) for x in (
            r.series.value, r.program, team(r.threads), r.problem_size, f"{r.runs_before} / {r.runs_after}",
            f"{v.ratio:.3f}", interval, f"{v.p:.3g}", v.label, v.note)) + " |")
    if not found:
        lines.append(f"| | ({why_none(before, after)}) | | | | | | | | |")
    return lines + [""]


def why_none(before: Compared, after: Compared) -> str:
    """Why two studies have no verdict: a study without one clean run (a busy machine's), no
    configuration that both ran, or none that both ran with clean runs."""
    for c in (before, after):
        if not samples(c.study):
            return f"no clean runs in {c.label}: every timed run was disturbed or failed"

    def configs(study: Study) -> Set[Sample]:
        return {(r.series, r.program, r.threads, r.problem_size) for r in study.runs if r.series is not Series.CHECK}
    if configs(before.study) & configs(after.study):
        return "no configuration with clean runs in both studies"
    return "no configuration in common"


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

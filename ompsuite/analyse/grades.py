"""A class's grades: a rubric's points for each criterion of each variant (docs/class.md), each
with its reason, and the pairs of sources that are nearly one (said, never marked down)."""
from __future__ import annotations

import contextlib
import dataclasses
import difflib
import importlib
import itertools
import re
from typing import Any, Dict, List, NamedTuple, Optional, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse.diagnose import why_wrong
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.platform import files
from ompsuite.study import Flag, Series, State, Study

CRITERIA = ("builds", "correct", "race_free", "team", "performance")
MEASURES = ("efficiency", "speedup", "best", "suite")
TEAM_IGNORED = "ignores the team asked for"  # how validate words a run whose team is not the one asked
NEAR_COPY = 0.95  # token sequences this alike are said to be one submission


@dataclasses.dataclass(frozen=True)
class Rubric:
    points: Tuple[Tuple[str, float], ...] = (("builds", 10.0), ("correct", 40.0), ("race_free", 20.0),
                                             ("team", 10.0), ("performance", 20.0))
    measure: str = "efficiency"
    threads: Optional[int] = None
    table: Tuple[Tuple[float, float], ...] = ((0.5, 20.0), (0.375, 15.0), (0.25, 10.0), (0.125, 5.0))
    at_least: float = 1.5

    def of(self, criterion: str) -> float:
        return dict(self.points)[criterion]


DEFAULT = Rubric()


def _number(value: Any, where: str) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not 0 <= value < 1e6:
        raise ValueError(f"{where} is not a number from 0 up")
    return float(value)


def parse_rubric(d: Dict[str, Any]) -> Rubric:
    """A Rubric of a TOML document's table; ValueError naming the first fault."""
    perf = d.get("performance", {})
    unknown = set(d) - set(CRITERIA) or (set(perf) - {"points", "measure", "threads", "table", "at_least"}
                                         if isinstance(perf, dict) else {"performance"})
    if unknown:
        raise ValueError(f"unknown key {sorted(unknown)[0]} (the keys are in docs/class.md)")
    points = {c: _number(d.get(c, DEFAULT.of(c)), c) for c in CRITERIA[:-1]}
    points["performance"] = _number(perf.get("points", DEFAULT.of("performance")), "performance.points")
    measure = perf.get("measure", DEFAULT.measure)
    if measure not in MEASURES:
        raise ValueError(f"performance.measure is none of {', '.join(MEASURES)}")
    threads = perf.get("threads")
    if threads is not None and (isinstance(threads, bool) or not isinstance(threads, int) or threads < 1):
        raise ValueError("performance.threads is not a team size")
    if (table := perf.get("table")) is None:  # the default table scaled to the performance points
        rows = tuple((e, p * points["performance"] / DEFAULT.of("performance")) for e, p in DEFAULT.table)
    elif not isinstance(table, list) or not all(isinstance(r, list) and len(r) == 2 for r in table):
        raise ValueError("performance.table is not a list of [efficiency, points] pairs")
    else:
        rows = tuple(sorted(((_number(e, "an efficiency"), _number(p, "points")) for e, p in table), reverse=True))
    return Rubric(tuple(points.items()), measure, threads, rows,
                  _number(perf.get("at_least", DEFAULT.at_least), "performance.at_least"))


def load_rubric(path: str) -> Rubric:
    """--rubric FILE; SuiteError (status 2) in one line when it cannot be read or is no rubric."""
    try:
        toml: Any = importlib.import_module("tomllib")
    except ImportError:
        raise SuiteError("--rubric needs Python 3.11 or later (its tomllib reads TOML)", 2) from None
    try:
        return parse_rubric(toml.loads(files.read_text(path, 1 << 20)))
    except ValueError as e:  # TOML's own errors are ValueErrors too
        raise SuiteError(f"{printable(path)}: not a rubric: {printable(e, 120)}", 2) from None


class Score(NamedTuple):
    criterion: str
    points: float
    max_points: float
    output: str


class Grade(NamedTuple):
    program: str
    scores: Tuple[Score, ...]
    diagnosis: str
    speedups: Tuple[Tuple[int, float], ...]  # (team obtained, speedup) of its trusted rows
    total: float
    max_total: float


def _performance(study: Study, rubric: Rubric, entry: C.Program, correct: Sequence[str]) -> Score:
    points = rubric.of("performance")
    strong = study.of_series(Series.STRONG)
    rows = [s for s in strong if s.program == entry.name and s.threads]
    team = rubric.threads or max((s.threads or 0 for s in rows), default=0)
    mine = next((s for s in rows if s.threads == team), None)

    def none(why: str) -> Score:
        return Score("performance", 0.0, points, f"no performance points: {why}")
    if entry.name not in correct:
        return none("it is not correct")
    if mine is None or not team:
        return none(f"no time at {team} threads")
    if mine.state is not State.OK or mine.median_s is None:
        why = "; ".join(str(m) for m in mine.marks if m.flag in (Flag.FAILED, Flag.IMPOSSIBLE, Flag.BELOW_FLOOR,
                                                                  Flag.UNTRUSTED))
        return none(f"its time at {team} threads is not to be trusted ({why or 'no clean run'})")
    speedup = mine.speedup or 0.0
    said = f"speedup {speedup:.2f} at {team} threads, efficiency {speedup / team:.0%}"
    if rubric.measure == "efficiency":
        got = next((p for e, p in rubric.table if speedup / team >= e), 0.0)
    elif rubric.measure == "speedup":
        got = points if speedup >= rubric.at_least else 0.0
        said += f" (all points from {rubric.at_least:g})"
    else:  # a share of the best time at this team: the class's correct programs', or the suite's
        pool = [s.median_s for s in strong if s.threads == team and s.state is State.OK and s.median_s and (
            s.program in correct if rubric.measure == "best" else
            s.entry is not None and not s.entry.variant and s.entry.parallel and s.entry.kind is entry.kind)]
        if not pool:
            return none(f"no {rubric.measure} time at {team} threads to compare with")
        share = min(min(pool) / mine.median_s, 1.0)
        got = points * share
        said += f", {share:.0%} of the {'class' if rubric.measure == 'best' else 'suite'}'s best time"
    return Score("performance", round(min(got, points), 2), points, said)


def grade(study: Study, rubric: Rubric = DEFAULT) -> List[Grade]:
    """Every pi variant's grade, in the catalogue's order (the criteria are a pi program's)."""
    pi = [e for e in study.catalogue.variants() if e.kind is C.PI]
    correct = [e.name for e in pi if _correct(study, e.name)]
    return [_grade(study, rubric, e, correct) for e in pi]


def _correct(study: Study, name: str) -> bool:
    """It ran at the check sizes, every run printed a pi for the N asked, each right for that N,
    and none failed the comparison with the serial program."""
    runs = [r for r in study.runs if r.program == name]
    return any(r.series is Series.CHECK for r in runs) and \
        all(r.result and r.printed_n == r.problem_size and not r.check.reason.startswith("pi = ") for r in runs) and \
        not why_wrong([(r.result, r.problem_size, r.threads) for r in runs])


def _grade(study: Study, rubric: Rubric, entry: C.Program, names: Sequence[str]) -> Grade:
    build = entry.build or C.Build()
    runs = [r for r in study.runs if r.program == entry.name]
    correct = entry.name in names
    wrong = why_wrong([(r.result, r.problem_size, r.threads) for r in runs if r.printed_n == r.problem_size])
    failed = next((r.check.reason for r in runs if not r.check.ok and r.check.reason != build.failure
                   and (r.printed_n != r.problem_size or r.check.reason.startswith("pi = "))), "")
    team_fault = next((r.check.reason for r in runs if r.check.reason.startswith(TEAM_IGNORED)), "")
    said = {"builds": build.failure if build.error else f"built from {build.source}" if build.from_source
            else "a binary: how it was built is unknown",
            "correct": "right at every size" if correct else "never run: it does not compile" if build.error
            else wrong or failed or ("never printed a right pi" if any(r.series is Series.CHECK for r in runs)
                                     else "not run at the check sizes"),
            "race_free": {C.Race.FREE: "ThreadSanitizer with Archer saw no race",
                          C.Race.FOUND: "; ".join(build.race_detail) or "data race"}.get(
                              build.race, "; ".join((f"race check {build.race.value}", *build.race_detail,
                                                     "no points without it"))),
            "team": team_fault or ("ran the team it was asked for" if any(r.result for r in runs)
                                   else "never ran to its end")}
    earned = {"builds": not build.error, "correct": correct, "race_free": build.race is C.Race.FREE,
              "team": said["team"].startswith("ran the team")}
    # A reason may quote what a program or its compiler printed: one line, no terminal controls.
    scores = [Score(c, rubric.of(c) * earned[c], rubric.of(c), printable(said[c], 500)) for c in CRITERIA[:-1]]
    scores.append(_performance(study, rubric, entry, names))
    lost = [s.output for s in scores[:-1] if not earned[s.criterion]]
    diagnosis = build.failure if build.error else "; ".join(lost or [scores[-1].output] * (not scores[-1].points))
    speedups = tuple((s.threads, s.speedup) for s in study.of_series(Series.STRONG)
                     if s.program == entry.name and s.threads and s.speedup and s.state is State.OK)
    return Grade(entry.name, tuple(scores), diagnosis, speedups, sum(s.points for s in scores),
                 sum(s.max_points for s in scores))


_TOKEN = re.compile(r'//[^\n]*|/\*.*?\*/|"(?:\\.|[^"\\])*"|\'(?:\\.|[^\'\\])*\'|[A-Za-z_]\w*|\d[\w.]*|\S', re.S)
_KEYWORDS = frozenset("auto break case char const continue default do double else enum extern float for if int long "
                      "return short signed sizeof static struct switch unsigned void volatile while pragma omp "
                      "include define".split())


def tokens(source: str) -> List[str]:
    """The source's tokens, comments and whitespace left out and every name the same word, so
    that renaming and recommenting leave the sequence as it was."""
    return [t if t in _KEYWORDS or not (t[0].isalpha() or t[0] == "_") else "name"
            for t in _TOKEN.findall(source) if not t.startswith(("//", "/*"))]


def near_copies(sources: Dict[str, str], at_least: float = NEAR_COPY) -> List[Tuple[str, str, float]]:
    """(name, name, share) of the sources nearly one, most alike first. Each pair is one matcher
    run on token sequences of a few hundred tokens: 100 sources make 4950 pairs, seconds in all;
    the matcher's quick upper bounds skip most pairs before the full comparison."""
    seqs = {name: tokens(text) for name, text in sources.items()}
    pairs = []
    for (a, ta), (b, tb) in itertools.combinations(sorted(seqs.items()), 2):
        m = difflib.SequenceMatcher(None, ta, tb, autojunk=False)
        if m.real_quick_ratio() >= at_least and m.quick_ratio() >= at_least and m.ratio() >= at_least:
            pairs.append((a, b, m.ratio()))
    return sorted(pairs, key=lambda p: -p[2])


def class_sources(study: Study) -> Dict[str, str]:
    """Each variant's source as it is now, where it can still be read (a source gone is left out)."""
    found = {}
    for e in study.catalogue.variants():
        if e.build is not None and e.build.from_source:
            with contextlib.suppress(SuiteError):
                found[e.name] = files.read_text(e.build.source, 1 << 20)
    return found

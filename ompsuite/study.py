"""The study: the one typed model every tool builds or loads, and every output exports. Its JSON
form, study.json, is versioned by FORMAT (its history: docs/files.md, "study.json"); each run is
also kept in a journal as it ends (Journal), from which a stopped study is rebuilt or resumed."""
from __future__ import annotations

import contextlib
import dataclasses
import enum
import json
import math
import os
from typing import Any, Callable, Dict, List, Mapping, Optional, Sequence, Tuple, Type, TypeVar

from ompsuite import catalogue as C
from ompsuite.errors import SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.platform import files
from ompsuite.platform.interference import FIELDS as WATCHED, VMSTAT_COUNTERS, Interference

FORMAT = 3
READABLE = (1, 2, 3)  # the forms this version reads
JOURNAL = "runs.jsonl"
JOURNAL_MARK = "ompsuite study runs"
JSON = Dict[str, Any]
E = TypeVar("E", bound=enum.Enum)


class Series(enum.Enum):
    """What a run is for: an untimed check at a small size, or one of the three timed series."""
    CHECK = "check"    # untimed, at the check sizes, before any timed run
    STRONG = "strong"  # fixed N over the team sizes
    SWEEP = "sweep"    # N from 1e3 up, every team size
    WEAK = "weak"      # N = base x threads


@dataclasses.dataclass(frozen=True)
class Config:
    """What was asked for: one program of one series at one team size (None: the runtime's
    default team) and one N. The plans, the top-ups and the progress line key on it."""
    series: Series
    program: str
    threads: Optional[int]
    n: int


class Configured:
    """What a job or its run was asked for, by name."""
    config: Config

    @property
    def series(self) -> Series:
        return self.config.series

    @property
    def program(self) -> str:
        return self.config.program

    @property
    def problem_size(self) -> int:
        return self.config.n


NOT_RUN_AGAIN = "not run again: "  # a variant's run skipped after its crash or hang: the reason follows


@dataclasses.dataclass(frozen=True)
class Check:
    ok: bool
    reason: str = ""

    @classmethod
    def passed(cls) -> "Check":
        return cls(True)

    @classmethod
    def failed(cls, reason: str) -> "Check":
        return cls(False, reason)

    def __str__(self) -> str:
        return "ok" if self.ok else f"FAIL: {self.reason}"


@dataclasses.dataclass(frozen=True)
class Run(Configured):
    """One run of one program: what was asked, the team obtained, what it printed and its check."""
    config: Config
    threads: Optional[int]          # the team obtained; None when the runtime did not say
    repeat: int
    size_note: str = ""
    time_s: Optional[float] = None
    result: str = ""
    check_value: str = ""
    check: Check = Check.passed()
    disturbed: str = ""             # why the run was disturbed (other load, steal), or ""
    started: Optional[float] = None  # wall clock (Unix seconds) when it was started
    placement: str = ""
    printed_n: Optional[int] = None
    team_reported: Optional[int] = None  # what a team report printed
    fault: str = ""                 # what went wrong while it ran (output cap, garbled line)
    interference: Optional[Interference] = dataclasses.field(default=None, compare=False)
    entry: Optional[C.Program] = dataclasses.field(default=None, repr=False, compare=False)
    output: str = dataclasses.field(default="", repr=False, compare=False)

    @property
    def threads_requested(self) -> Optional[int]:
        return self.config.threads

    @property
    def program_entry(self) -> C.Program:
        if self.entry is None:
            raise SuiteError(f"run of {self.program} has no catalogue entry")
        return self.entry

    @property
    def clean(self) -> bool:
        """Passed its check, was timed and was not disturbed: it enters the figures."""
        return self.check.ok and self.time_s is not None and not self.disturbed

    @property
    def cpu_s(self) -> Optional[float]:
        i = self.interference
        if i is None or i.user_s is None or i.system_s is None:
            return None
        return i.user_s + i.system_s

    def to_json(self) -> JSON:
        c = self.config
        d: JSON = {"series": c.series.value, "program": c.program, "threads_requested": c.threads, "problem_size": c.n}
        d.update((f.name, getattr(self, f.name)) for f in dataclasses.fields(self)
                 if f.name not in ("config", "entry", "output"))
        d.update(check=None if self.check.ok else self.check.reason,
                 interference=None if self.interference is None else self.interference.values())
        return d

    @classmethod
    def from_json(cls, d: JSON, catalogue: C.Catalogue) -> "Run":
        r = _Reader(d, "run")
        program = r.text("program")
        config = Config(r.series("series"), program, r.maybe_count("threads_requested"),
                        r.count("problem_size", low=0))
        check = Check.passed() if d.get("check") is None else Check.failed(r.text("check"))
        return cls(config, check=check, **r.plain(cls, ("config", "check", "interference", "entry", "output"),
                                                  {"threads": 1, "repeat": 1, "team_reported": 1}),
                   interference=_interference(d.get("interference")), entry=r.entry(catalogue, program))


class Flag(enum.Enum):
    """What a summary's figures are worth, beyond its numbers."""
    FAILED = "failed"          # a run, or the median against the calibration, failed its check
    IMPOSSIBLE = "impossible"  # a speedup above its team: no result
    BELOW_FLOOR = "below floor"  # a median below the least time the calibration allows: no result
    UNTRUSTED = "untrusted"    # fewer clean runs than asked for once the budget was spent
    DISTURBED = "disturbed"    # some runs were left out of the figures as disturbed
    UNSTABLE = "unstable"      # the clean runs disagree (spread, a slow first run)
    IMPRECISE = "imprecise"    # the speedup's interval is wider than the precision target


class State(enum.Enum):
    """A summary's check cell: a result, a failed check, a figure no real run gives, or one with
    too few clean runs to trust."""
    OK = "ok"
    FAILED = "FAIL"
    IMPOSSIBLE = "impossible"
    UNTRUSTED = "untrusted"


@dataclasses.dataclass(frozen=True)
class Mark:
    """A flag on a summary with what it rests on: its reason, and for disturbed runs how many
    of how many were left out."""
    flag: Flag
    reason: str
    count: int = 0
    of: int = 0

    def __str__(self) -> str:
        if self.flag is Flag.DISTURBED:
            return f"{self.count} of {self.of} {'run' if self.of == 1 else 'runs'} disturbed ({self.reason})"
        return self.reason


@dataclasses.dataclass(frozen=True)
class Summary:
    """One program at one team size obtained and one N of one series: figures over its clean runs."""
    series: Series
    program: str
    threads: Optional[int]          # the team obtained (None: unknown)
    problem_size: int
    asked: Tuple[Optional[int], ...] = ()  # the teams asked for that gave this team
    runs: int = 0
    min_s: Optional[float] = None
    median_s: Optional[float] = None
    max_s: Optional[float] = None
    median_low: Optional[float] = None   # the median's distribution-free 95% interval (n >= 6)
    median_high: Optional[float] = None
    speedup: Optional[float] = None
    speedup_low: Optional[float] = None  # the speedup's 95% interval (bootstrap; n >= 3 on both sides)
    speedup_high: Optional[float] = None
    speedup_no_faults: Optional[float] = None  # the speedup with each side's kernel page-fault time taken out
    efficiency: Optional[float] = None
    karp_flatt: Optional[float] = None
    rate: Optional[float] = None
    rate_unit: str = ""
    units_from_serial: Optional[int] = None  # printed pi minus the serial pi, in units of its 15th decimal
    units_from_pi: Optional[int] = None      # printed pi minus pi, in the same units
    reproducible: str = ""          # every repeat printed the same result: "yes", or how many differed
    user_s: Optional[float] = None  # medians of the child's own user and system time, and faults
    system_s: Optional[float] = None
    minor_faults: Optional[int] = None
    floor_s: Optional[float] = None
    predicted_s: Optional[float] = None
    predicted_speedup: Optional[float] = None
    pct_floor: Optional[float] = None
    bound_by: str = ""
    page_fault_bound: bool = False  # the kernel's page faults, measured, bound this row
    marks: Tuple[Mark, ...] = ()
    notes: Tuple[str, ...] = ()
    entry: Optional[C.Program] = dataclasses.field(default=None, repr=False, compare=False)

    @property
    def key(self) -> Tuple[Series, str, Optional[int], int]:
        return self.series, self.program, self.threads, self.problem_size

    @property
    def program_entry(self) -> C.Program:
        if self.entry is None:
            raise SuiteError(f"summary of {self.program} has no catalogue entry")
        return self.entry

    def mark(self, flag: Flag) -> Optional[Mark]:
        return next((m for m in self.marks if m.flag is flag), None)

    def has(self, *flags: Flag) -> bool:
        return any(m.flag in flags for m in self.marks)

    @property
    def check(self) -> Check:
        """Failed when a run or the median failed its check."""
        m = self.mark(Flag.FAILED)
        return Check.passed() if m is None else Check.failed(m.reason)

    @property
    def state(self) -> "State":
        """What the row's figures are worth, in one word: the first that applies."""
        ranked = ((State.FAILED, (Flag.FAILED,)), (State.IMPOSSIBLE, (Flag.IMPOSSIBLE, Flag.BELOW_FLOOR)),
                  (State.UNTRUSTED, (Flag.UNTRUSTED,)))
        return next((state for state, flags in ranked if self.has(*flags)), State.OK)

    @property
    def impossible(self) -> str:
        return "; ".join(str(m) for m in self.marks if m.flag in (Flag.IMPOSSIBLE, Flag.BELOW_FLOOR))

    @property
    def untrusted(self) -> str:
        return str(self.mark(Flag.UNTRUSTED) or "")

    @property
    def disturbed(self) -> str:
        return str(self.mark(Flag.DISTURBED) or "")

    @property
    def unstable(self) -> str:
        return str(self.mark(Flag.UNSTABLE) or "")

    @property
    def left_out(self) -> int:
        """Runs left out of the figures as disturbed."""
        return next((m.count for m in self.marks if m.flag is Flag.DISTURBED), 0)

    @property
    def note(self) -> str:
        return "; ".join(self.notes)

    def with_mark(self, mark: Mark) -> "Summary":
        """This summary with one more mark; a flag already set keeps its first reason."""
        return self if self.mark(mark.flag) is not None else dataclasses.replace(self, marks=self.marks + (mark,))

    def with_note(self, text: str) -> "Summary":
        return self if text in self.notes else dataclasses.replace(self, notes=self.notes + (text,))

    def to_json(self) -> JSON:
        d: JSON = {f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.name not in ("entry",)}
        d.update(series=self.series.value, asked=list(self.asked), notes=list(self.notes),
                 marks=[{"flag": m.flag.value, "reason": m.reason, "count": m.count, "of": m.of} for m in self.marks])
        return d

    @classmethod
    def from_json(cls, d: JSON, catalogue: C.Catalogue) -> "Summary":
        r = _Reader(d, "summary")
        program = r.text("program")
        values = r.plain(cls, ("series", "program", "asked", "marks", "notes", "entry"))
        asked = tuple(_Reader({"t": t}, "summary").maybe_count("t") for t in r.items("asked"))
        marks = tuple(Mark(mr.member("flag", Flag, mr.text("flag"), "is not a known flag"), **mr.plain(Mark, ("flag",)))
                      for mr in (_Reader(m, "mark") for m in r.items("marks")))
        notes = r.texts("notes", "summary")
        return cls(r.series("series"), program, asked=asked, marks=marks, notes=notes,
                   entry=r.entry(catalogue, program), **values)


@dataclasses.dataclass(frozen=True)
class Crossover:
    """The smallest N at which a parallel pi program beats its baseline by 10%, at one team."""
    program: str
    threads: int
    measured_n: Optional[float]
    predicted_n: Optional[float]


Figures = Mapping[Tuple[str, int], Tuple[float, float]]  # (figure, threads) -> (median, low end of its interval)


@dataclasses.dataclass(frozen=True)
class Study:
    """Where it ran, what the calibration gave, every run and what was derived from them."""
    machine: Tuple[Tuple[str, str], ...]
    catalogue: C.Catalogue
    runs: Tuple[Run, ...] = ()
    summaries: Tuple[Summary, ...] = ()
    calibration: Optional[Figures] = None
    crossovers: Tuple[Crossover, ...] = ()
    notes: Tuple[str, ...] = ()         # closing lines: teams smaller than asked, the precision target
    completed: bool = True
    stopped: str = ""                   # why it did not complete
    # The topology in the benchmark library's context keys (Topology.context()): numbers and the
    # caches' list, which results.json needs and the text facts above do not hold.
    topology_context: Mapping[str, Any] = dataclasses.field(default_factory=dict)

    def fact(self, key: str, default: str = "") -> str:
        return dict(self.machine).get(key, default)

    def of_series(self, series: Series) -> List[Summary]:
        return [s for s in self.summaries if s.series is series]

    def to_json(self) -> JSON:
        return {"format": FORMAT, "machine": [list(p) for p in self.machine],
                "variants": variants_json(self.catalogue),
                "calibration": [{"figure": f, "threads": t, "median": m, "low95": low}
                                for (f, t), (m, low) in sorted((self.calibration or {}).items())],
                "runs": [r.to_json() for r in self.runs],
                "summaries": [s.to_json() for s in self.summaries],
                "crossovers": [dataclasses.asdict(c) for c in self.crossovers],
                "notes": list(self.notes), "completed": self.completed, "stopped": self.stopped,
                "topology_context": dict(self.topology_context)}

    @classmethod
    def from_json(cls, d: Any, where: str) -> "Study":
        """A study from its JSON form; SuiteError (status 2) naming the fault when it is not one."""
        try:
            if not isinstance(d, dict) or "format" not in d:
                raise _Bad("it is not a study (no format)")
            if d["format"] not in READABLE or isinstance(d["format"], bool):
                raise _Bad(f"its format {printable(d['format'], 20)} is not one this version reads "
                           f"({', '.join(map(str, READABLE))})")
            r = _Reader(d, "study")
            machine, catalogue = r.facts(), r.catalogue()
            figures: Dict[Tuple[str, int], Tuple[float, float]] = {}
            for f in r.items("calibration"):
                fr = _Reader(f, "calibration figure")
                median, low = fr.number("median"), fr.number("low95")
                if median is not None:
                    figures[(fr.text("figure"), fr.count("threads"))] = (median, median if low is None else low)
            crossovers = tuple(Crossover(**_Reader(c, "crossover").plain(Crossover, (), {"threads": 1}))
                               for c in r.items("crossovers"))
            context = d.get("topology_context", {})
            if not isinstance(context, dict):
                raise r.bad("topology_context", "is not an object")
            return cls(machine, catalogue, tuple(Run.from_json(x, catalogue) for x in r.items("runs")),
                       tuple(Summary.from_json(x, catalogue) for x in r.items("summaries")),
                       figures or None, crossovers, r.texts("notes", "note"), bool(d.get("completed", False)),
                       r.text("stopped"), context)
        except _Bad as e:
            raise SuiteError(f"{printable(where)}: {e}", 2) from None


def load(path: str) -> Study:
    """A study.json file; SuiteError (status 2) in one line when it cannot be read or is not one."""
    return Study.from_json(read_json(path), path)


def read_json(path: str) -> Any:
    """A JSON file's value; SuiteError (status 2) in one line when it cannot be read or is not JSON.
    Only a regular file is read: a FIFO given as a study would block the reader for good."""
    text: str = files.read_text(path, MAX_BYTES)
    try:
        return json.loads(text, parse_constant=_no_constant)
    except (ValueError, RecursionError) as e:
        raise SuiteError(f"{printable(path)}: not JSON ({printable(str(e), 80)})", 2) from None


MAX_BYTES = 256 << 20  # far above any study written here; a bound on /dev/zero and the like


def dumps(study: Study) -> str:
    return json.dumps(study.to_json(), indent=1, allow_nan=False) + "\n"


def variants_json(catalogue: C.Catalogue) -> List[JSON]:
    return [{"name": p.name, "path": p.path, "kind": p.kind.name, "build": (p.build or C.Build()).to_json()}
            for p in catalogue.variants()]


class Journal:
    """runs.jsonl: its header line, then every run appended as one JSON line the moment it ends,
    and synced, so that whatever stops a study (a signal, a full disk, a killed process) leaves
    every whole run. keep: the bytes of an existing journal's whole lines, to continue after (a
    line cut short by a hard stop is cut off); None: a new journal, begun with header."""

    def __init__(self, path: str, header: JSON, keep: Optional[int] = None) -> None:
        self.path = path
        flags = os.O_WRONLY | os.O_CREAT | os.O_APPEND | os.O_NOFOLLOW | os.O_CLOEXEC
        self.count = 0
        self.fd = os.open(path, flags | (os.O_TRUNC if keep is None else 0), 0o644)  # OSError names the path
        if keep is None:
            self._line(header)
        else:
            os.ftruncate(self.fd, keep)

    def add(self, run: Run) -> None:
        self._line(run.to_json())
        self.count += 1

    def _line(self, value: JSON) -> None:
        data = (json.dumps(value, allow_nan=False) + "\n").encode()
        written = 0
        try:
            while written < len(data):
                written += os.write(self.fd, data[written:])
            os.fsync(self.fd)
        except OSError as e:
            if written:  # a half line would be a damaged journal: cut it back
                with contextlib.suppress(OSError):
                    os.ftruncate(self.fd, os.lseek(self.fd, 0, os.SEEK_END) - written)
            raise SuiteError(f"cannot write {printable(self.path)}: {os_reason(e)}; it holds {self.count} whole "
                             f"run{'' if self.count == 1 else 's'}") from None

    def close(self) -> None:
        if self.fd >= 0:
            os.close(self.fd)
            self.fd = -1


@dataclasses.dataclass(frozen=True)
class Journaled:
    """What a journal holds: its header, the machine's facts and the variants it names, its whole
    runs, and the bytes of its whole lines (a last line cut short by a hard stop is left out)."""
    header: JSON
    machine: Tuple[Tuple[str, str], ...]
    catalogue: C.Catalogue
    runs: Tuple[Run, ...]
    size: int
    plan: JSON  # what the study was to run: the options, the programs' digests, the jobs' digest


def read_journal(path: str) -> Journaled:
    """A journal; SuiteError (status 2) in one line when it is not one this version reads."""
    text = files.read_text(path, MAX_BYTES)
    whole = text[:text.rfind("\n") + 1]
    lines = whole.split("\n")[:-1]
    try:
        try:
            header = json.loads(lines[0], parse_constant=_no_constant) if lines else None
        except (ValueError, RecursionError):
            header = None
        if not isinstance(header, dict) or header.get("journal") != JOURNAL_MARK:
            raise _Bad("not the journal of a study of this suite (its first line is no journal header)")
        if header.get("format") != FORMAT:
            raise _Bad(f"its format {printable(header.get('format'), 20)} is not the one this version reads "
                       f"({FORMAT})")
        r = _Reader(header, "journal header")
        catalogue, plan = r.catalogue(), header.get("plan")
        if not isinstance(plan, dict):
            raise r.bad("plan", "is not an object")
        runs = []
        for k, line in enumerate(lines[1:], 2):
            try:
                runs.append(Run.from_json(json.loads(line, parse_constant=_no_constant), catalogue))
            except (ValueError, RecursionError, _Bad) as e:
                raise _Bad(f"line {k} is damaged ({printable(str(e), 80)})") from None
        return Journaled(header, r.facts(), catalogue, tuple(runs), len(whole.encode()), plan)
    except _Bad as e:
        raise SuiteError(f"{printable(path)}: {e}", 2) from None


# Reading JSON strictly: every field typed, one line naming the first fault.

class _Bad(Exception):
    pass


def _no_constant(name: str) -> None:
    raise ValueError(f"{name} is not a number JSON allows")


class _Reader:
    def __init__(self, d: Any, what: str) -> None:
        if not isinstance(d, dict):
            raise _Bad(f"a {what} is not an object")
        self.d, self.what = d, what

    def bad(self, key: str, why: str) -> _Bad:
        return _Bad(f"{self.what} field {key} {why}")

    def text(self, key: str) -> str:
        v = self.d.get(key, "")
        if not isinstance(v, str):
            raise self.bad(key, "is not text")
        return v

    def texts(self, key: str, what: str) -> Tuple[str, ...]:
        """The texts of list key, each read as a what's field n."""
        return tuple(_Reader({"n": n}, what).text("n") for n in self.items(key))

    def number(self, key: str) -> Optional[float]:
        if (v := self.d.get(key)) is None:
            return None
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            raise self.bad(key, "is not a number")
        try:
            number = float(v)
        except OverflowError:
            raise self.bad(key, "is too large") from None
        if not math.isfinite(number):  # JSON's 1e999 reads as infinity
            raise self.bad(key, "is too large")
        return number

    def count(self, key: str, low: Optional[int] = 1) -> int:
        v = self.d.get(key)
        if isinstance(v, bool) or not isinstance(v, int) or (low is not None and v < low):
            raise self.bad(key, "is not a whole number" + ("" if low is None else f" of at least {low}"))
        return v

    def maybe_count(self, key: str, low: Optional[int] = 1) -> Optional[int]:
        return None if self.d.get(key) is None else self.count(key, low)

    def series(self, key: str) -> Series:
        return self.member(key, Series, self.d.get(key), "is not a series")

    def member(self, key: str, kind: Type[E], value: Any, why: str) -> E:
        try:
            return kind(value)
        except ValueError:
            raise self.bad(key, why) from None

    def plain(self, cls: Any, skip: Sequence[str], low: Mapping[str, int] = {}) -> JSON:
        """cls's fields but those skipped, each read by its declared type (the annotations are text
        here); a whole number is at least its low or, without one, 0, and an optional one unbounded."""
        read: Dict[str, Callable[[str], Any]] = {
            "Optional[int]": lambda k: self.maybe_count(k, low=low.get(k)), "str": self.text,
            "int": lambda k: self.count(k, low=low.get(k, 0)), "bool": lambda k: bool(self.d.get(k, False)),
            "Optional[float]": self.number}
        return {f.name: read[str(f.type)](f.name) for f in dataclasses.fields(cls) if f.name not in skip}

    def items(self, key: str) -> Sequence[Any]:
        v = self.d.get(key, [])
        if not isinstance(v, list):
            raise self.bad(key, "is not a list")
        return v

    def facts(self) -> Tuple[Tuple[str, str], ...]:
        pairs = self.items("machine")
        if any(not isinstance(p, list) or len(p) != 2 or not all(isinstance(x, str) for x in p) for p in pairs):
            raise _Bad("machine field k is not a [key, value] pair of texts")
        return tuple((k, v) for k, v in pairs)

    def catalogue(self) -> C.Catalogue:
        """The suite's catalogue with the variants listed under "variants"."""
        catalogue = C.Catalogue()
        for v in self.items("variants"):
            vr = _Reader(v, "variant")
            try:
                catalogue = catalogue.with_variant(vr.text("name"), vr.text("path"), vr.text("kind"),
                                                   _build(v.get("build")))
            except SuiteError as e:
                raise _Bad(str(e)) from None
        return catalogue

    def entry(self, catalogue: C.Catalogue, program: str) -> C.Program:
        try:
            return catalogue.get(program)
        except KeyError:
            raise self.bad("program", f"names {printable(program, 40)}, which is neither the suite's nor a variant of "
                                      "the study") from None


def _build(d: Any) -> C.Build:
    """A variant's Build from its JSON form; absent (form 1): a binary of unknown build."""
    if d is None:
        return C.Build()
    r = _Reader(d, "variant build")
    race = r.member("race", C.Race, r.text("race") or C.Race.NOT_RUN.value, "is not a race check's outcome")
    detail = r.texts("race_detail", "race line")
    return C.Build(r.text("source"), r.text("compiler"), r.text("flags"), r.text("warnings"), r.text("error"),
                   race, detail)


def build_of(d: Any) -> C.Build:
    """A variant's Build from its JSON form, as study.json holds it; ValueError naming the fault."""
    try:
        return _build(d)
    except _Bad as e:
        raise ValueError(str(e)) from None


def _interference(values: Any) -> Optional[Interference]:
    """An interference record from its flat form (Interference.values())."""
    if values is None:
        return None
    if not isinstance(values, dict):
        raise _Bad("a run's interference is not an object")
    fields = {f.name for f in dataclasses.fields(Interference)} - {"vm", "notes"}
    for k in WATCHED:
        v = values.get(k)
        if k != "interference_notes" and v is not None and (isinstance(v, bool) or not isinstance(v, (int, float))):
            raise _Bad(f"interference field {k} is not a number")
    # The values were checked above; which field is which type is the record's own affair.
    given: Dict[str, Any] = {k: values.get(k) for k in fields}
    rec = Interference(**given)
    rec.vm = {c: values["vm_" + c] for c in VMSTAT_COUNTERS if values.get("vm_" + c) is not None}
    rec.notes = str(values.get("interference_notes") or "")
    return rec

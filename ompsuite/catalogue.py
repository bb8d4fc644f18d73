"""The catalogue: one entry per program (how it is run, read, checked, compared, charged and drawn),
the only place in the tools that names them. Adding a program is one entry here plus its source; a
user's variant (docs/variants.md) becomes an entry of the same shape."""
import dataclasses
import enum
import os
import re
from typing import Dict, Iterator, List, NamedTuple, Optional, Pattern, Sequence, Tuple

from ompsuite.errors import SuiteError

PI_MAX_N = 2147483647          # the pi programs' 32-bit index and report
RECURRENCE_MAX_N = 2147483646  # N + 1 elements must fit the 32-bit loop index
FULL_N = 2000000000            # the recurrence programs as delivered: 16 GB
FULL_NEED = 17 * 10**9         # bytes of available memory a full-size recurrence program needs
REDUCED_N = 200000000


@dataclasses.dataclass(frozen=True)
class Kind:
    name: str
    timed: bool          # prints its own run time
    n_argument: bool     # N is the first argument (else it is built into the program)
    printed_tick: float  # the finest step of the time it prints
    lines: Tuple[Pattern[str], ...]  # the lines read from its standard output, a named group per field
    first_line: str      # how its report starts: tells a variant's kind
    speedup_bound: bool = False  # compute-bound: a team of T cannot beat its serial baseline by more than T
    parallel_throughout: bool = False  # its whole life is the team's work (the fills check their array serially)
    # (label, fields, the line as it must read) for each line of its report, as docs/variants.md gives them
    expected: Tuple[Tuple[str, Tuple[str, ...], str], ...] = ()

    def read(self, output: str) -> Dict[str, str]:
        """{field: text} of the lines found; a missing line leaves its field out. Two different
        results make "conflict" the number of them: the report contradicts itself."""
        found: Dict[str, str] = {}
        for pattern in self.lines:
            for field in pattern.groupindex:
                if values := [m[field] for m in pattern.finditer(output)]:
                    found[field] = values[0]
                if field == "result" and len(set(values)) > 1:
                    found["conflict"] = str(len(set(values)))
        return found


def _line(pattern: str) -> Pattern[str]:
    return re.compile(pattern, re.M)


PI = Kind("pi", timed=True, n_argument=True, printed_tick=1e-8, first_line=r"^pi = ",
          lines=(_line(r"^pi = (?P<result>\S+), N = +(?P<printed_n>-?\d+), time = (?P<time>-?\d+\.\d+) secs$"),),
          speedup_bound=True, parallel_throughout=True,
          expected=(("pi", ("result", "printed_n", "time"), "pi = <value>, N = <N>, time = <seconds> secs"),))
RECURRENCE = Kind("recurrence", timed=True, n_argument=False, printed_tick=1e-6, lines=(
    _line(r"^(?:Sequential|Parallel) RunTime\s*:\s+(?P<time>\d+\.\d+) seconds$"),
    _line(r"^Final Result [^:]*:\s+(?P<result>\S+) $"),
    _line(r"^Result \|\|opt\|\|\^2_2 :\s+(?P<check_value>\S+)$")), first_line=r"^(?:Sequential|Parallel) RunTime",
    expected=(("run time", ("time",), "Parallel RunTime : <seconds> seconds"),
              ("final result", ("result",), "Final Result <name>: <value> "),
              ("check value", ("check_value",), "Result ||opt||^2_2 : <value>")))
TEAM = Kind("team", timed=False, n_argument=False, printed_tick=0.0, lines=(
    _line(r"^Number of threads = (?P<team>\d+)$"),
    _line(r"^Thread -1 is done! Total= (?P<result>\S+)$")), first_line=r"^Nested parallelism")
KINDS: Dict[str, Kind] = {k.name: k for k in (PI, RECURRENCE, TEAM)}
VARIANT_KINDS = (PI, RECURRENCE)  # a variant is timed and compared; the team report is neither
_VARIANT_KIND_NAMES = ", ".join(k.name for k in VARIANT_KINDS)


class Race(enum.Enum):
    """The race check of a variant built from its source."""
    NOT_RUN = "not run"   # a binary (no source to instrument), or not yet checked
    FREE = "free"         # ThreadSanitizer saw no race at any team tried
    FOUND = "found"       # ThreadSanitizer reported a race: the variant fails
    SKIPPED = "skipped"   # the tools it needs are missing here (the detail says which)


@dataclasses.dataclass(frozen=True)
class Build:
    """How a variant was made: built by the tools from its source, or a binary the user made
    (source "", flags unknown). A build error or a race found fails all of the variant's rows."""
    source: str = ""                 # the source file; "" for a binary
    compiler: str = ""               # the compiler and its version, as it names itself
    flags: str = ""                  # the flags the tools built it with
    warnings: str = ""               # the compiler's warnings, as it printed them
    error: str = ""                  # the compiler's first error line: the variant cannot run
    race: Race = Race.NOT_RUN
    race_detail: Tuple[str, ...] = ()  # FOUND: one line per race ("data race: pi.cpp:14 (write) and
                                       # pi.cpp:14 (read)"); SKIPPED: why, and what would enable it

    @property
    def from_source(self) -> bool:
        return bool(self.source)

    @property
    def failure(self) -> str:
        """Why every run of the variant fails before or whatever it prints, or ""."""
        if self.error:
            return f"does not compile: {self.error}"
        if self.race is Race.FOUND:
            return "; ".join(self.race_detail) or "data race"
        return ""

    def to_json(self) -> Dict[str, object]:
        return {**dataclasses.asdict(self), "race": self.race.value, "race_detail": list(self.race_detail)}


class Team(enum.Enum):
    """How a program's team size is learned."""
    ONE = "one"        # serial
    PROBE = "probe"    # the affinity report of one extra, untimed run: in the timed run it would sit in the window
    OWN = "own"        # the affinity report of the timed run itself: a second 16 GB fill to count threads costs more
    REPORT = "report"  # the program prints it


@dataclasses.dataclass(frozen=True)
class Program:
    name: str
    kind: Kind
    baseline: Optional[str] = None  # the serial program its speedup is taken over; None when serial
    team: Team = Team.ONE
    constructs: Tuple[Tuple[str, int], ...] = ()  # (calibration figure, sign) pairs the model charges per run
    point: Optional[str] = None     # its matplotlib marker on the plots; None: not drawn (a baseline)
    first_power: Optional[int] = None  # recurrence: opt[k] = RATIO**(k + first_power); None: either form
    path: Optional[str] = None      # a variant's program; None: the suite's own, in the build folder
    build: Optional[Build] = None   # a variant's: how it was made (None: the suite's own program)

    @property
    def parallel(self) -> bool:
        return self.baseline is not None

    @property
    def variant(self) -> bool:
        return self.path is not None

    def args(self, n: int) -> Tuple[str, ...]:
        return (str(n),) if self.kind.n_argument else ()


# The overheads each parallel program is charged, and why: docs/model.md, "predicted".
_GUARD = (("first_region", 1),)
_MERGE = (("first_region", 1), ("critical", -1), ("static_loop", 1), ("reduction", 1))
_SPLIT = (("first_region", 1), ("critical", -1))

SUITE = (
    Program("quadplain", PI),
    # Circle, square, triangle: shapes that stay apart where points of two programs coincide.
    Program("quadguard", PI, baseline="quadplain", team=Team.PROBE, constructs=_GUARD, point="o"),
    Program("quadmerge", PI, baseline="quadplain", team=Team.PROBE, constructs=_MERGE, point="s"),
    Program("growplain", RECURRENCE, first_power=1),
    Program("growsplit", RECURRENCE, baseline="growplain", team=Team.OWN, constructs=_SPLIT, point="^",
            first_power=2),
    Program("teamtally", TEAM, team=Team.REPORT),
)
# Markers left for variants: diamond, triangle down, plus, cross, pentagon, hexagon, triangles aside.
_VARIANT_POINTS = ("D", "v", "P", "X", "p", "h", "<", ">")


class Catalogue:
    """The suite's programs and the user's variants, in their order (the tables' order)."""

    def __init__(self, programs: Sequence[Program] = SUITE) -> None:
        self.programs = tuple(programs)

    def __iter__(self) -> Iterator[Program]:
        return iter(self.programs)

    def get(self, name: str) -> Program:
        return {p.name: p for p in self.programs}[name]  # KeyError for a name not here

    def of_kind(self, kind: Kind, parallel: Optional[bool] = None) -> List[Program]:
        return [p for p in self.programs if p.kind is kind and (parallel is None or p.parallel == parallel)]

    def serial(self, kind: Kind) -> Program:
        """The serial baseline of a kind (the suite's own)."""
        return next(p for p in self.programs if p.kind is kind and not p.parallel and not p.variant)

    def suite(self, kind: Optional[Kind] = None) -> List[Program]:
        return [p for p in self.programs if not p.variant and (kind is None or p.kind is kind)]

    def variants(self) -> List[Program]:
        return [p for p in self.programs if p.variant]

    def order(self, program_name: str) -> int:
        return [p.name for p in self.programs].index(program_name)

    def with_variant(self, name: str, path: str, kind_name: str, build: Optional[Build] = None) -> "Catalogue":
        """A new catalogue with a user's program of this kind: compared with the kind's serial
        baseline, its team learned as the suite's parallel programs of that kind learn theirs."""
        if (kind := KINDS.get(kind_name)) not in VARIANT_KINDS:
            raise SuiteError(f"--program {name}: kind '{kind_name}' is not one of {_VARIANT_KIND_NAMES}", 2)
        if any(p.name == name for p in self.programs):
            raise SuiteError(f"--program {name}: that name is taken; choose another", 2)
        like = next(p for p in self.programs if p.kind is kind and p.parallel and not p.variant)
        used = {p.point for p in self.programs}
        point = next((pt for pt in _VARIANT_POINTS if pt not in used), "*")
        variant = dataclasses.replace(like, name=name, point=point, first_power=None, path=os.path.abspath(path),
                                      build=build or Build())
        return Catalogue(self.programs + (variant,))


_VARIANT_NAME = re.compile(r"^[A-Za-z][A-Za-z0-9_.-]{0,31}$")


class VariantArg(NamedTuple):
    """A user's program as asked for on the command line; kind None: read from its first line."""
    name: str
    path: str
    kind: Optional[str]


def parse_variant(text: str) -> VariantArg:
    """(name, path, kind or None) from NAME=PATH or NAME=PATH:KIND."""
    name, sep, rest = text.partition("=")
    if not sep or not rest:
        raise SuiteError(f"--program '{text}': expected NAME=PATH or NAME=PATH:KIND", 2)
    if not _VARIANT_NAME.match(name):
        raise SuiteError(f"--program '{text}': NAME must be a letter then up to 31 letters, digits, '_', '.' "
                         "or '-'", 2)
    path, kind = rest, None  # type: Tuple[str, Optional[str]]
    head, colon, tail = rest.rpartition(":")
    if colon and tail in KINDS:
        path, kind = head, tail
    elif colon and re.match(r"^[A-Za-z]\w*$", tail) and not os.path.lexists(rest):
        # A word after the last colon is a kind, unless the whole is a file: a path may hold a colon.
        raise SuiteError(f"--program {name}: unknown kind '{tail}': the kinds are {_VARIANT_KIND_NAMES}", 2)
    if not path:
        raise SuiteError(f"--program '{text}': no PATH", 2)
    return VariantArg(name, path, kind)


def kind_of_output(output: str) -> Optional[str]:
    """The kind whose report starts the output, or None."""
    first = output.lstrip("\n").split("\n", 1)[0]
    return next((kind.name for kind in KINDS.values() if re.match(kind.first_line, first)), None)

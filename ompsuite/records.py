"""The records the stages hand each other: a check result, one run, one summary row. Each is a
value with its own CSV form, so the CSV, the tables and the plots read the same fields and no
stage parses another's text."""
import dataclasses


@dataclasses.dataclass(frozen=True)
class Check:
    """A check's outcome: passed, or failed with a reason."""
    ok: bool
    reason: str = ""

    @classmethod
    def passed(cls):
        return cls(True)

    @classmethod
    def failed(cls, reason):
        return cls(False, reason)

    def __str__(self):
        return "ok" if self.ok else f"FAIL: {self.reason}"


def _text(value):
    if value is None:
        return ""
    if isinstance(value, float):
        return f"{value:.9g}"
    return str(value)


@dataclasses.dataclass
class Run:
    """One run of one program: what was asked, what the program printed, and its check."""
    series: str
    program: str
    threads_requested: int      # None: the runtime's default team
    threads: int                # obtained; None when the runtime did not say
    problem_size: int
    size_note: str
    repeat: int
    time_s: float = None
    result: str = ""
    check_value: str = ""
    check: Check = Check.passed()
    entry: object = dataclasses.field(default=None, repr=False, compare=False)   # its catalogue entry
    output: str = dataclasses.field(default="", repr=False)
    printed_n: int = dataclasses.field(default=None, repr=False)
    team_reported: int = dataclasses.field(default=None, repr=False)  # what a team report printed
    placement: str = dataclasses.field(default="", repr=False)

    FIELDS = ("series", "program", "threads_requested", "threads", "problem_size", "size_note", "repeat",
              "time_s", "result", "check_value", "check")

    def row(self):
        return {f: _text(getattr(self, f)) for f in self.FIELDS}


@dataclasses.dataclass
class SummaryRow:
    """One program at one team size and problem size: figures over the runs that passed."""
    series: str
    program: str
    threads: int
    problem_size: int
    threads_requested: str = ""
    runs: int = 0
    min_s: float = None
    median_s: float = None
    max_s: float = None
    speedup: float = None
    efficiency: float = None
    karp_flatt: float = None
    rate: float = None
    rate_unit: str = ""
    units_from_serial: int = None   # printed pi minus the serial pi, in units of its 15th decimal
    units_from_pi: int = None       # printed pi minus pi, in the same units
    reproducible: str = ""          # every repeat printed the same result: "yes", or how many differed
    floor_s: float = None
    predicted_s: float = None
    pct_floor: float = None
    bound_by: str = ""
    check: Check = Check.passed()
    note: str = ""
    entry: object = dataclasses.field(default=None, repr=False, compare=False)
    predicted_speedup: float = dataclasses.field(default=None, repr=False)

    FIELDS = ("series", "program", "threads", "threads_requested", "problem_size", "runs", "min_s", "median_s",
              "max_s", "speedup", "efficiency", "karp_flatt", "rate", "rate_unit", "units_from_serial",
              "units_from_pi", "reproducible", "floor_s", "predicted_s", "pct_floor", "bound_by", "check", "note")

    def row(self):
        return {f: _text(getattr(self, f)) for f in self.FIELDS}

    def add_note(self, text):
        self.note = f"{self.note}; {text}" if self.note else text

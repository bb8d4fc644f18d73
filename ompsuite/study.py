"""The records the stages hand each other: a check result, one run, one summary row. Each is a
value with its own CSV form, so the CSV, the tables and the plots read the same fields and no
stage parses another's text."""
import dataclasses

from ompsuite.platform.interference import FIELDS as WATCHED, Interference


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
        return f"{value:.9g}" if abs(value) < 1e9 else f"{value:.3f}"  # a wall-clock time to the millisecond
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
    disturbed: str = ""                 # why the run was disturbed (other load, steal), or ""
    started: float = None               # wall clock (Unix seconds) when it was started
    fault: str = dataclasses.field(default="", repr=False)  # what went wrong while it ran (output cap)
    interference: object = dataclasses.field(default=None, repr=False)  # its interference.Interference

    FIELDS = ("series", "program", "threads_requested", "threads", "problem_size", "size_note", "repeat",
              "time_s", "result", "check_value", "check", "disturbed", "started")

    @property
    def clean(self):
        """Passed its check, was timed and was not disturbed: it enters the figures."""
        return self.check.ok and self.time_s is not None and not self.disturbed

    @property
    def cpu_s(self):
        i = self.interference
        return None if i is None or i.user_s is None else i.user_s + i.system_s

    def row(self):
        row = {f: _text(getattr(self, f)) for f in self.FIELDS}
        watched = self.interference.row() if self.interference else Interference(None, None).row()
        row.update({f: watched.get(f, "") for f in WATCHED})
        if not self.interference:
            row["interference_notes"] = "not watched"
        return row

    @classmethod
    def fields(cls):
        return cls.FIELDS + WATCHED


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
    median_low: float = None        # the median's distribution-free 95% interval (n >= 6)
    median_high: float = None
    speedup_low: float = None       # the speedup's 95% interval (bootstrap; n >= 3 on both sides)
    speedup_high: float = None
    unstable: str = ""              # why the runs disagree (spread, first run), or ""
    disturbed: str = ""             # "k of n runs disturbed (reason)", or ""
    untrusted: str = ""             # why the figure cannot be trusted, or ""
    user_s: float = None            # medians of the child's own user and system time, and faults
    system_s: float = None
    minor_faults: int = None
    floor_s: float = None
    predicted_s: float = None
    pct_floor: float = None
    bound_by: str = ""
    check: Check = Check.passed()
    note: str = ""
    entry: object = dataclasses.field(default=None, repr=False, compare=False)
    predicted_speedup: float = dataclasses.field(default=None, repr=False)

    FIELDS = ("series", "program", "threads", "threads_requested", "problem_size", "runs", "min_s", "median_s",
              "max_s", "median_low", "median_high", "speedup", "speedup_low", "speedup_high", "efficiency",
              "karp_flatt", "rate", "rate_unit", "units_from_serial", "units_from_pi", "reproducible", "unstable",
              "disturbed", "untrusted", "user_s", "system_s", "minor_faults", "floor_s", "predicted_s", "pct_floor",
              "bound_by", "check", "note")

    def row(self):
        return {f: _text(getattr(self, f)) for f in self.FIELDS}

    def add_note(self, text):
        self.note = f"{self.note}; {text}" if self.note else text

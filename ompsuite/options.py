"""The typed value a command line becomes: everything a run of the tools was asked for, checked,
and the limits the checks apply. The command layer fills it; everything below reads it."""
import dataclasses
from typing import Dict, List, Optional

from ompsuite import catalogue as C
from ompsuite.analyse.grades import DEFAULT, Rubric

MAX_THREADS = 4096     # the largest team the calibration measures
MAX_REPEATS = 1000     # a study of 1000 repeats already runs for most of a day
MAX_RECURRENCE_REPEATS = 100  # each run fills 16 GB for seconds; more is a mistake, not a study


@dataclasses.dataclass
class Options:
    pi_n: int = 100000000
    repeats: int = 5
    threads: Optional[List[int]] = None  # None: the runtime's default team
    recurrence_n: Optional[int] = None
    recurrence_repeats: int = 1
    bin: Optional[str] = None
    recurrence_bin: Optional[str] = None
    no_bind: bool = False
    no_calibrate: bool = False
    calibration: Optional[str] = None
    programs: List[C.VariantArg] = dataclasses.field(default_factory=list)
    out: Optional[str] = None
    resume: bool = False             # continue the study stopped in out
    sweep: Optional[int] = None
    weak: Optional[int] = None
    no_warmup: bool = False
    markdown: Optional[str] = None
    csv: Optional[str] = None
    json: Optional[str] = None
    report: Optional[str] = None     # the HTML page (runsuite --report); a study folder always has one
    rubric: Rubric = DEFAULT         # the points of a class's grades (--rubric FILE)
    precision: float = 0.03
    budget: float = 2.0
    disturbed_load: Optional[float] = None
    disturbed_steal: Optional[float] = None
    disturbed_lost: Optional[float] = None
    run_timeout: Optional[float] = None
    wide: bool = False
    seed: Optional[int] = None       # the interleaving's; set when the options are built

    def machine_watch(self) -> Dict[str, float]:
        """The thresholds for a disturbed run that were given (others keep their defaults), by the
        names the interference module takes them."""
        given = (("load_cores", self.disturbed_load), ("steal_cores", self.disturbed_steal))
        return {k: v for k, v in given if v is not None}

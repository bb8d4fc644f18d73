"""The options the commands share, defined once so that one name always means one thing; the
core gets an Options value, never the parser's namespace."""
import argparse
import dataclasses
import os
from typing import Callable, List, Optional

from ompsuite import catalogue as C
from ompsuite.analyse.grades import DEFAULT, load_rubric
from ompsuite.cli.common import Parser
from ompsuite.errors import SuiteError
from ompsuite.measure import sources

from ompsuite.options import MAX_RECURRENCE_REPEATS, MAX_REPEATS, MAX_THREADS, Options


def count(low: int = 1, high: Optional[int] = None) -> Callable[[str], int]:
    """argparse type: a whole number (1e8 and 100000000 alike) within low .. high."""
    def parse(text: str) -> int:
        try:
            number = float(text) if any(c in text for c in ".eE") else int(text)
            if number != int(number):
                raise ValueError
            value = int(number)
        except (ValueError, OverflowError):
            raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
        if value < low:
            raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
        if high is not None and value > high:
            raise argparse.ArgumentTypeError(f"must be at most {high}, got {value}")
        return value
    return parse


def number(ok: Callable[[float], bool], says: str) -> Callable[[str], float]:
    """argparse type: a number that ok takes (nan never is), else says so."""
    def parse(text: str) -> float:
        try:
            value = float(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"'{text}' is not a number") from None
        if not ok(value):
            raise argparse.ArgumentTypeError(f"{says}, got {text}")
        return value
    return parse


def positive(high: float) -> Callable[[str], float]:
    return number(lambda v: 0 < v <= high, f"must be above 0 and at most {high}")


def thread_list(text: str) -> List[int]:
    """argparse type: comma-separated thread counts, each at least 1; sorted, no repeats."""
    try:
        counts = [int(t) for t in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a comma-separated list of thread counts") from None
    if min(counts) < 1 or max(counts) > MAX_THREADS:
        raise argparse.ArgumentTypeError(f"thread counts must be from 1 to {MAX_THREADS}, got '{text}'")
    return sorted(set(counts))


def measuring_parser(prog: str, doc: str, teams: str) -> Parser:
    """The options both measuring commands take, in the order their --help lists them."""
    from ompsuite.platform.interference import LOAD, LOAD_CORES, LOST, LOST_CORES, RULE_OPTIONS, STEAL, STEAL_CORES
    ap = Parser(prog=prog, description=doc.split("\n\n")[0])
    ap.add_argument("--pi-n", metavar="N", type=count(1, C.PI_MAX_N), default=100000000,
                    help="intervals for the pi programs (default 1e8)")
    ap.add_argument("--repeats", metavar="N", type=count(1, MAX_REPEATS), default=5,
                    help=f"runs of every pi configuration, interleaved (default 5, at most {MAX_REPEATS}: more "
                         "would run for days)")
    ap.add_argument("--recurrence-n", metavar="N", type=count(1, C.RECURRENCE_MAX_N),
                    help="run the recurrence programs from a reduced build with this N (default: full size, "
                         "2e9, when 17 GB are available, else 2e8)")
    ap.add_argument("--recurrence-repeats", metavar="N", type=count(1, MAX_RECURRENCE_REPEATS), default=1,
                    help="runs of every recurrence configuration (default 1: each run fills 16 GB; at most "
                         f"{MAX_RECURRENCE_REPEATS})")
    ap.add_argument("--threads", metavar="LIST", type=thread_list,
                    help=f"comma-separated team sizes for the parallel programs (default: {teams})")
    ap.add_argument("--bin", metavar="DIR", help="take the programs from DIR instead of building build/release")
    ap.add_argument("--recurrence-bin", metavar="DIR",
                    help="with --recurrence-n: the recurrence programs built for that N (default: built)")
    ap.add_argument("--program", metavar="NAME=PATH[:KIND]", action="append", default=[], dest="programs",
                    help="also run your own program PATH under NAME beside the suite's, checked and compared "
                         "like its KIND (pi or recurrence; default: read from the first line it prints); "
                         "repeatable. A source (.c, .cpp, .cc, .cxx; KIND default pi) is built with the suite's "
                         "compiler and flags and checked for races")
    ap.add_argument("--programs", metavar="DIR", action="append", default=[], dest="program_dirs",
                    help="also run every source and program in DIR (not its subfolders), each named after its "
                         "file, as with --program; repeatable")
    ap.add_argument("--rubric", metavar="FILE", help="grade the variants by the points in this TOML file "
                                                     "(default: the rubric in docs/class.md)")
    ap.add_argument("--no-bind", action="store_true",
                    help="leave threads unbound (OMP_PROC_BIND=false; default: close, one per core, unless "
                         "you set OMP_PROC_BIND or OMP_PLACES)")
    calibration = ap.add_mutually_exclusive_group()
    calibration.add_argument("--no-calibrate", action="store_true",
                             help="skip the calibration (no floors or predictions; default: calibrate)")
    calibration.add_argument("--calibration", metavar="CSV",
                             help="use this calibration.csv (from a study on this machine) instead of measuring")
    ap.add_argument("--precision", metavar="FRACTION", type=lambda t: 0.0 if t in ("0", "off") else positive(1)(t),
                    default=0.03, help="repeat the pi runs until each speedup's 95%% interval is within this "
                                       "fraction of it, or the budget is spent (default 0.03; 0 or off: never)")
    ap.add_argument("--budget", metavar="FACTOR", type=positive(100), default=2.0,
                    help="at most this many times the asked-for runs of any configuration, replacements of "
                         "disturbed runs and runs for the precision target included (default 2)")
    for rule, says in ((LOAD, "a run is disturbed when the rest of the machine kept more than this many cores busy "
                              f"on average meanwhile (default {LOAD_CORES}), beyond the counters' rounding"),
                       (STEAL, "a run is disturbed when the hypervisor took more than this many cores away on "
                               f"average (steal; default {STEAL_CORES})"),
                       (LOST, "a pi run is disturbed when its team got less CPU time than its cores by more than "
                              f"this many cores on average (kept off its cores; default {LOST_CORES})")):
        ap.add_argument(RULE_OPTIONS[rule], metavar="CORES", type=positive(4096), default=None, help=says)
    ap.add_argument("--seed", metavar="N", type=count(0, 2**32 - 1), default=None,
                    help="seed of the order in which each round's runs are interleaved (default: a new one, "
                         "recorded with the results, so that a study's order can be repeated)")
    ap.add_argument("--no-warmup", action="store_true",
                    help="skip the discarded run of the serial fill before the timed ones (default: one)")
    ap.add_argument("--run-timeout", metavar="SECONDS", type=positive(86400), default=None,
                    help="stop a run that takes longer than this (default: 60 s plus 20 times the longest earlier "
                         "run of its configuration, or 100 ns per interval or element before one has run)")
    return ap


def build_options(ap: argparse.ArgumentParser, a: argparse.Namespace) -> Options:
    """The checked Options of a parsed namespace; refusals go through the parser (status 2)."""
    fields = {f.name for f in dataclasses.fields(Options)}
    given = {k: v for k, v in vars(a).items() if k in fields}
    texts: List[str] = given.pop("programs", [])  # parsed below: Options holds them parsed
    rubric = given.pop("rubric", None)
    o = Options(**given)
    if o.seed is None:
        o.seed = int.from_bytes(os.urandom(4), "little")
    if o.recurrence_bin is not None and o.recurrence_n is None:
        ap.error("--recurrence-bin needs --recurrence-n, the N those programs were built for")
    try:
        o.rubric = load_rubric(rubric) if rubric else DEFAULT
        o.programs = [C.parse_variant(text) for text in texts]
        for folder in vars(a).get("program_dirs") or []:
            o.programs += sources.folder_programs(folder)
    except SuiteError as e:  # said the parser's way, with its status 2
        ap.error(str(e))
    return o

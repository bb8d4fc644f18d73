"""What both measuring commands do before the first timed run: the binding, the programs (built
when needed), the recurrence size this machine can take, and the user's own variants."""
import dataclasses
import functools
import os
import random
from typing import List, Optional, Sequence, Tuple

from ompsuite.measure import build, races, sources
from ompsuite import catalogue as C
from ompsuite.measure.calibration import read_calibration
from ompsuite.platform.console import progress
from ompsuite.errors import ProgramFailed, SuiteError
from ompsuite.escape import printable
from ompsuite.platform.files import parse_env_count
from ompsuite.options import MAX_THREADS, Options
from ompsuite.measure.execute import Binding, Executor, PROBE_N, Runner
from ompsuite.platform import machine, topology
from ompsuite.platform.interference import LOAD_CORES, STEAL_CORES, look
from ompsuite.measure.plans import Folders


@dataclasses.dataclass
class Prepared:
    catalogue: C.Catalogue
    binding: Binding
    folders: Folders
    recurrence_n: Optional[int]  # None: the recurrence programs are not run
    size_note: str
    cores: int
    topology: topology.Topology
    default_team: int       # OMP_NUM_THREADS's first level, else the cores
    thread_limit: Optional[int] = None  # OMP_THREAD_LIMIT: no team the runtime gives is larger


def add_variants(catalogue: C.Catalogue, variants: Sequence[C.VariantArg], binding: Binding, runner: Runner,
                 timeout_s: Optional[float], bindir: str, seed: Optional[int]) -> C.Catalogue:
    """The catalogue with each --program NAME=PATH[:KIND] (docs/commands.md, "Your own programs").
    A source is built in bindir's tree; one that does not compile is kept, its rows to fail."""
    # The race check's sizes: a small one, and one drawn from the run's (recorded) seed.
    race_sizes = (races.RACE_N, random.Random(seed).randint(*races.RACE_DRAWN))
    recipe: Optional[sources.Recipe] = None  # read at the first source
    tools: Optional[races.Tools] = None
    missing: List[str] = []
    for name, path, kind in variants:
        if any(p.name == name for p in catalogue):
            raise SuiteError(f"--program {name}: that name is taken; choose another", 2)
        if sources.is_source(path):
            kind = kind or C.PI.name
            catalogue.with_variant(name, path, kind)  # a kind no variant has is refused before anything is built
            tree = machine.own_build_tree(bindir) or os.path.dirname(os.path.abspath(bindir))
            if recipe is None:
                recipe = sources.read_recipe(tree)
                tools, missing = races.find_tools()
            check = functools.partial(race_check, name, C.KINDS[kind], tools, missing, race_sizes)
            binary, made = sources.build_variant(name, path, tree, recipe, check)
            catalogue = catalogue.with_variant(name, binary, kind, made)
            continue
        if problem := build.program_problem(os.path.dirname(os.path.abspath(path)), os.path.basename(path)):
            raise SuiteError(f"--program {name}: {os.path.dirname(path) or '.'} {problem}", 2)
        catalogue = catalogue.with_variant(name, path, kind or read_kind(name, path, binding, runner, timeout_s))
    return catalogue


def race_check(name: str, kind: C.Kind, tools: Optional[races.Tools], missing: List[str], sizes: Tuple[int, int],
               copy: str, workdir: str, include: str) -> Tuple[C.Race, Tuple[str, ...]]:
    """A source's race check (races.check), said in a progress line."""
    race, detail = races.check(copy, kind, workdir, name, tools, missing, include, sizes)
    said = {C.Race.FREE: f"no race ({detail[0]})", C.Race.FOUND: "; ".join(detail),
            C.Race.SKIPPED: f"skipped: {'; '.join(detail)}"}
    progress(f"{name}: race check: {said.get(race, race.value)}")
    return race, detail


def read_kind(name: str, path: str, binding: Binding, runner: Runner, timeout_s: Optional[float] = None) -> str:
    """A variant's kind, from the first line of one untimed run; pi (said) where it cannot be read:
    its runs then fail with their own reason, and every other program is still measured."""
    shown = printable(path, 200)
    progress(f"{name}: one untimed run to read its kind (give {name}={shown}:KIND to skip it)")
    try:
        out = runner.run(os.path.abspath(path), (str(PROBE_N),), binding.env(),
                         timeout_s=min(timeout_s or 60.0, 60.0), isolated=True).out
    except ProgramFailed as e:
        why = e.what
    else:
        if (kind := C.kind_of_output(out)) is not None:
            return kind
        first = out.strip().split("\n", 1)[0]
        why = f"its first line '{printable(first, 60)}' is no kind's report" if first else "it printed nothing"
    progress(f"{name}: its kind cannot be read ({why}), so it is taken as pi; give {name}={shown}:KIND "
             "if it is another")
    return C.PI.name


def prepare(o: Options, teams: Optional[Sequence[int]]) -> Prepared:
    # The runtime would refuse a bad setting only once a program runs, or use its default: refuse it now.
    asked = parse_env_count("OMP_NUM_THREADS", os.environ.get("OMP_NUM_THREADS"), 1, MAX_THREADS)
    binding = Binding(no_bind=o.no_bind)
    if o.calibration:
        read_calibration(o.calibration)  # a bad file is refused before anything is built or run
    topo = topology.discover()
    cores = topology.physical_cores(topo)
    # A team the thread limit cuts down never shares cores: warn of the teams the runtime will give.
    limit = parse_env_count("OMP_THREAD_LIMIT", os.environ.get("OMP_THREAD_LIMIT"))
    if (given := [min(t, limit or t) for t in teams or []]) and max(given) > cores:
        progress(f"note: {max(given)} threads asked for on {cores} cores: threads will share cores, "
                 "and the model has no calibration for such teams")
    catalogue = C.Catalogue()
    bindir = build.release_bin(catalogue, o.bin)
    n, note = build.recurrence_plan(o.recurrence_n)
    growdir = build.recurrence_bin(catalogue, n, bindir, o.recurrence_bin) if n is not None else None
    catalogue = add_variants(catalogue, o.programs, binding, Runner(), o.run_timeout, bindir, o.seed)
    watch = o.machine_watch()
    progress(look(watch.get("load_cores", LOAD_CORES), watch.get("steal_cores", STEAL_CORES)))  # before the long wait
    return Prepared(catalogue, binding, Folders(bindir, growdir), n, note, cores, topo, asked or cores, limit)


def warm_up(o: Options, prep: Prepared, ex: Executor) -> None:
    """One discarded run of the serial fill, so that both fills meet the memory in the same state
    (docs/noise.md, "This virtual machine")."""
    if prep.recurrence_n is None or o.no_warmup:
        return
    warm = prep.catalogue.serial(C.RECURRENCE)
    progress(f"warming up the memory with one {warm.name} run (not shown)")
    ex.runner.run(prep.folders.path(warm), (), prep.binding.env(1), timeout_s=o.run_timeout or 600)

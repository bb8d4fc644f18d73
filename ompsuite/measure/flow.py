"""The one run flow of both measuring commands: prepare, plan, calibrate, run the plan, and the
study of what ran, each finished run handed to the sinks that want it. How a stopped study resumes
from its journal: docs/commands.md, "--resume"."""
from __future__ import annotations

import dataclasses
import hashlib
import json
import os
import random
import time
import typing
from typing import Any, Callable, Dict, List, Optional, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.measure import plans
from ompsuite.measure.calibration import calibrate
from ompsuite.measure.execute import Executor
from ompsuite.measure.prepare import Prepared, prepare, warm_up
from ompsuite.measure.session import Session, Stopped, conclude
from ompsuite.options import Options
from ompsuite.platform import machine, topology
from ompsuite.platform.console import progress
from ompsuite.study import FORMAT, JOURNAL, JOURNAL_MARK, Journal, Journaled, Run, Study, read_journal, \
    variants_json

# The options a plan is made of: a resumed study takes them from its journal.
PLAN_OPTIONS = ("pi_n", "repeats", "threads", "recurrence_n", "recurrence_repeats", "sweep", "weak", "seed",
                "precision", "budget", "bin", "recurrence_bin", "no_bind", "no_calibrate", "calibration",
                "programs", "disturbed_load", "disturbed_steal", "disturbed_lost", "run_timeout", "no_warmup")
# Which machine a journal was made on: its hardware, not its host (a requeued job, docs/cluster.md).
MACHINE_KEYS = ("processor", "cores", "cpus", "memory_gib")


@dataclasses.dataclass(frozen=True)
class Measured:
    study: Study
    prep: Prepared
    modelled: bool
    stopped: Optional[Stopped]


def plan(o: Options, prep: Prepared, order: random.Random, team_report: bool = False) -> List[plans.Job]:
    """The untimed checks, then the timed series interleaved round by round, then the team report."""
    where = (prep.catalogue, prep.folders, prep.binding)
    teams: List[Optional[int]] = list(o.threads) if o.threads else [None]
    timed = plans.strong(*where, teams, o.pi_n, o.repeats, prep.recurrence_n, o.recurrence_repeats, prep.size_note)
    if o.sweep:
        timed += plans.sweep(*where, teams, o.sweep, o.repeats)
    if o.weak and o.threads:
        timed += plans.weak(*where, o.threads, o.weak, o.repeats)
    jobs = plans.small_checks(*where, teams, o.seed) + plans.interleave(timed, order)
    if team_report:
        jobs += plans.team_report(*where, max(o.threads) if o.threads else None)
    return jobs


def header(o: Options, prep: Prepared, jobs: Sequence[plans.Job], facts: Sequence[Tuple[str, str]]) -> Dict[str, Any]:
    """The journal's first line: the machine, the variants and the plan."""
    # Of the environment, what the OpenMP runtimes read: the rest changes from shell to shell.
    planned = [[j.series.value, j.program, j.threads, j.problem_size, j.repeat, list(j.args),
                sorted((k, v) for k, v in j.env.items() if k.startswith(("OMP_", "GOMP_", "KMP_")))] for j in jobs]
    digests = {p.name: machine.digest(prep.folders.path(p)) for p in prep.catalogue
               if p.kind is not C.RECURRENCE or prep.folders.growdir}
    return {"journal": JOURNAL_MARK, "format": FORMAT, "machine": [list(p) for p in facts],
            "variants": variants_json(prep.catalogue),
            "plan": {"options": json.loads(json.dumps({k: getattr(o, k) for k in PLAN_OPTIONS})), "programs": digests,
                     "jobs": hashlib.sha256(json.dumps(planned).encode()).hexdigest()}}


def identity(facts: Sequence[Tuple[str, str]]) -> Dict[str, str]:
    found, memory = dict(facts), dict(facts).get("memory_bytes", "")
    found["memory_gib"] = str(round(int(memory) / 2**30)) if memory.isdigit() else "?"
    return {k: found.get(k, "?") for k in MACHINE_KEYS}


def resumed_options(folder: str, given: Optional[Options]) -> Options:
    """The options of the stopped study in folder: its journal's, or those given when they make
    the same plan (a seed not given is the journal's); SuiteError in one line otherwise."""
    kept = read_journal(os.path.join(folder, JOURNAL))
    options = kept.plan.get("options")
    types = {f.name: f.type for f in dataclasses.fields(Options)}
    if not isinstance(options, dict) or set(options) != set(PLAN_OPTIONS) or \
            not all(_fits(options[k], types[k]) for k in PLAN_OPTIONS):
        raise SuiteError(f"{printable(folder)}/{JOURNAL}: its header holds no plan this version reads", 2)
    if given is None:
        o = Options(**options)
        o.programs = [C.VariantArg(*v) for v in options["programs"]]
    else:
        o = dataclasses.replace(given, seed=options["seed"] if given.seed is None else given.seed)
        now = json.loads(json.dumps({k: getattr(o, k) for k in PLAN_OPTIONS}))
        if k := next((k for k in PLAN_OPTIONS if now[k] != options[k]), None):
            raise SuiteError(f"{printable(folder)}/{JOURNAL} was made for another plan (--{k.replace('_', '-')} "
                             f"{_shown(options[k])} there, {_shown(now[k])} here): give --resume alone", 2)
    o.out = folder
    return o


def _fits(value: Any, tp: Any) -> bool:
    """Whether a value read from JSON has the type an option is declared with."""
    args = typing.get_args(tp)
    if typing.get_origin(tp) is typing.Union:
        return any(_fits(value, a) for a in args)
    if typing.get_origin(tp) is list or (isinstance(tp, type) and issubclass(tp, tuple)):  # VariantArg: a list
        if not isinstance(value, list):
            return False
        types = [args[0]] * len(value) if args else list(typing.get_type_hints(tp).values())
        return len(value) == len(types) and all(map(_fits, value, types))
    if tp is float:
        return isinstance(value, (int, float)) and not isinstance(value, bool)
    return isinstance(value, tp) and (tp is bool or not isinstance(value, bool))


def _shown(value: Any) -> str:
    return printable("off" if value in (None, False) else "on" if value is True else
                     ",".join(map(str, value)) if isinstance(value, list) else str(value), 40)


def check_resumable(kept: Journaled, now: Dict[str, Any], where: str) -> None:
    """Refuse, in one line, a journal made on another machine, by other programs or for another plan."""
    there, here = identity(kept.machine), identity([(k, v) for k, v in now["machine"]])
    if k := next((k for k in MACHINE_KEYS if there[k] != here[k]), None):
        raise SuiteError(f"{where} was made on another machine ({k} {printable(there[k], 30)} there, "
                         f"{printable(here[k], 30)} here)", 2)
    programs, plan = kept.plan.get("programs") or {}, now["plan"]
    if changed := sorted(k for k in {*programs, *plan["programs"]} if programs.get(k) != plan["programs"].get(k)):
        raise SuiteError(f"{where} was made by other programs ({', '.join(changed[:3])} changed since)", 2)
    if kept.plan.get("jobs") != plan["jobs"]:
        raise SuiteError(f"{where} was made for another plan (its jobs differ)", 2)


def measure(o: Options, team_report: bool = False, show: Optional[Callable[[Run], None]] = None) -> Measured:
    """The study o asks for, of every run made, and why it stopped early. o.out: the study folder
    (None: nothing kept); team_report: the team report last; show: a sink for each finished run.
    A journal to resume that does not fit this machine, programs or plan is refused first."""
    out = o.out
    prep = prepare(o, o.threads or [])
    progress(f"threads: {prep.binding.describe()}")
    topo = topology.discover(save_xml_to=os.path.join(out, "topology.xml")) if out else prep.topology
    order = random.Random(o.seed)
    jobs = plan(o, prep, order, team_report)
    names = [(p.name, p.build.source if p.build and p.build.source else prep.folders.path(p))
             for p in prep.catalogue.variants()]
    started = machine.facts(prep.folders.bindir, prep.binding, prep.cores, topo,
                            machine.provenance(prep.folders.bindir, names))
    head = header(o, prep, jobs, started)
    kept: Optional[Journaled] = None
    path = os.path.join(out, JOURNAL) if out else ""
    if out and o.resume:
        kept = read_journal(path)
        check_resumable(kept, head, f"{printable(out)}/{JOURNAL}")
        progress(f"resuming the study in {printable(out)}: {len(kept.runs)} runs kept")
    began = time.monotonic()
    model, calibrated = calibrate(o, prep, os.path.join(out, "calibration.csv") if out else None, quick=out is None)
    ex = Executor(run_timeout=o.run_timeout, load_cores=o.disturbed_load, steal_cores=o.disturbed_steal,
                  lost_cores=o.disturbed_lost)
    warm_up(o, prep, ex)
    journal = Journal(path, head, None if kept is None else kept.size) if out else None
    session = Session(ex, journal=journal, show=show)
    topup = plans.TopUp(jobs, o.precision, o.budget, order)
    stopped = None
    try:
        session.execute(jobs, where=out, topup=topup, done=kept.runs if kept else ())
    except Stopped as e:
        stopped = e
    finally:
        if journal:
            journal.close()
    # Each configuration's first placement: the runs are read last to first.
    placements = {f"placement_{r.program}_{r.threads_requested}": r.placement for r in reversed(session.runs)
                  if r.placement}
    n = prep.recurrence_n
    facts = [*started, ("pi_n", str(o.pi_n)), ("recurrence_n", "" if n is None else str(n)),
             ("recurrence_build", "" if n is None else ("full" if n == C.FULL_N else "reduced")),
             ("repeats", str(o.repeats)), ("recurrence_repeats", str(o.recurrence_repeats)), ("seed", str(o.seed)),
             ("threads", " ".join(map(str, o.threads or []))),
             ("variants", " ".join(f"{e.name}={e.path}:{e.kind.name}" for e in prep.catalogue.variants())),
             ("calibration", "measured" if model and not o.calibration else (o.calibration or "none")),
             ("calibration_s", f"{calibrated:.1f}"), ("duration_s", f"{time.monotonic() - began:.1f}"),
             ("completed", "yes" if not stopped else f"no: {stopped}"), *sorted(placements.items())]
    study = conclude(session, prep.catalogue, model, topup, facts, stopped, machine.context(topo))
    return Measured(study, prep, model is not None, stopped)


"""Running a planned list of jobs: each run is checked and saved before the next starts, and
whatever stops the list stops it cleanly with everything measured so far kept. The executor is
passed in, so that the scheduling can be tested with one that starts no process."""
from __future__ import annotations

import dataclasses
import time
from typing import Any, Callable, List, Mapping, Optional, Protocol, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.analyse import derive
from ompsuite.analyse.model import Model
from ompsuite.analyse.validate import Validator
from ompsuite.errors import Interrupted, SuiteError
from ompsuite.measure.plans import Job, TopUp
from ompsuite.platform import machine
from ompsuite.platform.console import RunProgress
from ompsuite.platform.signals import shielded
from ompsuite.study import Journal, Run, Study


class Executor(Protocol):
    shortfalls: List[str]

    def run(self, job: Job) -> Run: ...


class Stopped(SuiteError):
    """The list stopped early; carries the reason's status."""


def job_label(k: int, total: int, job: Job) -> str:
    return (f"[{k}/{total}] {job.program}" + (f" threads={job.threads}" if job.threads else "") +
            (f" N={job.problem_size}" if job.problem_size else "") + f" repeat={job.repeat}")


class Session:
    def __init__(self, executor: Executor, journal: Optional[Journal] = None,
                 show: Optional[Callable[[Run], None]] = None, live: Optional[bool] = None) -> None:
        self.executor = executor
        self.validator = Validator()
        self.journal = journal    # runs.jsonl, or None when nothing is saved to a file
        self.show = show          # called with each finished Run (for printing), or None
        self.live = live          # progress in place (None: when standard error is a terminal)
        self.runs: List[Run] = []

    def execute(self, jobs: Sequence[Job], where: Optional[str] = None, topup: Optional[TopUp] = None,
                done: Sequence[Run] = ()) -> List[Run]:
        """Run every job in order, then the rounds topup asks for; on any stop, raise Stopped with
        'M of N runs saved in DIR'. done: the runs of a stopped study, which stand for its first
        jobs (each must be its job's run: SuiteError otherwise)."""
        jobs = list(jobs)
        shown = RunProgress(jobs, live=self.live)
        try:
            k = 0
            while k < len(jobs) or (topup is not None and self._more(jobs, topup)):
                job = jobs[k]
                k += 1
                if k <= len(done):
                    run = done[k - 1]
                    if (run.config, run.repeat) != (job.config, job.repeat):
                        raise SuiteError(f"the journal's run {k} ({job_label(k, len(jobs), job)}) is not the "
                                         "plan's: it was made for another plan", 2)
                    self.runs.append(dataclasses.replace(run, check=self.validator.check(run)))
                    continue
                shown.start(k, job_label(k, len(jobs), job))
                began = time.monotonic()
                run = self.executor.run(job)
                shown.done(k, time.monotonic() - began)
                run = dataclasses.replace(run, check=self.validator.check(run))
                # Its output is shown (or not) now and never again: kept, 300 runs of a chatty program
                # would fill the memory.
                kept = dataclasses.replace(run, output="")
                # A run counts once its line is whole in the journal: the study is then made of the
                # runs the journal holds, whatever stops the list (a full disk, a signal meanwhile).
                with shielded():
                    if self.journal:
                        self.journal.add(kept)
                    self.runs.append(kept)
                if self.show:
                    self.show(run)
            if len(done) > len(jobs):
                raise SuiteError(f"the journal holds {len(done)} runs, more than its plan's {len(jobs)}", 2)
        except (KeyboardInterrupt, Interrupted, SuiteError, OSError) as e:
            if isinstance(e, KeyboardInterrupt):
                e = Interrupted(2)
            elif isinstance(e, OSError):
                e = SuiteError(f"{e.strerror or e}" + (f": {e.filename}" if e.filename else ""))
            saved = f"; {len(self.runs)} of {len(jobs)} runs saved in {where}" if where else ""
            raise Stopped(f"{e}{saved}", getattr(e, "status", 1)) from None
        finally:
            shown.close()
        return self.runs

    def _more(self, jobs: List[Job], topup: TopUp) -> bool:
        extra = topup.round(self.runs)
        jobs += extra
        return bool(extra)


def conclude(session: Session, catalogue: C.Catalogue, model: Optional[Model], topup: TopUp,
             facts: Sequence[Tuple[str, str]], stopped: Optional[Stopped],
             context: Optional[Mapping[str, Any]] = None) -> Study:
    """The study of the runs kept so far: every figure derived from them in one place."""
    rows = derive.summaries(session.runs, catalogue, model, topup.untrusted, topup.imprecise)
    level = dict(facts).get("pi_level", "")
    if level in machine.LEVEL_WHY:  # the build, not the code, sets the pace
        rows = [r.with_note(f"{level}: {machine.LEVEL_WHY[level]}")
                if r.program_entry.kind is C.PI and not r.program_entry.variant else r for r in rows]
    return Study(tuple(facts), catalogue, tuple(session.runs), tuple(rows),
                 model.figures if model else None, tuple(derive.crossovers(rows, model)),
                 tuple(session.executor.shortfalls + topup.precision_lines(rows)), stopped is None,
                 "" if stopped is None else str(stopped), dict(context or {}))

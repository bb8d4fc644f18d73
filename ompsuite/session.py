"""Running a planned list of jobs: each run is read, checked and saved before the next starts,
and whatever stops the list (a failing program, Ctrl-C, SIGTERM, an OS error) stops it cleanly
with everything measured so far kept."""
import dataclasses
import os

from . import programs as P
from .cli import Interrupted, SuiteError, progress
from .validate import Validator


@dataclasses.dataclass
class Job:
    series: str
    program: str
    threads: int          # requested; None for the runtime's default team
    problem_size: int
    size_note: str
    repeat: int
    path: str
    args: tuple
    env: dict


class Stopped(SuiteError):
    """The list stopped early; carries the reason's status and the runs kept."""


class Session:
    def __init__(self, log=None, show=None):
        self.runner = P.Runner()
        self.validator = Validator()
        self.log = log            # a RunLog, or None when nothing is saved to a file
        self.show = show          # called with each finished Run (for printing), or None
        self.runs = []
        self.teams = {}           # (program, env key) -> (threads, placement)
        self.shortfalls = []      # lines about teams smaller than asked for

    def team(self, job):
        """Threads obtained for a pi program in exactly the job's environment (one untimed run)."""
        key = (job.program, tuple(sorted(job.env.items())))
        if key not in self.teams:
            self.teams[key] = self.runner.team(job.path, ("1000",), job.env)
        return self.teams[key]

    def run_job(self, job):
        env = dict(job.env, **P.AFFINITY_ENV) if job.program == "growsplit" else job.env
        placement = ""
        if job.program in ("quadguard", "quadmerge"):
            threads, placement = self.team(job)
        out, _, affinity = self.runner.run(job.path, job.args, env)
        if job.program == "growsplit":
            threads, placement = affinity or (1, "")
        elif job.program in P.SERIAL:
            threads = 1
        elif job.program == "teamtally":
            threads = 0  # from its own report, below
        run = P.Run(job.series, job.program, job.threads, threads, job.problem_size, job.size_note, job.repeat)
        P.read_lines(run, out)
        self.validator.check(run)
        run.placement = placement
        if job.program in P.PARALLEL and job.threads and run.threads < job.threads:
            line = f"{job.program}: asked for {job.threads} threads, the runtime gave {run.threads}"
            if line not in self.shortfalls:
                self.shortfalls.append(line)
                progress(line)
        return run

    def execute(self, jobs, where=None):
        """Run every job in order; on any stop, raise Stopped with 'M of N runs saved in DIR'."""
        try:
            for k, job in enumerate(jobs, 1):
                size = f" N={job.problem_size}" if job.problem_size else ""
                progress(f"[{k}/{len(jobs)}] {job.program}" + (f" threads={job.threads}" if job.threads else "") +
                         f"{size} repeat={job.repeat}")
                run = self.run_job(job)
                self.runs.append(run)
                if self.log:
                    self.log.add(run)
                if self.show:
                    self.show(run)
        except (KeyboardInterrupt, Interrupted, SuiteError, OSError) as e:
            if isinstance(e, KeyboardInterrupt):
                e = Interrupted(2)
            elif isinstance(e, OSError):
                e = SuiteError(f"{e.strerror or e}" + (f": {e.filename}" if e.filename else ""))
            saved = f"; {len(self.runs)} of {len(jobs)} runs saved in {where}" if where else ""
            raise Stopped(f"{e}{saved}", e.status) from None
        return self.runs

    def failures(self):
        return [r for r in self.runs if r.check != "ok"]

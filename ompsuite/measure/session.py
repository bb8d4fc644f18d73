"""Running a planned list of jobs: each run is read, checked and saved before the next starts,
and whatever stops the list (a failing program, Ctrl-C, SIGTERM, an OS error) stops it cleanly
with everything measured so far kept."""
import time

from ompsuite.platform.console import RunProgress
from ompsuite.errors import Interrupted, SuiteError
from ompsuite.measure.execute import Executor
from ompsuite.platform.signals import shielded
from ompsuite.analyse.validate import Validator


class Stopped(SuiteError):
    """The list stopped early; carries the reason's status and the runs kept."""


def job_label(k, total, job):
    size = f" N={job.problem_size}" if job.problem_size else ""
    return (f"[{k}/{total}] {job.program}" + (f" threads={job.threads}" if job.threads else "") +
            f"{size} repeat={job.repeat}")


class Session:
    def __init__(self, log=None, show=None, executor=None):
        self.executor = executor or Executor()
        self.validator = Validator()
        self.log = log            # a RunLog, or None when nothing is saved to a file
        self.show = show          # called with each finished Run (for printing), or None
        self.runs = []

    @property
    def shortfalls(self):
        return self.executor.shortfalls

    def execute(self, jobs, where=None, topup=None):
        """Run every job in order, then the rounds topup (a plans.TopUp) asks for; on any stop,
        raise Stopped with 'M of N runs saved in DIR'."""
        jobs = list(jobs)
        shown = RunProgress(jobs)
        try:
            k = 0
            while k < len(jobs) or (topup and self._more(jobs, topup)):
                job = jobs[k]
                k += 1
                shown.start(k, job_label(k, len(jobs), job))
                began = time.monotonic()
                run = self.executor.run(job)
                shown.done(k, time.monotonic() - began)
                self.validator.check(run)
                # A run counts once its row is whole in the log: the summary is then made of the
                # runs the log holds, whatever stops the list (a full disk, a signal meanwhile).
                with shielded():
                    if self.log:
                        self.log.add(run.row())
                    self.runs.append(run)
                if self.show:
                    self.show(run)
        except (KeyboardInterrupt, Interrupted, SuiteError, OSError) as e:
            if isinstance(e, KeyboardInterrupt):
                e = Interrupted(2)
            elif isinstance(e, OSError):
                e = SuiteError(f"{e.strerror or e}" + (f": {e.filename}" if e.filename else ""))
            kept = self.log.count if self.log else len(self.runs)  # whole rows only
            saved = f"; {kept} of {len(jobs)} runs saved in {where}" if where else ""
            raise Stopped(f"{e}{saved}", e.status) from None
        finally:
            shown.close()
        return self.runs

    def _more(self, jobs, topup):
        extra = topup.round(self.runs)
        jobs += extra
        return bool(extra)

    def failures(self):
        return [r for r in self.runs if not r.check.ok]

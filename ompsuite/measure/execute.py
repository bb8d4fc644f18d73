"""Running programs: the OpenMP environment they get, one run of one program, the team the
runtime gave it, and the record of that run."""
import dataclasses
import math
import os
import re
import struct
import time
from typing import Dict, List, Mapping, Optional, Sequence, Set, Tuple

from ompsuite.platform import sandbox
from ompsuite.platform.child import run_child, signal_name
from ompsuite.platform.console import progress
from ompsuite.errors import ProgramFailed, SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.platform.interference import Interference, Snapshot, Usage, disturbed
from ompsuite import catalogue as C
from ompsuite.measure.build import unchanged
from ompsuite.measure.plans import Job
from ompsuite.study import NOT_RUN_AGAIN, Run

# The runtime prints one such line per thread at its first parallel region.
_AFFINITY_TAG = "ompsuite-affinity"
AFFINITY_ENV = {"OMP_DISPLAY_AFFINITY": "TRUE", "OMP_AFFINITY_FORMAT": f"{_AFFINITY_TAG} %n %N %A"}
_AFFINITY_LINE = re.compile(rf"^{_AFFINITY_TAG} (\d+) (\d+) (.*)$\n?", re.M)
PROBE_N = 1000  # the untimed run that learns a pi program's team: no work to speak of
OUTPUT_CAP = 1 << 20  # bytes of each stream kept: the programs print a few lines; more is a fault
TIMED_OUT = 124  # the status timeout(1) gives, for a run stopped at its limit
MAX_TEAM = 4096  # a larger team in a report is a garbled line, not a team

Affinity = Tuple[int, str]  # (team size, placement) as the runtime's affinity lines report them


class Binding:
    """How threads are placed (docs/commands.md, "Binding"): the suite binds only where the user
    did not, so that runs compare from one time to the next."""

    def __init__(self, no_bind: bool = False, base: Optional[Mapping[str, str]] = None) -> None:
        self.base: Dict[str, str] = dict(os.environ if base is None else base)
        user = {k: self.base[k] for k in ("OMP_PROC_BIND", "OMP_PLACES") if k in self.base}
        if no_bind:
            self.settings, self.origin = {"OMP_PROC_BIND": "false"}, "unbound (--no-bind)"
        elif user:
            self.settings, self.origin = user, "the user's own"
        else:
            self.settings, self.origin = {"OMP_PROC_BIND": "close", "OMP_PLACES": "cores"}, "the suite's default"

    def env(self, threads: Optional[int] = None) -> Dict[str, str]:
        env = dict(self.base)
        if self.settings.get("OMP_PROC_BIND") == "false":
            env.pop("OMP_PLACES", None)
        env.update(self.settings)
        if threads is not None:
            env["OMP_NUM_THREADS"] = str(threads)
        return env

    def describe(self) -> str:
        return " ".join(f"{k}={v}" for k, v in sorted(self.settings.items())) + f" ({self.origin})"


def affinity_of(text: str) -> Optional[Affinity]:
    """(team size, placement) from the runtime's affinity lines in a program's output, or None."""
    threads = {int(m.group(1)): (int(m.group(2)), m.group(3)) for m in _AFFINITY_LINE.finditer(text)
               if len(m.group(1)) < 6 and len(m.group(2)) < 6}
    if not threads or max(t for t, _ in threads.values()) > MAX_TEAM:
        return None
    return max(t for t, _ in threads.values()), " ".join(f"{n}:{{{p}}}" for n, (_, p) in sorted(threads.items()))


@dataclasses.dataclass
class Outcome:
    """One finished run: its output without the affinity lines, the team they gave, its interference record."""
    out: str
    err: str
    affinity: Optional[Affinity]
    interference: Interference
    wall_s: float
    over_cap: str = ""           # the stream that passed the output cap, or ""


class Runner:
    """Runs programs as run_child does, each with the interference record around it (docs/noise.md)."""

    def __init__(self, output_cap: int = OUTPUT_CAP, grace_s: float = 2.0) -> None:
        self.seen_messages: Set[Tuple[str, str]] = set()
        self.output_cap, self.grace_s = output_cap, grace_s
        try:
            self.cpus_allowed = len(os.sched_getaffinity(0))
        except (AttributeError, OSError):
            self.cpus_allowed = os.cpu_count() or 1

    def run(self, path: str, args: Sequence[str] = (), env: Optional[Mapping[str, str]] = None,
            timeout_s: Optional[float] = None, isolated: bool = False) -> Outcome:
        """An Outcome, its affinity lines taken out of both streams (docs/commands.md, "Teams");
        ProgramFailed when the program fails, is killed, cannot be started or runs past timeout_s.
        isolated: a user's program, run in the sandbox."""
        name = os.path.basename(path)
        path = os.path.abspath(path)  # the sandbox starts it from its scratch folder
        argv = [path, *args]
        try:
            if isolated and (problem := not_a_program(path)):
                raise SuiteError(f"cannot start {printable(path)}: {problem}")
            before = Snapshot.take()
            if isolated:
                done = sandbox.run(argv, [os.path.dirname(path)], os.environ if env is None else env, timeout_s,
                                   self.grace_s, self.output_cap)
            else:
                done = run_child(argv, env=env, timeout_s=timeout_s, grace_s=self.grace_s, output_cap=self.output_cap)
            after = Snapshot.take()
        except SuiteError as e:  # it cannot be started: that program's fault alone
            why = str(e).removeprefix(f"cannot start {printable(path)}: ")
            raise ProgramFailed(f"{name} cannot be started: {why}", 126, f"cannot be started: {why}") from None
        usage = Usage.from_rusage(done.rusage) if done.rusage is not None else None
        record = Interference.build(before, after, usage, done.wall_s, self.cpus_allowed)
        out, err = _AFFINITY_LINE.sub("", done.stdout), _AFFINITY_LINE.sub("", done.stderr)
        returncode = done.returncode
        for line in err.splitlines()[:20]:  # runtime messages go on to our stderr, once per distinct line
            if line.strip() and (name, line) not in self.seen_messages and len(self.seen_messages) < 100:
                self.seen_messages.add((name, line))
                progress(f"{name} says on stderr: {printable(line, 300)}")
        if done.timed_out:
            raise ProgramFailed(f"{name} ran past its {timeout_s:.0f}-second limit and was stopped "
                                "(--run-timeout sets the limit)", TIMED_OUT,
                                f"stopped at its {timeout_s:.0f} s limit (--run-timeout sets it)")
        if returncode is None and isolated and not done.over_cap:
            raise ProgramFailed(f"{name}: its sandbox ended during the run", 1, "its sandbox ended during the run")
        if returncode is not None and returncode < 0 and not done.over_cap:
            sig = signal_name(-returncode)
            raise ProgramFailed(f"{name} was killed by {sig}", 128 - returncode, f"killed by {sig}")
        if returncode and not done.over_cap:
            lines = err.strip().splitlines()
            detail = printable(lines[-1], 200) if lines else "no message"
            raise ProgramFailed(f"{name} failed with status {returncode}: {detail}", returncode,
                                f"failed with status {returncode}: {detail}")
        return Outcome(out, err, affinity_of(done.stdout + done.stderr), record, done.wall_s, done.over_cap)


class Executor:
    """Runs one job into one Run record, learning the team as the program's entry says."""

    def __init__(self, runner: Optional[Runner] = None, run_timeout: Optional[float] = None,
                 load_cores: Optional[float] = None, steal_cores: Optional[float] = None,
                 lost_cores: Optional[float] = None) -> None:
        self.runner = runner or Runner()
        self.teams: Dict[Tuple[str, Tuple[Tuple[str, str], ...]], Optional[Affinity]] = {}  # by program, environment
        self.shortfalls: List[str] = []  # lines about teams smaller than asked for
        self.unknown: Set[str] = set()  # programs whose runtime printed no affinity report
        self.run_timeout = run_timeout  # seconds, or None: derived per configuration
        self.thresholds = {k: v for k, v in dict(load_cores=load_cores, steal_cores=steal_cores,
                                                 lost_cores=lost_cores).items() if v is not None}
        self.longest: Dict[Tuple[str, Optional[int], int], float] = {}  # configuration -> its longest run so far
        self.life: Dict[str, float] = {}  # program -> the lifetime of one of its runs that did no work
        # A variant's failed team probe (by program, environment), and the configurations where it was
        # stopped at its limit: not started again, so that a hanging variant costs one limit, not one a run.
        self.probe_faults: Dict[Tuple[str, Tuple[Tuple[str, str], ...]], str] = {}
        self.hung: Dict[Tuple[str, Optional[int]], Tuple[int, str]] = {}  # (program, team) -> (least N, why)

    def limit(self, job: Job) -> float:
        """The run's wall-clock limit (docs/noise.md, "Re-runs and the budget")."""
        if self.run_timeout:
            return self.run_timeout
        seen = self.longest.get((job.path, job.threads, job.problem_size))
        return 60.0 + (20 * seen if seen is not None else 1e-7 * max(job.problem_size, 1))

    def probe(self, job: Job) -> Optional[Affinity]:
        """The team of a program in exactly the job's environment, from one untimed run."""
        key = _probe_key(job)
        if key in self.probe_faults:
            raise ProgramFailed(self.probe_faults[key], what=NOT_RUN_AGAIN + self.probe_faults[key])
        if key not in self.teams:
            try:
                done = self.runner.run(job.path, job.entry.args(PROBE_N), dict(job.env, **AFFINITY_ENV),
                                       timeout_s=self.limit(job), isolated=job.entry.variant)
            except ProgramFailed as e:
                if job.entry.variant:
                    self.probe_faults[key] = e.what = (f"{e.what}, in its untimed run at N = {PROBE_N} "
                                                       "that learns its team")
                raise
            self.teams[key] = done.affinity
            # A run doing no work is the program's start and end: what timed teams may spend on one thread.
            self.life[job.path] = min(self.life.get(job.path, done.wall_s), done.wall_s)
        return self.teams[key]

    def run(self, job: Job) -> Run:
        """The job's run: a variant's fault (no build, a crash or failure, a hang) is its run's, failing
        its check alone; a program of the suite that fails raises ProgramFailed, and the session stops."""
        entry = job.entry
        if not entry.variant:
            return self._run(job)
        team, n = (job.path, job.threads), job.problem_size
        reason = entry.build.failure if entry.build and entry.build.error else ""
        if not reason and team in self.hung and self.hung[team][0] <= n:
            reason = f"{NOT_RUN_AGAIN}{self.hung[team][1]} at N = {self.hung[team][0]} with this team"
        if not reason:
            try:
                return self._run(job)
            except ProgramFailed as e:
                reason = e.what
                if e.status == TIMED_OUT and _probe_key(job) not in self.probe_faults and team not in self.hung:
                    self.hung[team] = (n, e.what)  # a larger N would hang as long, or longer
        return Run(job.config, None, job.repeat, job.size_note, started=time.time(), fault=reason, entry=entry)

    def _run(self, job: Job) -> Run:
        entry = job.entry
        env = dict(job.env, **AFFINITY_ENV) if entry.team is C.Team.OWN else dict(job.env)
        team = self.probe(job) if entry.team is C.Team.PROBE else None
        started = time.time()
        unchanged(job.path)
        done = self.runner.run(job.path, job.args, env, timeout_s=self.limit(job), isolated=entry.variant)
        if entry.team is C.Team.OWN:
            team = done.affinity
        key = (job.path, job.threads, job.problem_size)
        self.longest[key] = max(self.longest.get(key, 0.0), done.wall_s)
        fault = ""
        if done.over_cap:
            fault = f"it printed more than {self.runner.output_cap >> 20} MiB on {done.over_cap} and was stopped"
        threads: Optional[int] = 1 if entry.team is C.Team.ONE else None
        placement = ""
        found = entry.kind.read(done.out)
        if entry.team in (C.Team.PROBE, C.Team.OWN):
            if team is None and job.threads == 1:
                team = (1, "")  # a runtime may print no report for a team of one: it cannot be larger
            if team is not None:
                threads, placement = team
            elif "result" in found and entry.name not in self.unknown:  # no result: it fails for that instead
                self.unknown.add(entry.name)
                progress(f"{entry.name}: the OpenMP runtime printed no affinity report (it may predate OpenMP 5.0), "
                         "so its team size is unknown: its speedup is shown, its efficiency is not")
        team_reported: Optional[int] = None
        if "team" in found:
            if int(found["team"][:6]) <= MAX_TEAM:
                team_reported = int(found["team"])
            else:
                fault = fault or (f"it reports a team of {printable(found['team'], 20)} threads, more than the "
                                  f"{MAX_TEAM} the tools take: a garbled line")
        if entry.team is C.Team.REPORT:
            threads = team_reported
        time_s = _time(found.get("time"))
        if "conflict" in found:
            fault = fault or f"it printed {found['conflict']} different results: its report contradicts itself"
        if "time" in found and time_s is None:
            fault = fault or f"its time of {len(found['time'])} characters is no finite number of seconds"
        elif time_s is not None and time_s < 0:
            fault = fault or f"its time {printable(found['time'], 20)} s is negative"
        printed_n = None
        if "printed_n" in found:
            if len(found["printed_n"].lstrip("-")) <= 20:  # Python refuses integers of thousands of digits
                printed_n = int(found["printed_n"])
            else:
                fault = fault or f"it printed an N of {len(found['printed_n'])} characters: a garbled line"
        why = ""
        if entry.kind.timed:
            # Only a program whose whole life is its team's work is judged by its team's CPU time: the
            # fills wait on the kernel's page faults and check their array on one thread.
            busy = threads if entry.kind.parallel_throughout else None
            why = disturbed(done.interference, threads=busy, life_s=self.life.get(job.path),
                            **self.thresholds) or ""
        if entry.parallel and job.threads and threads is not None and threads != job.threads:
            if threads < job.threads and may_cut_teams(job.env):
                line = f"{entry.name}: asked for {job.threads} threads, the runtime gave {threads}"
                if line not in self.shortfalls:
                    self.shortfalls.append(line)
                    progress(line)
            else:
                fault = fault or f"ignores the team asked for: asked {job.threads}, ran {threads}"
        return Run(job.config, threads, job.repeat, job.size_note, time_s, found.get("result", ""),
                   found.get("check_value", ""), disturbed=why, started=started, placement=placement,
                   printed_n=printed_n, team_reported=team_reported, fault=fault, interference=done.interference,
                   entry=entry, output=done.out)


def may_cut_teams(env: Mapping[str, str]) -> bool:
    """Whether the runtime may give a smaller team than asked for: OMP_THREAD_LIMIT caps every
    team, OMP_DYNAMIC lets it choose. Without either it gives the team asked for (on a machine
    with fewer cores it shares them), so another team is the program's own doing."""
    return bool(env.get("OMP_THREAD_LIMIT", "").strip()) or \
        env.get("OMP_DYNAMIC", "").strip().lower() in ("true", "1", "yes", "on")


def _probe_key(job: Job) -> Tuple[str, Tuple[Tuple[str, str], ...]]:
    return job.path, tuple(sorted(job.env.items()))


def not_a_program(path: str) -> str:
    """Why the file at path is no program the system can start, or "": a script (#!), or a 64-bit
    ELF file holding its whole table of program headers. A shell would run anything else."""
    try:
        with open(path, "rb") as f:
            head, size = f.read(64), os.fstat(f.fileno()).st_size
    except OSError as e:
        return os_reason(e)
    if head.startswith(b"#!"):
        return ""
    if len(head) < 64 or head[:5] != b"\x7fELF\x02":
        return "not a program (neither a 64-bit ELF file nor a script)"
    (phoff,), (entsize, count) = struct.unpack_from("<Q", head, 32), struct.unpack_from("<HH", head, 54)
    return "a cut-short program" if phoff + entsize * count > size else ""


def _time(text: Optional[str]) -> Optional[float]:
    """A printed time in seconds; None when none was printed or it is no finite time."""
    if text is None:
        return None
    try:
        value = float(text)
    except (ValueError, OverflowError):
        return None
    return value if math.isfinite(value) else None

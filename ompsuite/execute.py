"""Running programs: the OpenMP environment they get, one run of one program, the team the
runtime gave it, and the record of that run."""
import os
import re
import signal
import subprocess

from .console import progress
from .errors import Interrupted, ProgramFailed, SuiteError
from .records import Run

# The runtime prints one such line per thread at its first parallel region.
_AFFINITY_TAG = "ompsuite-affinity"
AFFINITY_ENV = {"OMP_DISPLAY_AFFINITY": "TRUE", "OMP_AFFINITY_FORMAT": f"{_AFFINITY_TAG} %n %N %A"}
_AFFINITY_LINE = re.compile(rf"^{_AFFINITY_TAG} (\d+) (\d+) (.*)$\n?", re.M)
PROBE_N = 1000  # the untimed run that learns a pi program's team: no work to speak of


class Binding:
    """How threads are placed. The user's own OMP_PROC_BIND / OMP_PLACES are kept as they are;
    only when neither is set does the suite bind (close, one thread per core) so that runs are
    comparable from one time to the next. --no-bind asks for unbound threads explicitly."""

    def __init__(self, no_bind=False, base=None):
        self.base = dict(os.environ if base is None else base)
        user = {k: self.base[k] for k in ("OMP_PROC_BIND", "OMP_PLACES") if k in self.base}
        if no_bind:
            self.settings, self.origin = {"OMP_PROC_BIND": "false"}, "unbound (--no-bind)"
        elif user:
            self.settings, self.origin = user, "the user's own"
        else:
            self.settings, self.origin = {"OMP_PROC_BIND": "close", "OMP_PLACES": "cores"}, "the suite's default"

    def env(self, threads=None):
        env = dict(self.base)
        if self.settings.get("OMP_PROC_BIND") == "false":
            env.pop("OMP_PLACES", None)
        env.update(self.settings)
        if threads is not None:
            env["OMP_NUM_THREADS"] = str(threads)
        return env

    def describe(self):
        return " ".join(f"{k}={v}" for k, v in sorted(self.settings.items())) + f" ({self.origin})"


def affinity_of(text):
    """(team size, placement) from the runtime's affinity lines in a program's output, or None."""
    threads = {int(m.group(1)): (int(m.group(2)), m.group(3)) for m in _AFFINITY_LINE.finditer(text)}
    if not threads:
        return None
    return max(t for t, _ in threads.values()), " ".join(f"{n}:{{{p}}}" for n, (_, p) in sorted(threads.items()))


class Runner:
    """Starts programs and returns their standard output. The runtime's own messages on standard
    error are passed on to the user, once per distinct text, never swallowed."""

    def __init__(self):
        self.seen_messages = set()

    def run(self, path, args=(), env=None):
        """(standard output, standard error, (team, placement) or None): the runtime's affinity
        lines, on whichever stream it writes them (libgomp stderr, LLVM's runtime stdout), are
        taken out of both and read."""
        name = os.path.basename(path)
        try:
            proc = subprocess.Popen([path, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True, errors="replace")
        except OSError as e:
            raise SuiteError(f"cannot start {path}: {e.strerror}") from None
        try:
            out, err = proc.communicate()
        except (KeyboardInterrupt, Interrupted):
            # Ctrl-C reaches the child too; SIGTERM/SIGHUP reached only us: stop the child either way.
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
            proc.wait()
            raise
        affinity = affinity_of(out + err)
        out, err = _AFFINITY_LINE.sub("", out), _AFFINITY_LINE.sub("", err)
        self._pass_on(name, err)
        if proc.returncode < 0:
            sig = signal.Signals(-proc.returncode)
            raise ProgramFailed(f"{name} was killed by {sig.name}", 128 + sig.value)
        if proc.returncode != 0:
            detail = err.strip().splitlines()[-1] if err.strip() else "no message"
            raise ProgramFailed(f"{name} failed with status {proc.returncode}: {detail}", proc.returncode)
        return out, err, affinity

    def _pass_on(self, name, err):
        """Runtime messages go on to our stderr, once per distinct line."""
        for line in err.splitlines():
            if line.strip() and (name, line) not in self.seen_messages:
                self.seen_messages.add((name, line))
                progress(f"{name} says on stderr: {line}")


class Executor:
    """Runs one job into one Run record, learning the team as the program's entry says."""

    def __init__(self, runner=None):
        self.runner = runner or Runner()
        self.teams = {}           # (program, environment) -> (threads, placement) or None
        self.shortfalls = []      # lines about teams smaller than asked for
        self.unknown = set()      # programs whose runtime printed no affinity report

    def probe(self, job):
        """The team of a program in exactly the job's environment, from one untimed run."""
        key = (job.path, tuple(sorted(job.env.items())))
        if key not in self.teams:
            self.teams[key] = self.runner.run(job.path, job.entry.args(PROBE_N), dict(job.env, **AFFINITY_ENV))[2]
        return self.teams[key]

    def run(self, job):
        entry = job.entry
        env = dict(job.env, **AFFINITY_ENV) if entry.team == "own" else job.env
        team = self.probe(job) if entry.team == "probe" else None
        out, _, affinity = self.runner.run(job.path, job.args, env)
        if entry.team == "own":
            team = affinity
        run = Run(job.series, entry.name, job.threads, 1 if entry.team == "one" else None, job.problem_size,
                  job.size_note, job.repeat, entry=entry, output=out)
        if entry.team in ("probe", "own"):
            if team is None and job.threads == 1:
                team = (1, "")  # a runtime may print no report for a team of one: it cannot be larger
            if team is None:
                self._unknown(entry.name)
            else:
                run.threads, run.placement = team
        found = entry.kind.read(out)
        run.result = found.get("result", "")
        run.check_value = found.get("check_value", "")
        run.time_s = float(found["time"]) if "time" in found else None
        run.printed_n = int(found["printed_n"]) if "printed_n" in found else None
        run.team_reported = int(found["team"]) if "team" in found and len(found["team"]) < 7 else None
        if entry.team == "report":
            run.threads = run.team_reported
        if entry.parallel and job.threads and run.threads is not None and run.threads < job.threads:
            line = f"{entry.name}: asked for {job.threads} threads, the runtime gave {run.threads}"
            if line not in self.shortfalls:
                self.shortfalls.append(line)
                progress(line)
        return run

    def _unknown(self, name):
        if name not in self.unknown:
            self.unknown.add(name)
            progress(f"{name}: the OpenMP runtime printed no affinity report (it may predate OpenMP 5.0), "
                     "so its team size is unknown: its speedup is shown, its efficiency is not")


def warn_oversubscribed(threads, cores):
    if threads and max(threads) > cores:
        progress(f"note: {max(threads)} threads asked for on {cores} cores: threads will share cores, "
                 "and the model has no calibration for such teams")

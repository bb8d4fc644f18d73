"""Building the programs, running them in a chosen OpenMP environment, and reading their lines.

Every run becomes one Run record that the later stages (validation, statistics, reports, plots)
pass on unchanged, so the CSV, the tables and the plot can never disagree.
"""
import dataclasses
import os
import re
import shutil
import signal
import subprocess
import time

from .cli import Interrupted, SuiteError, progress

ROOT = os.path.dirname(os.path.dirname(os.path.realpath(__file__)))
PI_PROGRAMS = ("quadplain", "quadguard", "quadmerge")
GROW_PROGRAMS = ("growplain", "growsplit")
ALL_PROGRAMS = PI_PROGRAMS + GROW_PROGRAMS + ("teamtally",)
TIMED = PI_PROGRAMS + GROW_PROGRAMS
BASELINE = {"quadguard": "quadplain", "quadmerge": "quadplain", "growsplit": "growplain"}
SERIAL = ("quadplain", "growplain")
PARALLEL = ("quadguard", "quadmerge", "growsplit")
PI_MAX_N = 2147483647
RECURRENCE_MAX_N = 2147483646
FULL_N = 2000000000
FULL_NEED = 17 * 10**9  # bytes of available memory a full-size recurrence program needs
REDUCED_N = 200000000

# The runtime prints one such line per thread at its first parallel region (on stderr).
_AFFINITY_TAG = "ompsuite-affinity"
AFFINITY_ENV = {"OMP_DISPLAY_AFFINITY": "TRUE", "OMP_AFFINITY_FORMAT": f"{_AFFINITY_TAG} %n %N %A"}
_AFFINITY_LINE = re.compile(rf"^{_AFFINITY_TAG} (\d+) (\d+) (.*)$\n?", re.M)


@dataclasses.dataclass
class Run:
    """One run of one program: what was asked, what the program printed, and its check."""
    series: str
    program: str
    threads_requested: int
    threads: int
    problem_size: int
    size_note: str
    repeat: int
    time_s: float = None
    result: str = ""
    check_value: str = ""
    check: str = ""
    output: str = dataclasses.field(default="", repr=False)
    printed_n: int = dataclasses.field(default=None, repr=False)

    FIELDS = ("series", "program", "threads_requested", "threads", "problem_size", "size_note", "repeat",
              "time_s", "result", "check_value", "check")

    def row(self):
        return {f: ("" if getattr(self, f) is None else getattr(self, f)) for f in self.FIELDS}


class ProgramFailed(SuiteError):
    pass


def kind(program):
    return "pi" if program.startswith("quad") else ("grow" if program.startswith("grow") else "team")


_LINES = {
    "pi": re.compile(r"^pi = (?P<result>\S+), N = +(?P<n>-?\d+), time = (?P<time>\d+\.\d+) secs$", re.M),
    "grow_time": re.compile(r"^(?:Sequential|Parallel) RunTime\s*:\s+(?P<time>\d+\.\d+) seconds$", re.M),
    "grow_result": re.compile(r"^Final Result [^:]*:\s+(?P<result>\S+) $", re.M),
    "grow_check": re.compile(r"^Result \|\|opt\|\|\^2_2 :\s+(?P<check>\S+)$", re.M),
}


def read_lines(run, output):
    """Fill the record's time, result and check value from the program's standard output.
    A line that is missing leaves its field empty; validation reports it."""
    run.output = output
    if kind(run.program) == "pi":
        m = _LINES["pi"].search(output)
        if m:
            run.time_s, run.result, run.printed_n = float(m.group("time")), m.group("result"), int(m.group("n"))
    elif kind(run.program) == "grow":
        for key, field in (("grow_time", "time"), ("grow_result", "result"), ("grow_check", "check")):
            m = _LINES[key].search(output)
            if m and field == "time":
                run.time_s = float(m.group("time"))
            elif m and field == "result":
                run.result = m.group("result")
            elif m:
                run.check_value = m.group("check")
    return run


def mem_available():
    """Bytes of memory the kernel reports as available for new allocations."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


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
        if "OMP_PROC_BIND" in self.settings and self.settings["OMP_PROC_BIND"] == "false":
            env.pop("OMP_PLACES", None)
        env.update(self.settings)
        if threads is not None:
            env["OMP_NUM_THREADS"] = str(threads)
        return env

    def describe(self):
        return " ".join(f"{k}={v}" for k, v in sorted(self.settings.items())) + f" ({self.origin})"


class Runner:
    """Starts programs and returns their standard output. The runtime's own messages on standard
    error are passed on to the user, once per distinct text, never swallowed."""

    def __init__(self):
        self.seen_messages = set()

    def run(self, path, args=(), env=None, preexec_fn=None):
        """(standard output, standard error, (team, placement) or None): the runtime's affinity
        lines, on whichever stream it writes them (libgomp stderr, LLVM's runtime stdout), are
        taken out of both and read."""
        name = os.path.basename(path)
        try:
            proc = subprocess.Popen([path, *args], env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                    text=True, preexec_fn=preexec_fn)
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

    def team(self, path, args, env):
        """Threads the runtime gives this program in this environment, and where it put them,
        from the runtime's own affinity report of one extra, untimed run."""
        return self.run(path, args, dict(env, **AFFINITY_ENV))[2] or (1, "")


def affinity_of(text):
    """(team size, placement) from the runtime's affinity lines in a program's output, or None."""
    threads = {int(m.group(1)): (int(m.group(2)), m.group(3)) for m in _AFFINITY_LINE.finditer(text)}
    if not threads:
        return None
    return max(t for t, _ in threads.values()), " ".join(f"{n}:{{{p}}}" for n, (_, p) in sorted(threads.items()))


def have_programs(bindir, names):
    return all(os.access(os.path.join(bindir, n), os.X_OK) for n in names)


def warn_oversubscribed(threads):
    cores = os.cpu_count() or 1
    if max(threads) > cores:
        progress(f"note: {max(threads)} threads asked for on {cores} processors: threads will share processors, "
                 "and the model has no calibration for such teams")


def build(tree, cache=(), targets=(), needed=ALL_PROGRAMS):
    """Configure (when missing) and build a release tree; the build itself skips what is fresh.
    Without cmake, programs already built there are used as they are, with a warning."""
    bindir = os.path.join(tree, "bin")
    if shutil.which("cmake") is None:
        if have_programs(bindir, needed):
            progress(f"cmake is not installed: using the programs already in {bindir} as they are")
            return bindir
        raise SuiteError("cmake is not installed (Debian package: cmake) and the programs are not built; "
                         "or give --bin with a folder of built programs")
    progress(f"building {os.path.relpath(tree, ROOT)} (only what is missing or stale)")
    if not os.path.exists(os.path.join(tree, "CMakeCache.txt")):
        cmd = ["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release", *[f"-D{c}" for c in cache]]
        if subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode != 0:
            raise SuiteError(f"configuring {tree} failed: {' '.join(cmd)}")
    cmd = ["cmake", "--build", tree, "--parallel"]
    for t in targets:
        cmd += ["--target", t]
    if subprocess.run(cmd, stdout=subprocess.DEVNULL).returncode != 0:
        time.sleep(0.1)  # a Ctrl-C that stopped cmake reaches us too: let it surface as an interruption
        raise SuiteError(f"building {tree} failed: {' '.join(cmd)}")
    return bindir


def release_bin(given=None):
    """The folder of the suite's programs: given (nothing is built then), or the release tree."""
    if given:
        missing = [n for n in PI_PROGRAMS + ("teamtally",) if not os.access(os.path.join(given, n), os.X_OK)]
        if missing:
            raise SuiteError(f"--bin {given} has no program {missing[0]}", 2)
        return given
    return build(os.path.join(ROOT, "build", "release"))


def reduced_build(n):
    """A release tree whose recurrence programs have last index n; only they are built."""
    tree = os.path.join(ROOT, "build", f"reduced-n{n}")
    return build(tree, cache=[f"RECURRENCE_N={n}", "BUILD_TESTING=OFF"], targets=["growplain", "growsplit"],
                 needed=GROW_PROGRAMS)


def recurrence_plan(requested_n):
    """(N, label) of the recurrence programs to run: full size only with the memory for it.
    Returns N = None when even the reduced size would not fit; nothing is started then."""
    available = mem_available()
    n = requested_n if requested_n is not None else FULL_N
    if requested_n is None and available < FULL_NEED:
        progress(f"only {available / 1e9:.1f} GB of memory available; the full-size recurrence programs "
                 f"need {FULL_NEED / 1e9:.0f} GB, so a reduced build (N = {REDUCED_N}) runs instead")
        n = REDUCED_N
    if 8 * (n + 1) + (n + 1) // 16 > available:
        progress(f"only {available / 1e9:.1f} GB of memory available: too little for the recurrence "
                 f"programs at N = {n}; they are not run")
        return None, ""
    return n, ("" if n == FULL_N else "reduced build")


def recurrence_bin(n, bindir, given=None):
    """Folder of recurrence programs built for N: given, the release tree at full size, else a
    reduced build made for N."""
    if given:
        folder, what = given, f"--recurrence-bin {given}"
    else:
        folder, what = (bindir, bindir) if n == FULL_N else (reduced_build(n), "the reduced build")
    missing = [p for p in GROW_PROGRAMS if not os.access(os.path.join(folder, p), os.X_OK)]
    if missing:
        raise SuiteError(f"{what} has no program {missing[0]}", 2)
    return folder

"""Shared helpers for the suite's run command and benchmarks: building, running the programs,
reading their reports, and summarising repeated timings. Standard library only."""
import ctypes
import os
import re
import shutil
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PI_PROGRAMS = ("quadplain", "quadguard", "quadmerge")
GROW_PROGRAMS = ("growplain", "growsplit")
TIMED = PI_PROGRAMS + GROW_PROGRAMS
BASELINE = {"quadguard": "quadplain", "quadmerge": "quadplain", "growsplit": "growplain"}
SERIAL = ("quadplain", "growplain")
FULL_N = 2000000000
FULL_NEED = 17 * 10**9  # bytes of available memory a full-size recurrence program needs
REDUCED_N = 200000000

_TIME = {
    "pi": re.compile(r"time = (\d+\.\d+) secs"),
    "grow": re.compile(r"RunTime\s*:\s+(\d+\.\d+) seconds"),
}
_RESULT = {
    "pi": re.compile(r"pi = (\S+),"),
    "grow": re.compile(r"Final Result [^:]*:\s+(\S+)"),
}


class SuiteError(Exception):
    """A failure the command line reports in one line, with an exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


def kind(program):
    return "pi" if program.startswith("quad") else "grow"


def parse_time(program, output):
    m = _TIME[kind(program)].search(output)
    if not m:
        raise SuiteError(f"{program}: no run time in its output: {output!r}")
    return float(m.group(1))


def parse_result(program, output):
    m = _RESULT[kind(program)].search(output)
    if not m:
        raise SuiteError(f"{program}: no result in its output: {output!r}")
    return m.group(1)


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


def omp_env(threads=None, bind=True, base=None):
    env = dict(os.environ if base is None else base)
    if threads is not None:
        env["OMP_NUM_THREADS"] = str(threads)
    if bind:
        env["OMP_PROC_BIND"] = "close"
        env["OMP_PLACES"] = "cores"
    return env


def run_program(path, args=(), env=None, preexec_fn=None):
    """Run one program; a non-zero status stops the caller with the program's own status."""
    try:
        proc = subprocess.run([path, *args], env=env, capture_output=True, text=True, preexec_fn=preexec_fn)
    except OSError as e:
        raise SuiteError(f"cannot start {path}: {e}") from e
    if proc.returncode != 0:
        name = os.path.basename(path)
        raise SuiteError(f"{name} failed with status {proc.returncode}: {proc.stderr.strip()}", proc.returncode)
    return proc.stdout


def team_size(bindir, env):
    """Threads the runtime actually gives a team under env, as teamtally reports it."""
    out = run_program(os.path.join(bindir, "teamtally"), env=env)
    m = re.search(r"Number of threads = (\d+)", out)
    return int(m.group(1)) if m else 0


def stats(values):
    return min(values), statistics.median(values), max(values)


def without_huge_pages():
    """preexec_fn that makes the child (and what it executes) use 4 KiB pages only."""
    libc = ctypes.CDLL(None, use_errno=True)
    pr_set_thp_disable = 41
    if libc.prctl(pr_set_thp_disable, 1, 0, 0, 0) != 0:
        raise OSError(ctypes.get_errno(), "prctl(PR_SET_THP_DISABLE) failed")


def build(preset_dir, cache=(), targets=()):
    """Configure (when missing) and build a release tree; the build itself skips what is fresh."""
    if shutil.which("cmake") is None:
        raise SuiteError("cmake is not installed (Debian package: cmake)")
    progress(f"building {os.path.relpath(preset_dir, ROOT)} (only what is missing or stale)")
    out = subprocess.DEVNULL
    if not os.path.exists(os.path.join(preset_dir, "CMakeCache.txt")):
        cmd = ["cmake", "-S", ROOT, "-B", preset_dir, "-DCMAKE_BUILD_TYPE=Release", *[f"-D{c}" for c in cache]]
        if subprocess.run(cmd, stdout=out).returncode != 0:
            raise SuiteError(f"configuring {preset_dir} failed: {' '.join(cmd)}")
    cmd = ["cmake", "--build", preset_dir, "--parallel"]
    for t in targets:
        cmd += ["--target", t]
    if subprocess.run(cmd, stdout=out).returncode != 0:
        raise SuiteError(f"building {preset_dir} failed: {' '.join(cmd)}")
    return os.path.join(preset_dir, "bin")


def reduced_build(n):
    """A release tree whose recurrence programs have last index n; only they are built."""
    tree = os.path.join(ROOT, "build", f"reduced-n{n}")
    return build(tree, cache=[f"RECURRENCE_N={n}", "BUILD_TESTING=OFF"], targets=["growplain", "growsplit"])


def recurrence_plan(requested_n, progress_to=None):
    """(N, label) of the recurrence programs to run: full size only with the memory for it.

    Returns N = None when even the reduced size would not fit; nothing is started then.
    """
    available = mem_available()
    n = requested_n if requested_n is not None else FULL_N
    if n == FULL_N and available < FULL_NEED:
        if progress_to:
            progress_to(f"only {available / 1e9:.1f} GB of memory available; the full-size recurrence programs "
                        f"need {FULL_NEED / 1e9:.0f} GB, so a reduced build (N = {REDUCED_N}) runs instead")
        n = REDUCED_N
    if 8 * (n + 1) + (n + 1) // 16 > available:
        if progress_to:
            progress_to(f"only {available / 1e9:.1f} GB of memory available: too little for the recurrence "
                        f"programs at N = {n}; they are not run")
        return None, ""
    return n, ("" if n == FULL_N else "reduced build")


def int_option(text, low=1, high=None):
    """argparse type: a whole number (1e8 and 100000000 alike) within low .. high."""
    import argparse
    try:
        value = float(text) if any(c in text for c in ".eE") else int(text)
        if value != int(value):
            raise ValueError
        value = int(value)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < low or (high is not None and value > high):
        raise argparse.ArgumentTypeError(f"{value} is outside {low} .. {high if high is not None else 'any'}")
    return value


def print_ratio(text, medians, num, den):
    """One line of a benchmark's ratio list, when both medians were measured."""
    if num in medians and den in medians and medians[den] > 0:
        print(f"  {text:<62} {medians[num] / medians[den]:7.3f}")


def run_main(prog, main, *args):
    """Run a command's main; a SuiteError becomes one line on stderr and its exit status."""
    try:
        sys.exit(main(*args))
    except SuiteError as e:
        print(f"{prog}: {e}", file=sys.stderr)
        sys.exit(e.status)


def progress(message):
    print(message, file=sys.stderr, flush=True)

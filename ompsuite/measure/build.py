"""The suite's build trees: where the programs are, building what is missing or stale, and the
reduced builds of the recurrence programs for machines without 17 GB to spare."""
import os
import shutil
import subprocess
import time

from ompsuite import catalogue as C
from ompsuite.platform.console import progress
from ompsuite.errors import SuiteError

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))


def mem_available():
    """Bytes of memory the kernel reports as available for new allocations."""
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        pass
    return 0


def program_problem(folder, name):
    """Why NAME in FOLDER cannot be run, or None when it can."""
    path = os.path.join(folder, name)
    if not os.path.lexists(path):
        return f"has no program {name}"
    if not os.path.exists(path):
        return f"has a broken link for {name}"
    if os.path.isdir(path):
        return f"has a folder, not a program, named {name}"
    if not os.access(path, os.X_OK):
        return f"has {name}, but it is not executable"
    return None


def check_programs(folder, names, what):
    for name in names:
        problem = program_problem(folder, name)
        if problem:
            raise SuiteError(f"{what} {problem}", 2)


def build(tree, cache=(), targets=(), needed=()):
    """Configure (when missing) and build a release tree; the build itself skips what is fresh.
    Without cmake, programs already built there are used as they are, with a warning."""
    bindir = os.path.join(tree, "bin")
    if shutil.which("cmake") is None:
        if all(program_problem(bindir, n) is None for n in needed):
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


def given_folder(option, path):
    """A folder named on the command line, as given but without a trailing slash."""
    if path is not None and not path.strip():
        raise SuiteError(f"{option} is empty: give a folder of built programs", 2)
    return None if path is None else os.path.normpath(path)


def release_bin(catalogue, given=None):
    """The folder of the suite's programs: given (nothing is built then), or the release tree."""
    needed = [p.name for p in catalogue.suite() if p.kind.name != "recurrence"]
    given = given_folder("--bin", given)
    if given:
        check_programs(given, needed, f"--bin {given}")
        return given
    return build(os.path.join(ROOT, "build", "release"), needed=needed)


def reduced_build(catalogue, n):
    """A release tree whose recurrence programs have last index n; only they are built."""
    tree = os.path.join(ROOT, "build", f"reduced-n{n}")
    names = [p.name for p in catalogue.suite("recurrence")]
    return build(tree, cache=[f"RECURRENCE_N={n}", "BUILD_TESTING=OFF"], targets=names, needed=names)


def recurrence_plan(requested_n):
    """(N, label) of the recurrence programs to run: full size only with the memory for it.
    Returns N = None when even the reduced size would not fit; nothing is started then."""
    available = mem_available()
    n = requested_n if requested_n is not None else C.FULL_N
    if requested_n is None and available < C.FULL_NEED:
        progress(f"only {available / 1e9:.1f} GB of memory available; the full-size recurrence programs "
                 f"need {C.FULL_NEED / 1e9:.0f} GB, so a reduced build (N = {C.REDUCED_N}) runs instead")
        n = C.REDUCED_N
    if 8 * (n + 1) + (n + 1) // 16 > available:
        progress(f"only {available / 1e9:.1f} GB of memory available: too little for the recurrence "
                 f"programs at N = {n}; they are not run")
        return None, ""
    return n, ("" if n == C.FULL_N else "reduced build")


def recurrence_bin(catalogue, n, bindir, given=None):
    """Folder of recurrence programs built for N: given, the release tree at full size, else a
    reduced build made for N."""
    given = given_folder("--recurrence-bin", given)
    if given:
        folder, what = given, f"--recurrence-bin {given}"
    else:
        folder, what = (bindir, bindir) if n == C.FULL_N else (reduced_build(catalogue, n), "the reduced build")
    check_programs(folder, [p.name for p in catalogue.suite("recurrence")], what)
    return folder


def calibrate_path(bindir):
    return os.path.join(os.path.dirname(os.path.abspath(bindir)), "bench", "calibrate")

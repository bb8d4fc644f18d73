"""The suite's build trees: where the programs are, building what is missing or stale, and the
reduced builds of the recurrence programs for machines without 17 GB to spare."""
import os
import shutil
from typing import Iterable, Optional

from ompsuite import catalogue as C
from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.platform.child import run_tool
from ompsuite.platform.console import progress
from ompsuite.platform.machine import ROOT, mem_available, own_build_tree

__all__ = ["ROOT", "mem_available", "program_problem", "check_programs", "build", "given_folder", "release_bin",
           "reduced_build", "recurrence_plan", "recurrence_bin", "calibrate_path"]

# Generous: a first build of every program on one slow core takes minutes, not hours.
CONFIGURE_TIMEOUT_S = 600.0
BUILD_TIMEOUT_S = 3600.0
LOG_TAIL = 64 << 10  # of cmake's standard error: the end says what failed


def program_problem(folder: str, name: str) -> Optional[str]:
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


def check_programs(folder: str, names: Iterable[str], what: str) -> None:
    for name in names:
        problem = program_problem(folder, name)
        if problem:
            raise SuiteError(f"{what} {problem}", 2)


def _cmake(cmd: list[str], what: str, timeout_s: float) -> None:
    """One cmake step; its log on standard output is not kept (the build says what it does at
    length), the end of standard error names what failed."""
    done = run_tool(cmd, what, timeout_s, keep_stdout=False, output_cap=LOG_TAIL, tail=True)
    if done.returncode != 0:
        lines = [ln for ln in done.stderr.splitlines() if ln.strip()]
        detail = f": {printable(lines[-1], 300)}" if lines else ""
        status = f"status {done.returncode}" if done.returncode is not None else "an unknown status"
        raise SuiteError(f"{what} failed with {status}{detail} ({' '.join(cmd)})")


def build(tree: str, cache: Iterable[str] = (), targets: Iterable[str] = (), needed: Iterable[str] = ()) -> str:
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
        _cmake(["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release", *[f"-D{c}" for c in cache]],
               f"configuring {tree}", CONFIGURE_TIMEOUT_S)
    cmd = ["cmake", "--build", tree, "--parallel"]
    for t in targets:
        cmd += ["--target", t]
    _cmake(cmd, f"building {tree}", BUILD_TIMEOUT_S)
    return bindir


def given_folder(option: str, path: Optional[str]) -> Optional[str]:
    """A folder named on the command line, as given but without a trailing slash."""
    if path is not None and not path.strip():
        raise SuiteError(f"{option} is empty: give a folder of built programs", 2)
    return None if path is None else os.path.normpath(path)


def release_bin(catalogue: C.Catalogue, given: Optional[str] = None) -> str:
    """The folder of the suite's programs: given (nothing is built then), or the release tree."""
    needed = [p.name for p in catalogue.suite() if p.kind is not C.RECURRENCE]
    folder = given_folder("--bin", given)
    if folder:
        check_programs(folder, needed, f"--bin {folder}")
        return folder
    return build(os.path.join(ROOT, "build", "release"), needed=needed)


def reduced_build(catalogue: C.Catalogue, n: int) -> str:
    """A release tree whose recurrence programs have last index n; only they are built."""
    tree = os.path.join(ROOT, "build", f"reduced-n{n}")
    names = [p.name for p in catalogue.suite(C.RECURRENCE)]
    return build(tree, cache=[f"RECURRENCE_N={n}", "BUILD_TESTING=OFF"], targets=names, needed=names)


def recurrence_plan(requested_n: Optional[int]) -> tuple[Optional[int], str]:
    """(N, label) of the recurrence programs to run: full size only with the memory for it.
    Returns N = None when even the reduced size would not fit; nothing is started then."""
    available = mem_available()
    n: int = requested_n if requested_n is not None else C.FULL_N
    if requested_n is None and available < C.FULL_NEED:
        progress(f"only {available / 1e9:.1f} GB of memory available; the full-size recurrence programs "
                 f"need {C.FULL_NEED / 1e9:.0f} GB, so a reduced build (N = {C.REDUCED_N}) runs instead")
        n = C.REDUCED_N
    if 8 * (n + 1) + (n + 1) // 16 > available:
        progress(f"only {available / 1e9:.1f} GB of memory available: too little for the recurrence "
                 f"programs at N = {n}; they are not run")
        return None, ""
    return n, ("" if n == C.FULL_N else "reduced build")


def recurrence_bin(catalogue: C.Catalogue, n: int, bindir: str, given: Optional[str] = None) -> str:
    """Folder of recurrence programs built for N: given, the release tree at full size, else a
    reduced build made for N."""
    folder = given_folder("--recurrence-bin", given)
    if folder:
        what = f"--recurrence-bin {folder}"
    else:
        folder, what = (bindir, bindir) if n == C.FULL_N else (reduced_build(catalogue, n), "the reduced build")
    check_programs(folder, [p.name for p in catalogue.suite(C.RECURRENCE)], what)
    return folder


def calibrate_path(bindir: str) -> Optional[str]:
    """The calibrate program to run beside the programs in bindir, or None. From one of the
    repository's own build trees, its bench/calibrate; from a folder given with --bin, a
    calibrate inside that folder itself, since the user named the folder to run programs from.
    Nothing beside the folder (its parent's bench/, say) is run."""
    tree = own_build_tree(bindir)
    path = os.path.join(tree, "bench", "calibrate") if tree else os.path.join(bindir, "calibrate")
    return path if program_problem(os.path.dirname(path), os.path.basename(path)) is None else None

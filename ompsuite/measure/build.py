"""The suite's build trees: where the programs are, building what is missing or stale, and the
reduced builds of the recurrence programs for machines without 17 GB to spare."""
import functools
import json
import os
import re
import shutil
from typing import Dict, Iterable, Optional

from ompsuite import catalogue as C
from ompsuite.errors import ProgramFailed, SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.platform.child import run_tool
from ompsuite.platform.console import progress
from ompsuite.platform.files import digest, read_small, write_atomic
from ompsuite.platform.machine import ROOT, mem_available, own_build_tree

# Generous: a first build of every program on one slow core takes minutes, not hours.
CONFIGURE_TIMEOUT_S = 600.0
BUILD_TIMEOUT_S = 3600.0
LOG_TAIL = 64 << 10  # of cmake's standard error: the end says what failed

# The digest of each program a build made, beside them: checked before each build and each use.
DIGESTS = ".ompsuite-digests.json"
_known: Dict[str, str] = {}  # program path -> its digest when built or first used in this run

# Written by cmake --install beside the installed tools (cmake/SuiteInstall.cmake); a checkout has none.
LAYOUT_FILE = "install-layout.txt"
# Written by CMake into a tree tuned with -march=native: the processor it was tuned for.
HOST_CPU_FILE = "host-cpu.txt"
# The /proc/cpuinfo lines that identify a processor to -march=native, as cmake/SuiteFlags.cmake reads them.
CPU_KEYS = ("model name", "flags", "Features", "CPU implementer", "CPU part")


def read_layout(root: str = ROOT) -> Optional[Dict[str, str]]:
    """The installed tree's layout (bindir and libexecdir made absolute), or None in a checkout."""
    try:
        with open(os.path.join(root, LAYOUT_FILE)) as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return None
    except (OSError, UnicodeDecodeError) as e:
        raise SuiteError(f"cannot read {os.path.join(root, LAYOUT_FILE)}: {e}") from None
    layout = dict(line.split("=", 1) for line in lines if "=" in line and not line.startswith("#"))
    if missing := [k for k in ("version", "arch", "bindir", "libexecdir") if k not in layout]:
        raise SuiteError(f"{os.path.join(root, LAYOUT_FILE)} lacks {', '.join(missing)}: reinstall the suite")
    layout.update({key: os.path.normpath(os.path.join(root, layout[key])) for key in ("bindir", "libexecdir")})
    return layout


@functools.lru_cache(maxsize=None)
def installed() -> Optional[Dict[str, str]]:
    """This tree's layout when the tools run from an install, else None (read once, when first
    needed: a damaged file is then refused in one line like any other)."""
    return read_layout()


def cpu_signature(cpuinfo: str) -> str:
    """The first line of each CPU_KEYS key in a /proc/cpuinfo text, as 'key: value' lines."""
    return "".join(f"{key}: {m.group(1)}\n" for key in CPU_KEYS
                   if (m := re.search(rf"(?m)^{re.escape(key)}[ \t]*:[ \t]*(.*)$", cpuinfo)))


def check_tuned_for_host(tree: str, here: Optional[str] = None) -> None:
    """Refuse a tree tuned (-march=native) for another processor: its programs could stop with an
    illegal instruction here, or run code chosen for another machine."""
    try:
        with open(os.path.join(tree, HOST_CPU_FILE), errors="replace") as f:
            tuned = f.read()
    except FileNotFoundError:
        return  # not tuned for any host: portable
    except OSError as e:
        raise SuiteError(f"cannot read {os.path.join(tree, HOST_CPU_FILE)}: {e}", 2) from None
    if here is None:
        if (cpuinfo := read_small("/proc/cpuinfo")) is None:
            return
        here = cpu_signature(cpuinfo)  # its first processor's lines are all it reads
    if tuned == here:
        return
    theirs, ours = (m.group(1).strip() if (m := re.search(r"(?m)^(?:model name|CPU part): (.*)$", sig))
                    else "unknown model" for sig in (tuned, here))
    which = f"{theirs}; this one: {ours}" if theirs != ours else f"{theirs} with other features than this one"
    raise SuiteError(f"{tree} is tuned (-march=native) for another processor ({which}), so its programs may "
                     f"not run here: remove it to rebuild, or use a portable build (--bin)", 2)


def build_root() -> str:
    """Where the tools make their build trees: the checkout's build/, or for an installed suite a
    cache folder of the user's (OMPSUITE_CACHE, else XDG_CACHE_HOME/ompsuite or ~/.cache/ompsuite)."""
    if (layout := installed()) is None:
        return os.path.join(ROOT, "build")
    cache = os.environ.get("OMPSUITE_CACHE") or os.path.join(
        os.environ.get("XDG_CACHE_HOME") or os.path.join(os.path.expanduser("~"), ".cache"), "ompsuite")
    return os.path.join(cache, f"{layout['version']}-{layout['arch'] or 'default'}")


def out_root() -> str:
    """Where a study or comparison goes without --out: the checkout's out/, else ./out."""
    return os.path.join(ROOT if installed() is None else os.getcwd(), "out")


def program_problem(folder: str, name: str) -> Optional[str]:
    """Why NAME in FOLDER cannot be run, or None when it can."""
    path = os.path.join(folder, name)
    problems = ((not os.path.lexists(path), f"has no program {name}"),
                (not os.path.exists(path), f"has a broken link for {name}"),
                (os.path.isdir(path), f"has a folder, not a program, named {name}"),
                (not os.access(path, os.X_OK), f"has {name}, but it is not executable"))
    return next((problem for found, problem in problems if found), None)


def check_programs(folder: str, names: Iterable[str], what: str) -> None:
    for name in names:
        if problem := program_problem(folder, name):
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
    check_tuned_for_host(tree)
    layout = installed()
    progress(f"building {os.path.relpath(tree, ROOT) if layout is None else tree} (only what is missing or stale)")
    if not os.path.exists(os.path.join(tree, "CMakeCache.txt")):
        # Tuned for this host in a checkout (they measure here), an installed suite for its programs' target.
        tuning = ["SUITE_NATIVE=ON"] if layout is None else ["SUITE_NATIVE=OFF", f"SUITE_INSTALL_ARCH={layout['arch']}"]
        _cmake(["cmake", "-S", ROOT, "-B", tree, "-DCMAKE_BUILD_TYPE=Release",
                *[f"-D{c}" for c in (*tuning, *cache)]], f"configuring {tree}", CONFIGURE_TIMEOUT_S)
    record = os.path.join(bindir, DIGESTS)
    try:
        with open(record, encoding="utf-8") as f:
            made: Dict[str, str] = {str(k): str(v) for k, v in dict(json.load(f)).items()}
    except (OSError, ValueError, TypeError):
        made = {}
    for name, was in made.items():  # the build system takes a newer file, whatever wrote it, as up to date
        path = os.path.join(bindir, os.path.basename(name))
        if os.path.lexists(path) and _digest(path) != was:
            progress(f"{printable(path)} is not the program the last build made: it is built again")
            os.remove(path)
    _cmake(["cmake", "--build", tree, "--parallel", *(word for t in targets for word in ("--target", t))],
           f"building {tree}", BUILD_TIMEOUT_S)
    made.update({n: _digest(os.path.join(bindir, n)) for n in needed})
    _known.update({os.path.join(bindir, n): made[n] for n in needed})
    try:
        write_atomic(record, json.dumps(made, indent=1) + "\n")
    except OSError as e:
        progress(f"cannot record the digests of the programs in {bindir} ({os_reason(e)}): one changed after "
                 "this build is found only while it runs")
    return bindir


def _digest(path: str) -> str:
    try:
        return digest(path, 1 << 30)
    except SuiteError as e:
        return str(e)  # matches no digest


def unchanged(path: str) -> None:
    """Refuse a program that differs from what was built (or, given, from its first use in this run):
    nothing may stand in for a program measured so far. A missing one is left to its run."""
    if os.path.lexists(path) and _known.setdefault(path, now := _digest(path)) != now:
        raise ProgramFailed(f"{printable(path)} changed since it was built or first run: it is not the program "
                            "measured so far (run again to rebuild it)", 2)


def given_folder(option: str, path: Optional[str]) -> Optional[str]:
    """A folder named on the command line, as given but without a trailing slash."""
    if path is not None and not path.strip():
        raise SuiteError(f"{option} is empty: give a folder of built programs", 2)
    return None if path is None else os.path.normpath(path)


def release_bin(catalogue: C.Catalogue, given: Optional[str] = None) -> str:
    """The folder of the suite's programs: given (nothing is built then), or the release tree."""
    needed = [p.name for p in catalogue.suite() if p.kind is not C.RECURRENCE]
    if folder := given_folder("--bin", given):
        check_tuned_for_host(os.path.dirname(os.path.abspath(folder)))
        check_programs(folder, needed, f"--bin {folder}")
        return folder
    if (layout := installed()) is not None:  # installed: the programs are there, built for every node of the site
        check_programs(layout["bindir"], needed, f"the installed suite's {layout['bindir']}")
        return layout["bindir"]
    return build(os.path.join(build_root(), "release"), needed=needed)


def recurrence_plan(requested_n: Optional[int]) -> tuple[Optional[int], str]:
    """(N, label) of the recurrence programs to run, full size only with the memory for it; N = None
    when even the reduced size would not fit."""
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
    release tree of its own whose recurrence programs, alone built, have last index N."""
    names = [p.name for p in catalogue.suite(C.RECURRENCE)]
    if folder := given_folder("--recurrence-bin", given):
        what = f"--recurrence-bin {folder}"
        check_tuned_for_host(os.path.dirname(os.path.abspath(folder)))
    elif n == C.FULL_N:
        folder, what = bindir, bindir
    else:
        folder = build(os.path.join(build_root(), f"reduced-n{n}"), cache=[f"RECURRENCE_N={n}", "BUILD_TESTING=OFF"],
                       targets=names, needed=names)
        what = "the reduced build"
    check_programs(folder, names, what)
    return folder


def calibrate_path(bindir: str) -> Optional[str]:
    """The calibrate program to run beside the programs in bindir, or None: nothing beside a --bin
    folder is run (docs/commands.md, "What runs")."""
    if tree := own_build_tree(bindir):
        path = os.path.join(tree, "bench", "calibrate")
    elif (layout := installed()) is not None and os.path.realpath(bindir) == os.path.realpath(layout["bindir"]):
        path = os.path.join(layout["libexecdir"], "calibrate")
    else:
        path = os.path.join(bindir, "calibrate")
    return path if program_problem(os.path.dirname(path), os.path.basename(path)) is None else None

"""The race check of a variant built from its source (docs/class.md, "The race check"): clang 14
and libomp only, since GCC's ThreadSanitizer with libgomp reports races in correct code."""
import dataclasses
import glob
import itertools
import os
import re
import shutil
from typing import Dict, List, Optional, Sequence, Tuple

from ompsuite import catalogue as C
from ompsuite.escape import printable
from ompsuite.measure.sources import as_path, compile_in_sandbox, first_error
from ompsuite.platform import sandbox
from ompsuite.platform.child import ChildResult, run_child, signal_name

CLANG = "clang++-14"
RACE_N = 1000            # enough iterations for every thread to reach the shared update
# A second size drawn per run from this range: a program cannot tell the check from a timed run by N.
RACE_DRAWN = (20_000, 100_000)
RACE_TEAMS = (2, 4)      # 4 on a 2-core machine too: more interleavings, still seconds
BUILD_TIMEOUT_S = 120.0
RUN_TIMEOUT_S = 20.0     # an instrumented run at N = 1000 takes a fraction of a second
TSAN_EXIT = 66           # the status ThreadSanitizer ends with once it has reported


@dataclasses.dataclass(frozen=True)
class Tools:
    clang: str
    libdir: str        # LLVM's lib folder: libomp.so and libarcher.so
    archer: str
    symbolizer: Optional[str]


def find_tools() -> Tuple[Optional[Tools], List[str]]:
    """The race check's tools, or None and the Debian packages that would provide what is missing."""
    clang = shutil.which(CLANG)
    bindir = os.path.dirname(os.path.realpath(clang)) if clang else "/usr/lib/llvm-14/bin"
    libdir = os.path.normpath(os.path.join(bindir, "..", "lib"))
    archer = os.path.join(libdir, "libarcher.so")
    # The Debian packages, as .ci/run installs them.
    missing = [package for package, found in (
        ("clang-14", clang is not None),
        ("libomp-14-dev", os.path.exists(archer) and os.path.exists(os.path.join(libdir, "libomp.so"))),
        ("libclang-rt-14-dev", glob.glob(os.path.join(libdir, "clang", "*", "lib", "linux", "libclang_rt.tsan-*.a"))))
        if not found]
    if missing or clang is None:
        return None, missing
    symbolizer = os.path.join(bindir, "llvm-symbolizer")
    return Tools(clang, libdir, archer, symbolizer if os.access(symbolizer, os.X_OK) else None), []


def skipped_for_packages(missing: Sequence[str]) -> str:
    return (f"it needs clang 14, LLVM's OpenMP runtime with Archer and ThreadSanitizer's runtime "
            f"(Debian: apt-get install {' '.join(missing)})")


_ACCESS = re.compile(r"^\s+(?:Previous )?(?:Atomic )?(read|write) of size \d+ at \S+ by .*:$", re.I)
_FRAME = re.compile(r"^\s+#\d+ \S+ (.+?):(\d+)(?::\d+)? \(")


def parse_report(stderr: str, source_name: str = "") -> List[str]:
    """One line per distinct race in ThreadSanitizer's report, its two accesses' file and line as in
    docs/class.md: the first frame in source_name where the stack has one, else its first with a line."""
    races: Dict[Tuple[Tuple[str, str], ...], str] = {}
    for block in re.split(r"^WARNING: ThreadSanitizer: ", stderr, flags=re.M)[1:]:
        if not block.startswith("data race"):
            continue
        accesses: List[Tuple[str, str]] = []
        lines = block.split("\n")
        for i, line in enumerate(lines):
            if not (m := _ACCESS.match(line)):
                continue
            stack = itertools.takewhile(lambda frame: frame.strip().startswith("#"), lines[i + 1:])
            places = [f"{os.path.basename(f.group(1))}:{f.group(2)}" for frame in stack if (f := _FRAME.match(frame))]
            mine = [p for p in places if source_name and p.startswith(source_name + ":")]
            accesses.append(((mine or places or ["an unknown place"])[0], m.group(1).lower()))
            if len(accesses) == 2:
                break
        accesses += [("an unknown place", "access")] * (2 - len(accesses))
        (a, how_a), (b, how_b) = accesses  # exactly two
        races.setdefault(tuple(sorted(accesses)), printable(f"data race: {a} ({how_a}) and {b} ({how_b})", 300))
    return list(races.values())


_OTHER = re.compile(r"^SUMMARY: ThreadSanitizer: (\S+) (?:(.+?):(\d+)(?::\d+)? )?", re.M)


def _ended(done: ChildResult) -> str:
    if other := _OTHER.search(done.stderr):
        where = f" at {os.path.basename(other.group(2))}:{other.group(3)}" if other.group(2) else ""
        return printable(f"stopped with ThreadSanitizer's report of {other.group(1)}{where}", 200)
    if done.timed_out:
        return f"ran past its {RUN_TIMEOUT_S:g}-second limit"
    if done.returncode is not None and done.returncode < 0:
        return f"was killed by {signal_name(-done.returncode)}"
    return f"ended with status {done.returncode}"


def check(source: str, kind: C.Kind, workdir: str, name: str, tools: Optional[Tools] = None,
          missing: Sequence[str] = (), include: Optional[str] = None,
          sizes: Sequence[int] = (RACE_N,)) -> Tuple[C.Race, Tuple[str, ...]]:
    """(outcome, detail) of the race check of one source (a private copy in workdir, quoted includes
    from include), built and run in the sandbox; a race-free detail says how it was checked."""
    if tools is None:
        return C.Race.SKIPPED, (skipped_for_packages(missing),)
    if not kind.n_argument:
        return C.Race.SKIPPED, (f"a {kind.name} program's N is built in, so its instrumented run would be "
                                "full size",)
    binary = os.path.join(workdir, f"race-{name}")
    c_source = source.endswith(".c")
    folder, base = os.path.split(os.path.abspath(source))
    include = include or folder
    cmd = [tools.clang, *(["-x", "c", "-std=c11"] if c_source else ["-std=c++17"]), "-fsanitize=thread", "-g",
           "-O1", "-fopenmp=libomp", "-ffp-contract=off", "-iquote", include,
           as_path(os.path.relpath(source, workdir)), *(["-x", "none"] if c_source else []), "-o", binary,
           f"-L{tools.libdir}", f"-Wl,-rpath,{tools.libdir}", "-lm"]
    built, limited = compile_in_sandbox(cmd, workdir, include, BUILD_TIMEOUT_S)
    if why := limited or (first_error(built.stderr, built.returncode) if built.returncode != 0 else ""):
        return C.Race.SKIPPED, (f"{CLANG} could not build it: {why}",)
    options = ["ignore_noninstrumented_modules=1", f"exitcode={TSAN_EXIT}",
               *([f"external_symbolizer_path={tools.symbolizer}"] if tools.symbolizer else [])]
    env = {k: v for k, v in os.environ.items() if not k.startswith(("OMP_", "TSAN_", "KMP_"))}
    env.update(OMP_TOOL_LIBRARIES=tools.archer, TSAN_OPTIONS=":".join(options), KMP_WARNINGS="0")
    found: List[str] = []
    for n in sizes:
        for team in RACE_TEAMS:
            argv = sandbox.wrap([binary, str(n)], None, [include, workdir])
            done = run_child(argv, env=dict(env, OMP_NUM_THREADS=str(team)), timeout_s=RUN_TIMEOUT_S)
            done.returncode = sandbox.signalled(done.returncode, argv)
            these = parse_report(done.stderr, base)
            found += [r for r in these if r not in found]
            if done.returncode != 0 and not these:
                # Stopped, or ThreadSanitizer reported something else (a SEGV: it ends with its own status);
                # another run would end no better: a hang would only cost its limit again.
                if found:
                    break
                return C.Race.SKIPPED, (f"at N = {n} with {team} threads the instrumented program {_ended(done)}, "
                                        "so no race could be ruled out",)
    if found:
        return C.Race.FOUND, tuple(found)
    return C.Race.FREE, (f"{CLANG}, N = {' and '.join(map(str, sizes))}, {' and '.join(map(str, RACE_TEAMS))} "
                         "threads",)

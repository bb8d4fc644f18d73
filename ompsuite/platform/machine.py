"""Where a study ran: the context written beside its figures, so another machine can be compared.
Each fact has one reader here, save the topology and the processor's name (platform.topology)."""
import contextlib
import datetime
import hashlib
import os
import platform
import re
import socket
from typing import Any, Dict, Iterable, Optional, Protocol, Sequence, Tuple

from ompsuite.errors import SuiteError
from ompsuite.platform.child import run_tool
from ompsuite.platform.console import progress
from ompsuite.platform.files import listdir, read_small
from ompsuite.platform.topology import Topology

# machine.csv's version (its schema row; docs/files.md): new facts are new rows, it changes with a row's meaning.
SCHEMA = "1"
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.realpath(__file__))))  # the repository
COMPILER_TIMEOUT_S = 30.0  # a compiler says its version at once; more is a hang


class Binding(Protocol):
    def describe(self) -> str: ...


# -- Memory ----------------------------------------------------------------------------------------

def meminfo(path: str = "/proc/meminfo") -> dict[str, int]:
    """/proc/meminfo's sizes in bytes, by name (MemTotal, MemAvailable, ...); empty when unreadable."""
    sizes = {}
    for line in (read_small(path) or "").splitlines():
        if m := re.fullmatch(r"(\w+(?:\(\w+\))?):\s+(\d+)(?: kB)?", line.strip()):
            sizes[m.group(1)] = int(m.group(2)) * (1024 if line.rstrip().endswith("kB") else 1)
    return sizes


def mem_available() -> int:
    """Bytes of memory the kernel reports as available for new allocations; 0 when unknown."""
    return meminfo().get("MemAvailable", 0)


# Feature bits the balloon device offers the guest (their numbers as the device defines them).
_BALLOON_BITS = (("balloon_deflate_on_oom", 2), ("balloon_free_page_hint", 3), ("balloon_free_page_reporting", 5))


def memory_facts(sys_root: str = "/sys") -> dict[str, str]:
    """What the kernel and hypervisor do with free memory, for machine.csv (why it shapes a fill: docs/noise.md,
    "This virtual machine"); a value that cannot be read is empty, with the reason in memory_notes."""
    facts: dict[str, str] = {}
    notes: list[str] = []
    thp = os.path.join(sys_root, "kernel", "mm", "transparent_hugepage")
    for name in ("enabled", "defrag"):
        shown = read_small(os.path.join(thp, name))  # the choice in use in brackets: always [madvise] never
        value = shown[shown.index("[") + 1:shown.index("]")] if shown and "[" in shown and "]" in shown else None
        facts["thp_" + name] = value or ""
        if value is None:
            notes.append(f"transparent huge page {name} setting not readable")

    facts.update(virtio_balloon="", **{name: "" for name, _ in _BALLOON_BITS})
    driver = os.path.join(sys_root, "bus", "virtio", "drivers", "virtio_balloon")
    if not os.path.isdir(os.path.join(sys_root, "bus")):
        notes.append("no device buses visible: balloon unknown")
    else:
        devices = sorted(d for d in listdir(driver) if d.startswith("virtio"))
        facts["virtio_balloon"] = "yes" if devices else "no"
        bits = read_small(os.path.join(driver, devices[0], "features")) if devices else None
        if bits and set(bits) <= {"0", "1"}:
            for name, bit in _BALLOON_BITS:  # one character per feature bit, bit 0 first
                facts[name] = "yes" if len(bits) > bit and bits[bit] == "1" else "no"
        elif devices:
            notes.append("balloon feature bits not readable")
    order = read_small(os.path.join(sys_root, "module", "page_reporting", "parameters", "page_reporting_order"))
    facts["page_reporting_order"] = order or ""
    if order is None:
        notes.append("no free page reporting order shown")

    facts["damon"] = _damon(os.path.join(sys_root, "kernel", "mm", "damon", "admin", "kdamonds"), notes)
    facts["memory_notes"] = "; ".join(notes)
    return facts


def _damon(kdamonds: str, notes: list[str]) -> str:
    """'off', or 'on: <operations> <actions>' per running monitor; 'no' without the DAMON sysfs interface."""
    damon = os.path.dirname(os.path.dirname(kdamonds))
    if not os.path.isdir(os.path.dirname(damon)):
        notes.append("no memory management settings visible: DAMON unknown")
        return ""
    if not os.path.isdir(damon):
        return "no"
    if not os.path.isdir(kdamonds):
        notes.append("DAMON present but its monitors are not listed")
        return ""
    running = []
    for k in sorted(d for d in listdir(kdamonds) if d.isdigit()):
        if (state := read_small(os.path.join(kdamonds, k, "state"))) is None:
            notes.append("DAMON state not readable (root only)")
            return ""
        if state != "on":
            continue
        contexts = os.path.join(kdamonds, k, "contexts")
        for c in sorted(d for d in listdir(contexts) if d.isdigit()):
            schemes = os.path.join(contexts, c, "schemes")
            actions = [read_small(os.path.join(schemes, s, "action")) or "?"
                       for s in sorted(d for d in listdir(schemes) if d.isdigit())]
            running.append(" ".join([read_small(os.path.join(contexts, c, "operations")) or "?", *actions]))
    return "on: " + ", ".join(running) if running else "off"


# -- The compiler ----------------------------------------------------------------------------------

def own_build_tree(bindir: str, root: str = ROOT) -> Optional[str]:
    """The build tree whose bin folder bindir is, when that tree is one of the repository's own
    (build/NAME); None for programs from anywhere else, whose neighbours are not believed."""
    real = os.path.realpath(bindir)
    tree = os.path.dirname(real)
    ours = os.path.basename(real) == "bin" and os.path.dirname(tree) == os.path.realpath(os.path.join(root, "build"))
    return tree if ours and os.path.isfile(os.path.join(tree, "CMakeCache.txt")) else None


def compiler(bindir: str, root: str = ROOT) -> str:
    """The version line of the compiler the programs' own build tree recorded; 'unknown (...)'
    without one. A compiler that does not answer is named without its version, and said so."""
    if (tree := own_build_tree(bindir, root)) is None:
        return "unknown (programs from outside the suite's build trees)"
    if not (path := _read_cache(tree, "CMAKE_CXX_COMPILER")):
        return "unknown (no compiler in the build tree's CMake cache)"
    try:
        done = run_tool([path, "--version"], f"the compiler's version query ({path} --version)", COMPILER_TIMEOUT_S,
                        output_cap=64 << 10)
    except SuiteError as e:
        progress(f"note: {e}; machine.csv names the compiler without its version")
        return path
    lines = done.stdout.splitlines()
    return lines[0].strip() if done.returncode == 0 and lines and lines[0].strip() else path


# -- Where the programs and the tools came from ----------------------------------------------------

PROVENANCE = ("suite_version", "suite_commit", "tools_version", "variant_digests")


def digest(path: str) -> str:
    """A file's SHA-256, 'unreadable: why' when it cannot be read."""
    h = hashlib.sha256()
    try:
        with open(path, "rb") as f:
            for block in iter(lambda: f.read(1 << 20), b""):
                h.update(block)
    except OSError as e:
        return f"unreadable: {e.strerror or e}"
    return h.hexdigest()


def commit(tree: Optional[str]) -> str:
    """The commit a git checkout is at, with ' with changes' when its files differ from it."""
    if tree is None:
        return "unknown (programs from outside the suite's build trees)"
    try:
        head = run_tool(["git", "-C", tree, "rev-parse", "HEAD"], "git", COMPILER_TIMEOUT_S)
        # Without optional locks a status leaves the index alone: a refresh written meanwhile would
        # change the checkout under a copy of it (the batch script's) or under the user's own git.
        status = run_tool(["git", "--no-optional-locks", "-C", tree, "status", "--porcelain"], "git",
                          COMPILER_TIMEOUT_S)
    except SuiteError as e:
        return f"unknown ({e})"
    if head.returncode or status.returncode:
        return "unknown (not a git checkout)"
    return head.stdout.strip() + (" with changes" if status.stdout.strip() else "")


def _version(tree: str) -> str:
    """The suite's version in a build tree's cache, or in the project file of a source tree."""
    found = re.search(r"project\(ompsuite VERSION ([\w.]+)", read_small(os.path.join(tree, "CMakeLists.txt")) or "")
    return _read_cache(tree, "CMAKE_PROJECT_VERSION") or (found.group(1) if found else "unknown")


def provenance(bindir: str, variants: Sequence[Tuple[str, str]], root: str = ROOT) -> list[tuple[str, str]]:
    """Where the study's programs and tools came from: the PROVENANCE rows (docs/files.md, "machine.csv")."""
    tree = own_build_tree(bindir, root)
    source = _read_cache(tree, "CMAKE_HOME_DIRECTORY") if tree else None
    return [("suite_version", _version(tree) if tree else "unknown"), ("suite_commit", commit(source)),
            ("tools_version", f"{_version(root)} {commit(root)}"),
            ("variant_digests", " ".join(f"{name}={digest(path)}" for name, path in variants))]


def _read_cache(tree: str, key: str) -> Optional[str]:
    m = re.search(rf"^{key}:\w+=(.+)$", read_small(os.path.join(tree, "CMakeCache.txt")) or "", re.M)
    return m.group(1).strip() if m else None


def facts(bindir: str, binding: Binding, cores: int, topology: Topology,
          extra: Iterable[tuple[str, str]] = ()) -> list[tuple[str, str]]:
    """Key, value pairs for machine.csv (docs/files.md): cores are those the study may use."""
    omp = {k: v for k, v in os.environ.items() if k.startswith(("OMP_", "GOMP_", "KMP_"))}
    return [("host", socket.gethostname()),
            ("date", datetime.datetime.now().astimezone().isoformat(timespec="seconds")),
            ("processor", topology.model or platform.processor() or platform.machine()), ("cores", str(cores)),
            ("cpus", str(os.cpu_count())), ("memory_bytes", str(meminfo().get("MemTotal", 0))),
            ("compiler", compiler(bindir)), ("os", f"{platform.system()} {platform.release()}"),
            ("openmp_environment", " ".join(f"{k}={v}" for k, v in sorted(omp.items())) or "(none)"),
            ("binding", binding.describe()), ("pi_level", pi_level(bindir) or "as built"), *topology.pairs(),
            *memory_facts().items(), *extra]


# -- The level the pi programs run at -------------------------------------------------------------

LOADER = "/lib64/ld-linux-x86-64.so.2"  # glibc's, which picks a portable tree's level (pi/CMakeLists.txt)
LEVEL_TIMEOUT_S = 30.0
PI_PROGRAMS = ("quadplain", "quadguard", "quadmerge")
SOFTWARE_FMA = "portable build, software fma"
LIBRARY_FMA = "portable build, fma through the math library"
LEVEL_WHY = {SOFTWARE_FMA: "the processor (as glibc sees it) has no FMA instruction, so each term's fused "
                           "multiply-add is computed in software, hundreds of times slower",
             LIBRARY_FMA: "x86-64-v2 code calls the math library for each term's fused multiply-add, "
                          "about four times slower than the instruction"}


def pi_level(bindir: str, loader: str = LOADER) -> str:
    """The level a portable tree's pi programs run at here and how their fma is made, asked of glibc's
    loader (docs/build.md); "" for a tree without per-level code (tuned for its host, or another system's)."""
    found = set()
    for name in PI_PROGRAMS:
        path = os.path.join(bindir, name)
        if not os.path.isfile(path) or not os.path.exists(loader):
            continue
        with contextlib.suppress(SuiteError):  # a loader that fails on one program says nothing of its level
            listed = run_tool([loader, "--list", path], f"the loader's list of {name}'s libraries", LEVEL_TIMEOUT_S,
                              output_cap=64 << 10).stdout
            if m := re.search(r"libompsuite-\w+\.so => \S*/ompsuite/(?:glibc-hwcaps/([\w-]+)/)?lib", listed):
                found.add(m.group(1) or "")
    if not found:
        return ""
    if found != {""}:
        return "portable build, " + " / ".join(sorted(found - {""})) + " code, hardware fma"
    diag = ""
    with contextlib.suppress(SuiteError):
        diag = run_tool([loader, "--list-diagnostics"], "the loader's diagnostics", LEVEL_TIMEOUT_S).stdout
    # The CPUID words glibc uses, (leaf, register): its math library's fma is the instruction with
    # FMA (leaf 1, ECX bit 12) or AMD's FMA4 (leaf 0x80000001, ECX bit 16), else software.
    active = {(int(f, 16), int(r, 16)): int(v, 16) for f, r, v in re.findall(
        r"(?m)^x86\.cpu_features\.features\[(0x[0-9a-f]+)\]\.active\[(0x[0-9a-f]+)\]=(0x[0-9a-f]+)$", diag)}
    hardware = not active or active.get((0, 2), 0) >> 12 & 1 or active.get((2, 2), 0) >> 16 & 1
    return LIBRARY_FMA if hardware else SOFTWARE_FMA


def context(topology: Any) -> Dict[str, Any]:
    """The topology's facts as the micro-benchmark library writes them, and the load average."""
    found: Dict[str, Any] = dict(topology.context()) if topology is not None else {}
    found["load_avg"] = []
    with contextlib.suppress(OSError):
        found["load_avg"] = list(os.getloadavg())
    return found

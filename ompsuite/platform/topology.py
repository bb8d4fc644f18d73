"""The machine's topology and where each fact came from (docs/files.md, "machine.csv"); the parsers
are pure functions of their input, tested on stored output.
    python3 -m ompsuite.platform.topology [--cores]  # machine.csv's pairs; --cores: the physical cores usable"""
import collections
import contextlib
import csv
import dataclasses
import os
import re
import shutil
import sys
import xml.etree.ElementTree as ET
from typing import Callable, Hashable, Iterable, Optional, Union

from ompsuite.errors import SuiteError, os_reason
from ompsuite.platform.child import run_child
from ompsuite.platform.files import listdir, read_small, write_atomic

KINDS = ("data", "instruction", "unified")
STANDARD_CACHES = ("L1d", "L1i", "L2", "L3")

# Bounds on what a source may claim: beyond them it is taken as damaged, not believed.
MAX_PUS = 1 << 16
MAX_NUMA_NODES = 1 << 12
MAX_CACHE_LEVEL = 5
MAX_CACHE_BYTES = 1 << 40
MAX_TEXT = 64 << 20
TOOL_TIMEOUT_S = 60.0

CoreId = Hashable  # whatever names one physical core: equal for the hardware threads of one core
ContextValue = Union[str, int, float, None, list[str], list[dict[str, Union[str, int]]]]


@dataclasses.dataclass(frozen=True)
class Cache:
    """One kind of cache: `count` instances of `size_bytes`, each shared by `shared_by` logical CPUs
    (google benchmark's num_sharing); count and shared_by are None where the source does not say."""
    level: int
    kind: str
    size_bytes: int
    shared_by: Optional[int] = None
    count: Optional[int] = None

    @property
    def key(self) -> str:
        """L1d, L1i, L2, ...: the name engineers use, and the machine.csv key after cache_."""
        return f"L{self.level}" + {"data": "d", "instruction": "i", "unified": ""}[self.kind]


@dataclasses.dataclass
class Topology:
    source: str
    sockets: Optional[int]
    cores: int
    threads_per_core: int
    pus: int
    numa_nodes: Optional[int] = None
    caches: list[Cache] = dataclasses.field(default_factory=list)
    model: str = ""
    mhz: Optional[float] = None
    # Logical CPU -> its physical core, where the source says: physical_cores() counts the usable ones.
    pu_core: dict[int, CoreId] = dataclasses.field(default_factory=dict, repr=False)
    notes: list[str] = dataclasses.field(default_factory=list)

    def pairs(self) -> list[tuple[str, str]]:
        """(key, value) pairs for machine.csv, values as text ('unknown' where not known)."""
        out = [(key, "unknown" if v is None else str(v)) for key, v in (
            ("topology_source", self.source), ("sockets", self.sockets), ("cores_physical", self.cores),
            ("threads_per_core", self.threads_per_core), ("logical_cpus", self.pus), ("numa_nodes", self.numa_nodes))]
        # The usual four always, so that machines compare key by key; any others after them.
        keys: dict[str, None] = dict.fromkeys(STANDARD_CACHES)
        keys.update(dict.fromkeys(c.key for c in sorted(self.caches, key=_cache_order)))
        # Several kinds under one name (hybrid parts) are joined by '; '.
        out += [(f"cache_{key}", "; ".join(_describe_cache(c, self) for c in self.caches if c.key == key) or "unknown")
                for key in keys]
        if self.notes:
            out.append(("topology_note", "; ".join(self.notes)))
        return out

    def context(self) -> dict[str, ContextValue]:
        """The facts for a JSON context: google benchmark's keys (num_cpus, caches, ...) and topology_* ones."""
        ctx: dict[str, ContextValue] = {"num_cpus": self.pus}
        if self.mhz:
            ctx["mhz_per_cpu"] = int(round(self.mhz))
        caches: list[dict[str, Union[str, int]]] = [
            {"type": c.kind.capitalize(), "level": c.level, "size": c.size_bytes,
             "num_sharing": c.shared_by or 0} for c in sorted(self.caches, key=_cache_order)]
        ctx["caches"] = caches
        ctx.update(topology_source=self.source, topology_sockets=self.sockets, topology_cores=self.cores,
                   topology_threads_per_core=self.threads_per_core, topology_numa_nodes=self.numa_nodes)
        if self.model:
            ctx["topology_model"] = self.model
        if self.notes:
            ctx["topology_notes"] = list(self.notes)
        return ctx


def _cache_order(c: Cache) -> tuple[int, int, int]:
    return c.level, KINDS.index(c.kind), c.size_bytes


def _describe_cache(c: Cache, topo: Topology) -> str:
    """'32 KiB x2, per core': the size in the largest binary unit that holds it exactly."""
    unit, scale = next((u, s) for u, s in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10), ("B", 1))
                       if c.size_bytes % s == 0)
    text = f"{c.size_bytes // scale} {unit}" + (f" x{c.count}" if c.count is not None else "")
    if c.shared_by is None:
        return text
    scopes = ((c.shared_by == topo.threads_per_core, "per core"), (c.shared_by == 1, "per logical CPU"),
              (c.count is not None and c.count == topo.sockets and c.shared_by * c.count == topo.pus, "per socket"),
              (c.shared_by == topo.pus, "shared by all CPUs"), (True, f"shared by {c.shared_by} logical CPUs"))
    return f"{text}, {next(scope for applies, scope in scopes if applies)}"


def _count(value: object, what: str, low: int = 1, high: int = MAX_PUS) -> int:
    """An integer read from a source, inside its plausible range, or ValueError saying which."""
    try:
        n = int(str(value).strip())
    except ValueError:
        raise ValueError(f"{what} is {value!r}, not a whole number") from None
    if not low <= n <= high:
        raise ValueError(f"{what} is {n}, outside {low} ... {high}")
    return n


def _checked(topo: Topology) -> Topology:
    """The record if its counts agree with one another; ValueError otherwise."""
    for value, what, high in ((topo.pus, "the logical CPU count", MAX_PUS), (topo.cores, "the core count", topo.pus),
                              (topo.threads_per_core, "threads per core", topo.pus),
                              (topo.sockets, "the socket count", topo.cores),
                              (topo.numa_nodes, "the NUMA node count", MAX_NUMA_NODES)):
        if value is not None:  # sockets and NUMA nodes may be unknown
            _count(value, what, high=high)
    if topo.pus > topo.cores * topo.threads_per_core:
        raise ValueError(f"{topo.pus} logical CPUs do not fit {topo.cores} cores of {topo.threads_per_core} threads")
    for c in topo.caches:
        _count(c.level, "a cache level", high=MAX_CACHE_LEVEL)
        _count(c.size_bytes, f"the L{c.level} size", high=MAX_CACHE_BYTES)
        if c.kind not in KINDS:
            raise ValueError(f"cache kind {c.kind!r} is none of {', '.join(KINDS)}")
        for value, what in ((c.count, f"the {c.key} instance count"), (c.shared_by, f"the CPUs sharing one {c.key}")):
            if value is not None:
                _count(value, what, high=topo.pus)
    return topo


def _group_caches(instances: Iterable[tuple[int, str, int, Optional[int]]]) -> list[Cache]:
    """Cache records from (level, kind, size, shared_by) of every instance."""
    counted = collections.Counter(instances)
    return [Cache(level, kind, size, shared, n)
            for (level, kind, size, shared), n in sorted(counted.items(), key=lambda kv: (kv[0][:3], kv[0][3] or 0))]


# -- hwloc -----------------------------------------------------------------------------------------

# hwloc 2 names; hwloc 1 wrote Socket and a generic Cache with its level in depth.
_HWLOC_CACHE = re.compile(r"^L(\d)(i?)Cache$")
_HWLOC_CACHE_TYPE = {"0": "unified", "1": "data", "2": "instruction"}


def from_hwloc_xml(text: str) -> Topology:
    """A Topology from `lstopo --of xml` (hwloc 1.x or 2.x); ValueError if it is not one."""
    if len(text) > MAX_TEXT:
        raise ValueError(f"the hwloc XML is larger than {MAX_TEXT >> 20} MiB")
    # A topology file has no business declaring entities; refusing them keeps entity expansion out.
    if "<!ENTITY" in text:
        raise ValueError("the hwloc XML declares entities")
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        raise ValueError(f"the hwloc XML does not parse: {e}") from None
    if root.tag != "topology":
        raise ValueError(f"the XML's root is <{root.tag}>, not <topology>")

    kinds: "collections.Counter[str]" = collections.Counter()  # objects of each type
    pu_core: dict[int, CoreId] = {}
    per_core: list[int] = []  # the PUs of each core, in the order met
    instances: list[tuple[int, str, int, Optional[int]]] = []

    def pus_under(el: ET.Element) -> int:
        return sum(1 for o in el.iter("object") if o.get("type") == "PU")

    def walk(el: ET.Element, core: Optional[CoreId]) -> None:
        for obj in el.findall("object"):
            kind = obj.get("type", "")
            kinds[kind] += 1
            here = core
            if kind == "Core":
                per_core.append(pus_under(obj))
                here = ("core", len(per_core))
            elif kind == "PU":
                index = _count(obj.get("os_index", ""), "a PU's os_index", low=0, high=MAX_PUS - 1)
                if index in pu_core:
                    raise ValueError(f"PU {index} appears twice")
                pu_core[index] = core if core is not None else ("pu", index)
            elif (m := _HWLOC_CACHE.match(kind)) or kind == "Cache":
                level = int(m.group(1)) if m else _count(obj.get("depth", ""), "a cache depth", high=MAX_CACHE_LEVEL)
                ctype = "instruction" if m and m.group(2) else _HWLOC_CACHE_TYPE.get(obj.get("cache_type", "0"))
                if ctype is None:
                    raise ValueError(f"L{level} cache_type is {obj.get('cache_type')!r}")
                size = _count(obj.get("cache_size", ""), f"the L{level} cache_size", high=MAX_CACHE_BYTES)
                instances.append((level, ctype, size, pus_under(obj)))
            walk(obj, here)

    try:
        walk(root, None)
    except RecursionError:
        raise ValueError("the hwloc XML nests too deep") from None
    if not pu_core:
        raise ValueError("the hwloc XML holds no PU")
    return _checked(Topology("hwloc", sockets=kinds["Package"] + kinds["Socket"] or 1,
                             cores=len(per_core) or len(pu_core), threads_per_core=max(per_core) if per_core else 1,
                             pus=len(pu_core), numa_nodes=kinds["NUMANode"] or None,
                             caches=_group_caches(i for i in instances if i[3]), pu_core=pu_core))


def _lstopo() -> str:
    """hwloc's XML of this machine, or ValueError saying why there is none."""
    if not (path := shutil.which("lstopo-no-graphics")):
        raise ValueError("lstopo-no-graphics is not installed")
    try:
        done = run_child([path, "--of", "xml"], timeout_s=TOOL_TIMEOUT_S, output_cap=MAX_TEXT)
    except SuiteError as e:
        raise ValueError(str(e)) from None
    if done.timed_out:
        raise ValueError(f"lstopo-no-graphics gave no answer in {TOOL_TIMEOUT_S:g} s and was stopped")
    if done.over_cap:
        raise ValueError(f"lstopo-no-graphics printed more than {MAX_TEXT >> 20} MiB on {done.over_cap}")
    if done.returncode != 0:
        err = done.stderr.strip().splitlines()
        raise ValueError(f"lstopo-no-graphics failed with status {done.returncode}" + (f": {err[-1]}" if err else ""))
    return done.stdout


# -- sysfs -----------------------------------------------------------------------------------------

def cpu_list(text: str) -> list[int]:
    """The kernel's list format, '0-3,8,10-11', as the CPU numbers it names; ValueError if damaged."""
    cpus: list[int] = []
    for part in text.strip().split(","):
        lo, _, hi = part.strip().partition("-")
        first = _count(lo, "a CPU number", low=0, high=MAX_PUS - 1)
        last = _count(hi, "a CPU number", low=first, high=MAX_PUS - 1) if hi else first
        cpus.extend(range(first, last + 1))
        if len(cpus) > MAX_PUS:
            raise ValueError(f"a CPU list names more than {MAX_PUS} CPUs")
    return cpus


_SYSFS_SIZE = re.compile(r"^(\d+)([KMG]?)$")
_SYSFS_CACHE_TYPE = {"Data": "data", "Instruction": "instruction", "Unified": "unified"}


def from_sysfs(sys_root: str = "/sys") -> Topology:
    """A Topology from the kernel's record under sys_root; ValueError when it is missing or contradictory."""
    cpu_root = os.path.join(sys_root, "devices", "system", "cpu")
    if online := read_small(os.path.join(cpu_root, "online")):
        cpus = cpu_list(online)
    else:
        try:
            cpus = sorted(int(d[3:]) for d in os.listdir(cpu_root) if re.fullmatch(r"cpu\d+", d))
        except OSError as e:
            raise ValueError(f"{cpu_root}: {os_reason(e)}") from None
    if not cpus:
        raise ValueError(f"{cpu_root} lists no CPU")
    pu_core: dict[int, CoreId] = {}
    packages: set[str] = set()
    unknown_core = 0
    instances: dict[tuple[int, str, tuple[int, ...]], int] = {}
    for cpu in cpus:
        here = os.path.join(cpu_root, f"cpu{cpu}")
        package, core_id, siblings, old_siblings = (read_small(os.path.join(here, "topology", f)) for f in (
            "physical_package_id", "core_id", "core_cpus_list", "thread_siblings_list"))  # the last: older kernels
        package, siblings = None if package == "-1" else package, siblings or old_siblings
        if siblings:
            threads = tuple(cpu_list(siblings))
            if cpu not in threads:
                raise ValueError(f"cpu{cpu}'s core lists {siblings}, not itself")
            pu_core[cpu] = ("threads", threads)
        elif package is not None and core_id is not None:
            pu_core[cpu] = ("core", package, core_id)
        else:
            pu_core[cpu] = ("pu", cpu)
            unknown_core += 1
        if package is not None:
            packages.add(package)
        for index in sorted(d for d in listdir(os.path.join(here, "cache")) if re.fullmatch(r"index\d+", d)):
            cache = os.path.join(here, "cache", index)
            level, kind, size = (read_small(os.path.join(cache, f)) for f in ("level", "type", "size"))
            if level is None or kind not in _SYSFS_CACHE_TYPE or size is None:
                continue  # not a CPU cache the kernel describes fully
            if not (m := _SYSFS_SIZE.match(size)):
                raise ValueError(f"cpu{cpu}'s {index} size is {size!r}")
            scale = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30}[m.group(2)]
            shared = read_small(os.path.join(cache, "shared_cpu_list"))
            sharing = tuple(cpu_list(shared)) if shared else (cpu,)
            key = (_count(level, f"cpu{cpu}'s {index} level", high=MAX_CACHE_LEVEL), _SYSFS_CACHE_TYPE[kind], sharing)
            instances[key] = _count(int(m.group(1)) * scale, f"cpu{cpu}'s {index} size", high=MAX_CACHE_BYTES)
    threads_of = collections.Counter(pu_core.values())
    numa = sum(1 for d in listdir(os.path.join(sys_root, "devices", "system", "node")) if re.fullmatch(r"node\d+", d))
    notes = [f"sysfs names no core for {unknown_core} logical CPU(s): each counted as a core"] if unknown_core else []
    return _checked(Topology("sysfs", sockets=len(packages) or None, cores=len(threads_of),
                             threads_per_core=max(threads_of.values()), pus=len(cpus), numa_nodes=numa or None,
                             caches=_group_caches((level, kind, size, len(sharing))
                                                  for (level, kind, sharing), size in instances.items()),
                             pu_core=pu_core, notes=notes))


def processor(cpuinfo: str = "/proc/cpuinfo") -> tuple[str, Optional[float]]:
    """The processor's name and its clock in MHz (the highest any CPU shows) from /proc/cpuinfo, the
    only place Linux gives them without a frequency driver: ('', None) where it does not."""
    text = read_small(cpuinfo) or ""
    name = re.search(r"^model name\s*:\s*(.+)$", text, re.M)
    mhz = [float(v) for v in re.findall(r"^cpu MHz\s*:\s*(\d+(?:\.\d+)?)\s*$", text, re.M)]
    clock = max(mhz) if mhz and 0 < max(mhz) < 1e6 else None
    return (name.group(1).strip() if name else ""), clock


# -- The sources in order --------------------------------------------------------------------------

def find(sys_root: str = "/sys", cpuinfo: str = "/proc/cpuinfo",
         hwloc: Optional[Callable[[], str]] = None) -> tuple[Topology, Optional[str]]:
    """This machine's Topology from the first source that answers plausibly (notes: why those before
    did not), and hwloc's XML when hwloc (lstopo by default) answered. discover() is the one to call."""
    notes: list[str] = []
    xml: Optional[str] = None
    try:
        xml = (hwloc or _lstopo)()
        topo = from_hwloc_xml(xml)
    except Exception as e:  # output the parser did not foresee fails the source like any other fault
        xml = None
        notes.append(f"hwloc: {e}" if isinstance(e, ValueError) else
                     f"hwloc: unexpected output ({type(e).__name__}: {e})")
        try:
            topo = from_sysfs(sys_root)
        except ValueError as why:
            n = os.cpu_count() or 1
            notes.append(f"sysfs: {why}; {n} CPUs from os.cpu_count, each counted as a core")
            topo = Topology("os.cpu_count", sockets=None, cores=n, threads_per_core=1, pus=n)
    topo.notes[:0] = notes
    topo.model, topo.mhz = processor(cpuinfo)
    return topo, xml


_found: Optional[tuple[Topology, Optional[str]]] = None


def discover(save_xml_to: Optional[str] = None) -> Topology:
    """This machine's Topology, found once a process (hwloc runs at most once). With save_xml_to,
    hwloc's XML (when it answered) is written there whole; SuiteError when that fails."""
    global _found
    if _found is None:
        _found = find()
    topo, xml = _found
    if save_xml_to and xml is not None:
        try:
            write_atomic(save_xml_to, xml)
        except OSError as e:
            raise SuiteError(f"cannot write {save_xml_to}: {os_reason(e)}") from None
    return topo


def physical_cores(topology: Optional[Topology] = None, affinity: Optional[Iterable[int]] = None) -> int:
    """Physical cores this process may run on: the cores of the logical CPUs in its affinity mask
    where the source maps CPUs to cores, else the machine's cores scaled to the mask."""
    topo = topology or discover()
    allowed: set[int] = set()
    with contextlib.suppress(AttributeError, OSError):  # no affinity on this system
        allowed = set(os.sched_getaffinity(0) if affinity is None else affinity)
    if allowed and topo.pu_core:
        # A CPU the topology does not know (hot-plugged since) counts as a core of its own.
        return len({topo.pu_core.get(cpu, ("pu", cpu)) for cpu in allowed})
    if not allowed or len(allowed) >= topo.pus:
        return topo.cores
    return max(1, min(topo.cores, len(allowed) // topo.threads_per_core))


def default_threads(cores: Optional[int] = None) -> list[int]:
    """1, 2, 4, ... below the core count, and the core count itself."""
    n = physical_cores() if cores is None else cores
    return [2 ** k for k in range((n - 1).bit_length())] + [n]


def main(argv: list[str]) -> int:
    if argv not in ([], ["--cores"]):
        raise SuiteError("usage: python3 -m ompsuite.platform.topology [--cores]", 2)
    topo = discover()
    if argv == ["--cores"]:
        print(physical_cores(topo))
    else:
        csv.writer(sys.stdout, lineterminator="\n").writerows(topo.pairs())
    return 0


if __name__ == "__main__":
    from ompsuite.platform.console import run_main
    run_main("topology", main, sys.argv[1:])

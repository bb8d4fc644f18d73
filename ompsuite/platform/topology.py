"""The machine's topology as an HPC engineer records it: sockets, physical cores, hardware threads
per core, logical CPUs, NUMA nodes and caches, and where those facts came from.

discover() asks hwloc (lstopo-no-graphics --of xml) when it is installed, else lscpu -J, else
/proc/cpuinfo; a source that is missing, fails or says something implausible passes to the next,
and the record says which one answered and why the others did not. The parsers are pure
functions of the text, so each source is tested on stored output.

    python3 -m ompsuite.platform.topology --cores    # physical cores this process may run on
    python3 -m ompsuite.platform.topology            # the machine.csv pairs, one "key,value" a line
"""
import csv
import dataclasses
import json
import os
import re
import shutil
import subprocess
import sys
import xml.etree.ElementTree as ET

from ompsuite.errors import SuiteError
from ompsuite.platform.files import write_atomic

SOURCES = ("hwloc", "lscpu", "/proc/cpuinfo")
KINDS = ("data", "instruction", "unified")
STANDARD_CACHES = ("L1d", "L1i", "L2", "L3")
LIBRARY_CACHE_TYPE = {"data": "Data", "instruction": "Instruction", "unified": "Unified"}

# Bounds on what a file may claim: beyond them the source is taken as damaged, not believed.
MAX_PUS = 1 << 16
MAX_NUMA_NODES = 1 << 12
MAX_CACHE_LEVEL = 5
MAX_CACHE_BYTES = 1 << 40
MAX_TEXT = 64 << 20
TOOL_TIMEOUT_S = 60


@dataclasses.dataclass(frozen=True)
class Cache:
    """One kind of cache: `count` instances of `size_bytes`, each shared by `shared_by` logical
    CPUs (the counting google benchmark's num_sharing uses). count and shared_by are None where
    the source does not say."""
    level: int
    kind: str
    size_bytes: int
    shared_by: int = None
    count: int = None

    @property
    def key(self):
        """L1d, L1i, L2, ...: the name engineers use, and the machine.csv key after cache_."""
        return f"L{self.level}" + {"data": "d", "instruction": "i", "unified": ""}[self.kind]


@dataclasses.dataclass
class Topology:
    source: str
    sockets: int
    cores: int
    threads_per_core: int
    pus: int
    numa_nodes: int = None
    caches: list = dataclasses.field(default_factory=list)
    model: str = ""
    mhz: float = None
    # Logical CPU number -> an identity of its physical core, where the source gives one; it lets
    # physical_cores() count only the cores a restricted process may use.
    pu_core: dict = dataclasses.field(default_factory=dict, repr=False)
    notes: list = dataclasses.field(default_factory=list)

    def cache_text(self, key):
        """'32 KiB x2, per core'; several kinds under one name (hybrid parts) joined by '; '."""
        return "; ".join(_describe_cache(c, self) for c in self.caches if c.key == key)

    def pairs(self):
        """(key, value) pairs for machine.csv, values as text ('unknown' where not known)."""
        unknown = lambda v: "unknown" if v is None else str(v)
        out = [("topology_source", self.source), ("sockets", unknown(self.sockets)),
               ("cores_physical", str(self.cores)), ("threads_per_core", str(self.threads_per_core)),
               ("logical_cpus", str(self.pus)), ("numa_nodes", unknown(self.numa_nodes))]
        # The usual four always, so that machines compare key by key; any others after them.
        keys = dict.fromkeys(STANDARD_CACHES)
        keys.update(dict.fromkeys(c.key for c in sorted(self.caches, key=_cache_order)))
        out += [(f"cache_{key}", self.cache_text(key) or "unknown") for key in keys]
        if self.notes:
            out.append(("topology_note", "; ".join(self.notes)))
        return out

    def context(self):
        """The same facts for a JSON context: google benchmark's own keys (num_cpus, mhz_per_cpu,
        caches as it writes them) and the suite's topology_* keys."""
        ctx = {"num_cpus": self.pus}
        if self.mhz:
            ctx["mhz_per_cpu"] = int(round(self.mhz))
        ctx["caches"] = [{"type": LIBRARY_CACHE_TYPE[c.kind], "level": c.level, "size": c.size_bytes,
                          "num_sharing": c.shared_by or 0} for c in sorted(self.caches, key=_cache_order)]
        ctx.update(topology_source=self.source, topology_sockets=self.sockets, topology_cores=self.cores,
                   topology_threads_per_core=self.threads_per_core, topology_numa_nodes=self.numa_nodes)
        if self.model:
            ctx["topology_model"] = self.model
        if self.notes:
            ctx["topology_notes"] = list(self.notes)
        return ctx


def _cache_order(c):
    return c.level, KINDS.index(c.kind), c.size_bytes


def size_text(n):
    """Bytes in the largest binary unit that holds them exactly: 49152 -> '48 KiB'."""
    for unit, scale in (("GiB", 1 << 30), ("MiB", 1 << 20), ("KiB", 1 << 10)):
        if n % scale == 0:
            return f"{n // scale} {unit}"
    return f"{n} B"


def _describe_cache(c, topo):
    text = size_text(c.size_bytes)
    if c.count is not None:
        text += f" x{c.count}"
    if c.shared_by is None:
        return text
    if c.shared_by == topo.threads_per_core or (c.shared_by == 1 and topo.threads_per_core == 1):
        scope = "per core"
    elif c.shared_by == 1:
        scope = "per logical CPU"
    elif c.count is not None and c.count == topo.sockets and c.shared_by * c.count == topo.pus:
        scope = "per socket"
    elif c.shared_by == topo.pus:
        scope = "shared by all CPUs"
    else:
        scope = f"shared by {c.shared_by} logical CPUs"
    return f"{text}, {scope}"


def _count(value, what, low=1, high=MAX_PUS):
    """An integer read from a file, inside its plausible range, or ValueError saying which."""
    try:
        n = int(str(value).strip())
    except ValueError:
        raise ValueError(f"{what} is {value!r}, not a whole number") from None
    if not low <= n <= high:
        raise ValueError(f"{what} is {n}, outside {low} ... {high}")
    return n


def _checked(topo):
    """The record if its counts agree with one another; ValueError otherwise."""
    _count(topo.pus, "the logical CPU count")
    _count(topo.cores, "the core count", high=topo.pus)
    _count(topo.threads_per_core, "threads per core", high=topo.pus)
    if topo.sockets is not None:
        _count(topo.sockets, "the socket count", high=topo.cores)
    if topo.numa_nodes is not None:
        _count(topo.numa_nodes, "the NUMA node count", high=MAX_NUMA_NODES)
    if topo.pus > topo.cores * topo.threads_per_core:
        raise ValueError(f"{topo.pus} logical CPUs do not fit {topo.cores} cores of {topo.threads_per_core} threads")
    for c in topo.caches:
        _count(c.level, "a cache level", high=MAX_CACHE_LEVEL)
        _count(c.size_bytes, f"the L{c.level} size", high=MAX_CACHE_BYTES)
        if c.kind not in KINDS:
            raise ValueError(f"cache kind {c.kind!r} is none of {', '.join(KINDS)}")
        if c.count is not None:
            _count(c.count, f"the {c.key} instance count", high=topo.pus)
        if c.shared_by is not None:
            _count(c.shared_by, f"the CPUs sharing one {c.key}", high=topo.pus)
    if topo.mhz is not None and not 0 < topo.mhz < 1e6:
        topo.mhz = None
    return topo


def _group_caches(instances):
    """Cache records from (level, kind, size, shared_by) of every instance."""
    counted = {}
    for inst in instances:
        counted[inst] = counted.get(inst, 0) + 1
    return [Cache(level, kind, size, shared, n) for (level, kind, size, shared), n in sorted(counted.items())]


def _text(text, what):
    if not isinstance(text, str):
        raise ValueError(f"{what} is not text")
    if len(text) > MAX_TEXT:
        raise ValueError(f"{what} is larger than {MAX_TEXT >> 20} MiB")
    return text


# hwloc 2 names; hwloc 1 wrote Socket and a generic Cache with its level in depth.
_HWLOC_CACHE = re.compile(r"^L(\d)(i?)Cache$")
_HWLOC_CACHE_TYPE = {"0": "unified", "1": "data", "2": "instruction"}


def from_hwloc_xml(text):
    """A Topology from `lstopo --of xml` (hwloc 1.x or 2.x); ValueError if it is not one."""
    text = _text(text, "the hwloc XML")
    # A topology file has no business declaring entities; refusing them keeps entity expansion out.
    if "<!ENTITY" in text:
        raise ValueError("the hwloc XML declares entities")
    try:
        root = ET.fromstring(text)
    except ET.ParseError as e:
        raise ValueError(f"the hwloc XML does not parse: {e}") from None
    if root.tag != "topology":
        raise ValueError(f"the XML's root is <{root.tag}>, not <topology>")

    packages = cores = numa = 0
    pus = []
    pu_core = {}
    per_core = []
    instances = []
    model = ""

    def pus_under(el):
        return sum(1 for o in el.iter("object") if o.get("type") == "PU")

    def walk(el, core):
        nonlocal packages, cores, numa, model
        for obj in el.findall("object"):
            kind = obj.get("type", "")
            here = core
            if kind in ("Package", "Socket"):
                packages += 1
                for info in obj.findall("info"):
                    if info.get("name") == "CPUModel" and not model:
                        model = info.get("value", "")
            elif kind == "NUMANode":
                numa += 1
            elif kind == "Core":
                cores += 1
                here = ("core", cores)
                per_core.append(pus_under(obj))
            elif kind == "PU":
                index = _count(obj.get("os_index", ""), "a PU's os_index", low=0, high=MAX_PUS - 1)
                if index in pu_core:
                    raise ValueError(f"PU {index} appears twice")
                pus.append(index)
                pu_core[index] = core if core is not None else ("pu", index)
            else:
                m = _HWLOC_CACHE.match(kind)
                if m or kind == "Cache":
                    level = (int(m.group(1)) if m
                             else _count(obj.get("depth", ""), "a cache depth", high=MAX_CACHE_LEVEL))
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
    if not pus:
        raise ValueError("the hwloc XML holds no PU")
    n_cores = cores or len(pus)
    topo = Topology("hwloc", sockets=packages or 1, cores=n_cores,
                    threads_per_core=max(per_core) if per_core else 1, pus=len(pus), numa_nodes=numa or None,
                    caches=_group_caches(i for i in instances if i[3] > 0), model=model, pu_core=pu_core)
    return _checked(topo)


_LSCPU_SIZE = re.compile(r"^\s*([\d.]+)\s*([KMGT]?)(i?B)?\s*(?:\((\d+) instances?\))?\s*$")
_LSCPU_CACHE = re.compile(r"^L(\d)([di]?)(?: cache)?$")


def _lscpu_fields(nodes, out):
    """lscpu -J entries, flat (util-linux up to 2.38) or nested under children (later)."""
    if not isinstance(nodes, list):
        raise ValueError("a list of entries is not a list")
    for node in nodes:
        if not isinstance(node, dict):
            raise ValueError("an entry is not an object")
        field, data = node.get("field"), node.get("data")
        if isinstance(field, str) and isinstance(data, str):
            out.setdefault(field.strip().rstrip(":"), data.strip())
        if "children" in node:
            _lscpu_fields(node["children"], out)
    return out


def _cpu_list(text):
    """'0-3,8,10-11' -> number of CPUs named."""
    n = 0
    for part in text.split(","):
        lo, _, hi = part.strip().partition("-")
        lo = _count(lo, "a CPU number", low=0)
        hi = _count(hi, "a CPU number", low=lo) if hi else lo
        n += hi - lo + 1
    return _count(n, "the CPU list's length")


def from_lscpu_json(text):
    """A Topology from `lscpu -J`; ValueError if it is not one or its counts disagree."""
    text = _text(text, "the lscpu JSON")
    try:
        doc = json.loads(text)
        if not isinstance(doc, dict) or "lscpu" not in doc:
            raise ValueError("it has no 'lscpu' list")
        f = _lscpu_fields(doc["lscpu"], {})
    except RecursionError:
        raise ValueError("the lscpu JSON nests too deep") from None
    except ValueError as e:
        raise ValueError(f"the lscpu output is not what lscpu -J writes: {e}") from None
    if "On-line CPU(s) list" in f:
        pus = _cpu_list(f["On-line CPU(s) list"])
    elif "CPU(s)" in f:
        pus = _count(f["CPU(s)"], "CPU(s)")
    else:
        raise ValueError("lscpu gives no CPU count")
    tpc = _count(f.get("Thread(s) per core", "1"), "Thread(s) per core", high=pus)
    sockets = f.get("Socket(s)")
    sockets = _count(sockets, "Socket(s)", high=pus) if sockets not in (None, "-") else None
    per_socket = f.get("Core(s) per socket") or f.get("Core(s) per cluster")
    if per_socket and per_socket != "-":
        cores = _count(per_socket, "Core(s) per socket", high=pus) * (sockets or 1)
    else:
        cores = -(-pus // tpc)
    numa = f.get("NUMA node(s)")
    caches = []
    for field, data in f.items():
        m = _LSCPU_CACHE.match(field)
        if not m:
            continue
        level, kind = int(m.group(1)), {"d": "data", "i": "instruction", "": "unified"}[m.group(2)]
        s = _LSCPU_SIZE.match(data)
        if not s:
            raise ValueError(f"lscpu {field} is {data!r}")
        scale = {"": 1, "K": 1 << 10, "M": 1 << 20, "G": 1 << 30, "T": 1 << 40}[s.group(2)]
        total = int(round(float(s.group(1)) * scale))
        if s.group(4):
            # New lscpu gives the total over all instances.
            count = _count(s.group(4), f"lscpu {field} instances", high=pus)
            size, shared = total // count, (pus // count if pus % count == 0 else None)
        else:
            # Old lscpu gives one instance and not how many there are.
            size, shared, count = total, None, None
        caches.append(Cache(level, kind, _count(size, f"lscpu {field}", high=MAX_CACHE_BYTES), shared, count))
    mhz = None
    for key in ("CPU max MHz", "CPU MHz"):
        try:
            mhz = float(f[key].replace(",", "."))
            break
        except (KeyError, ValueError):
            pass
    topo = Topology("lscpu", sockets=sockets, cores=cores, threads_per_core=tpc, pus=pus,
                    numa_nodes=_count(numa, "NUMA node(s)", high=MAX_NUMA_NODES) if numa else None,
                    caches=sorted(caches, key=_cache_order), model=f.get("Model name", ""), mhz=mhz)
    return _checked(topo)


def from_cpuinfo(text):
    """A Topology from /proc/cpuinfo. Without 'physical id' and 'core id' (some architectures)
    each logical CPU counts as a core, and a note says so. It names no caches with their level,
    so the record has none."""
    text = _text(text, "/proc/cpuinfo")
    cpus = []
    for block in re.split(r"\n\s*\n", text):
        fields = {}
        for line in block.splitlines():
            key, sep, value = line.partition(":")
            if sep:
                fields.setdefault(key.strip(), value.strip())
        if "processor" in fields and fields["processor"].isdigit():
            cpus.append(fields)
            if len(cpus) > MAX_PUS:
                raise ValueError(f"/proc/cpuinfo lists more than {MAX_PUS} processors")
    if not cpus:
        raise ValueError("/proc/cpuinfo lists no processor")
    pu_core, notes = {}, []
    for c in cpus:
        index = _count(c["processor"], "a processor number", low=0, high=MAX_PUS - 1)
        if index in pu_core:
            raise ValueError(f"processor {index} appears twice")
        if "physical id" in c and "core id" in c:
            pu_core[index] = (c["physical id"], c["core id"])
        else:
            pu_core[index] = ("pu", index)
    if all("physical id" in c and "core id" in c for c in cpus):
        sockets = len({c["physical id"] for c in cpus})
    else:
        sockets = None
        notes.append("/proc/cpuinfo gives no core ids: each logical CPU counted as a core")
    threads = {}
    for core in pu_core.values():
        threads[core] = threads.get(core, 0) + 1
    mhz = [float(c["cpu MHz"]) for c in cpus if re.fullmatch(r"\d+(\.\d+)?", c.get("cpu MHz", ""))]
    topo = Topology("/proc/cpuinfo", sockets=sockets, cores=len(threads), threads_per_core=max(threads.values()),
                    pus=len(cpus), model=cpus[0].get("model name", ""), mhz=max(mhz) if mhz else None,
                    pu_core=pu_core, notes=notes)
    return _checked(topo)


def _tool(which, run, name, args):
    """The tool's standard output, or ValueError saying why there is none."""
    path = which(name)
    if not path:
        raise ValueError(f"{name} is not installed")
    try:
        proc = run([path, *args], capture_output=True, text=True, timeout=TOOL_TIMEOUT_S)
    except subprocess.TimeoutExpired:
        raise ValueError(f"{name} gave no answer in {TOOL_TIMEOUT_S} s") from None
    except (OSError, UnicodeDecodeError) as e:
        raise ValueError(f"{name} did not run: {e}") from None
    if proc.returncode != 0:
        err = (proc.stderr or "").strip().splitlines()
        raise ValueError(f"{name} failed with status {proc.returncode}" + (f": {err[-1]}" if err else ""))
    return proc.stdout


def _read_text(path):
    with open(path, errors="replace") as f:
        text = f.read(MAX_TEXT + 1)
    return text


def _attempt(source):
    """(Topology, None) from source(), or (None, why it gave none). Output a parser did not
    foresee fails that source like any other fault, so the next one is asked."""
    try:
        return source(), None
    except ValueError as e:
        return None, str(e)
    except OSError as e:
        return None, e.strerror or str(e)
    except Exception as e:
        return None, f"unexpected output ({type(e).__name__}: {e})"


def discover(save_xml_to=None, which=shutil.which, run=subprocess.run, cpuinfo="/proc/cpuinfo"):
    """This machine's Topology, from the first source that answers plausibly; its notes say why
    the sources before it did not. With save_xml_to, hwloc's XML is kept there (written whole or
    not at all); a failure to write it raises SuiteError, since the caller asked for that file."""
    def hwloc():
        text = _tool(which, run, "lstopo-no-graphics", ["--of", "xml"])
        return from_hwloc_xml(text), text

    notes = []
    found, why = _attempt(hwloc)
    if found:
        topo, xml = found
        if save_xml_to:
            try:
                write_atomic(save_xml_to, xml)
            except OSError as e:
                raise SuiteError(f"cannot write {save_xml_to}: {e.strerror or e}") from None
        if topo.mhz is None:
            # hwloc records no clock; /proc/cpuinfo does, where it is readable.
            topo.mhz = (_attempt(lambda: from_cpuinfo(_read_text(cpuinfo)))[0] or topo).mhz
        return topo
    notes.append(f"hwloc: {why}")
    topo, why = _attempt(lambda: from_lscpu_json(_tool(which, run, "lscpu", ["-J"])))
    if topo:
        topo.notes[:0] = notes
        return topo
    notes.append(f"lscpu: {why}")
    topo, why = _attempt(lambda: from_cpuinfo(_read_text(cpuinfo)))
    if topo is None:
        # Nothing but the CPU count is known: each CPU counts as a core, and the note says so.
        n = os.cpu_count() or 1
        notes.append(f"{cpuinfo}: {why}; {n} CPUs from os.cpu_count, each counted as a core")
        return Topology("/proc/cpuinfo", sockets=None, cores=n, threads_per_core=1, pus=n, notes=notes)
    count = os.cpu_count()
    if count and count != topo.pus:
        notes.append(f"os.cpu_count says {count} CPUs, /proc/cpuinfo lists {topo.pus}")
    topo.notes[:0] = notes
    return topo


def _affinity():
    try:
        return set(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        return None


def physical_cores(topology=None, affinity=None):
    """Physical cores this process may run on: the cores of the logical CPUs in its affinity mask
    where the source maps CPUs to cores, else the machine's cores scaled to the mask."""
    topo = topology or discover()
    allowed = _affinity() if affinity is None else set(affinity)
    if not allowed:
        return topo.cores
    if topo.pu_core:
        # A CPU the topology does not know (hot-plugged since) counts as a core of its own.
        return len({topo.pu_core.get(cpu, ("pu", cpu)) for cpu in allowed})
    if len(allowed) >= topo.pus:
        return topo.cores
    return max(1, min(topo.cores, len(allowed) // topo.threads_per_core))


def default_threads(cores=None):
    """1, 2, 4, ... below the core count, and the core count itself."""
    cores = physical_cores() if cores is None else cores
    out, t = [], 1
    while t < cores:
        out.append(t)
        t *= 2
    return out + [cores]


def main(argv=None):
    args = sys.argv[1:] if argv is None else argv
    if args not in ([], ["--cores"]):
        print("usage: python3 -m ompsuite.platform.topology [--cores]", file=sys.stderr)
        return 2
    topo = discover()
    if args == ["--cores"]:
        print(physical_cores(topo))
    else:
        csv.writer(sys.stdout, lineterminator="\n").writerows(topo.pairs())
    return 0


if __name__ == "__main__":
    try:
        sys.exit(main())
    except SuiteError as e:
        print(f"topology: {e}", file=sys.stderr)
        sys.exit(e.status)

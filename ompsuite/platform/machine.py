"""Where a study ran: the context written beside its figures, so another machine can be compared."""
import datetime
import os
import platform
import re
import socket
import subprocess
from typing import Any, Dict

from ompsuite.platform.interference import memory_facts

SCHEMA = "1"


def _read(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def processor():
    m = re.search(r"^model name\s*:\s*(.+)$", _read("/proc/cpuinfo"), re.M)
    return m.group(1).strip() if m else (platform.processor() or platform.machine())


def memory_bytes():
    m = re.search(r"MemTotal:\s+(\d+)", _read("/proc/meminfo"))
    return int(m.group(1)) * 1024 if m else 0


def compiler(bindir):
    """The compiler recorded in the build tree the programs came from, with its version line."""
    cache = _read(os.path.join(os.path.dirname(os.path.normpath(bindir)), "CMakeCache.txt"))
    m = re.search(r"^CMAKE_CXX_COMPILER:\w+=(.+)$", cache, re.M)
    if not m:
        return "unknown (programs from outside a build tree)"
    try:
        out = subprocess.run([m.group(1), "--version"], capture_output=True, text=True).stdout
        return out.splitlines()[0] if out else m.group(1)
    except OSError:
        return m.group(1)


def facts(bindir, binding, cores, topology, extra=()):
    """Key, value pairs for machine.csv: cores are the physical cores the study may use, cpus
    the logical CPUs; then the topology and what shapes memory behaviour on this machine."""
    omp = {k: v for k, v in os.environ.items() if k.startswith(("OMP_", "GOMP_", "KMP_"))}
    return [("schema", SCHEMA), ("host", socket.gethostname()),
            ("date", datetime.datetime.now().astimezone().isoformat(timespec="seconds")),
            ("processor", processor()), ("cores", str(cores)),
            ("cpus", str(os.cpu_count())), ("memory_bytes", str(memory_bytes())),
            ("compiler", compiler(bindir)), ("os", f"{platform.system()} {platform.release()}"),
            ("openmp_environment", " ".join(f"{k}={v}" for k, v in sorted(omp.items())) or "(none)"),
            ("binding", binding.describe()), *topology.pairs(), *memory_facts().items(), *extra]


def context(topology: Any) -> Dict[str, Any]:
    """The topology's facts as the micro-benchmark library writes them, and the load average."""
    found: Dict[str, Any] = dict(topology.context()) if topology is not None else {}
    try:
        found["load_avg"] = list(os.getloadavg())
    except OSError:
        found["load_avg"] = []
    return found

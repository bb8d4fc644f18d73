"""What else happened while a program ran: a record taken around the child process, outside its timed window.

A run's own time cannot say whether it was disturbed, so the judgement rests on independent measurements:
the child's resource usage (from wait4), the machine's CPU time and hypervisor steal (/proc/stat), and the
memory-management counters that explain a slow fill (/proc/vmstat). Whatever the platform does not offer is
left empty and named in the notes, never guessed.
"""
import dataclasses
import os
import sys

# Machine-wide memory events that explain why a fill was slow. pgfault/pgmajfault put the child's own faults in
# context (others faulting at the same time); thp_* say whether faults were served by huge pages (512x fewer,
# each zeroing 2 MiB) or fell back to small ones; compact_* and the direct reclaim counters are stalls taken
# inside an allocation; balloon_* are pages the hypervisor took back or returned during the run.
VMSTAT_COUNTERS = ("pgfault", "pgmajfault", "thp_fault_alloc", "thp_fault_fallback", "compact_stall",
                   "compact_fail", "allocstall_normal", "pgscan_direct", "pgsteal_direct",
                   "balloon_inflate", "balloon_deflate")

# The thresholds of disturbed(), in cores: CPU-seconds of others per second of the run's wall time, on top of
# the tick rounding of /proc/stat (tick_allowance). The tool itself sleeps in wait4 while the child runs; an
# idle VM's kernel threads and the tool's reads of /proc use a few hundredths of a core, while any real program
# beside the run uses far more than a tenth. The comparison treats 2% as noise, and a serial run that loses 2%
# of its core to the hypervisor is slowed by about that much.
LOAD_CORES = 0.10
STEAL_CORES = 0.02
# A second rule, from the child's own CPU time (counted in nanoseconds, no tick rounding): a team of T
# threads on T free cores gets T x its wall time of CPU, less its start and end (exec, loading, the runtime
# starting its threads, the final print: a few milliseconds at one thread). A run that got less than that by
# over a quarter of a core was kept off its cores: by another program on one of them (a hog on one of two
# cores takes half of it), or by the hypervisor without telling (no steal counted). This is what judges the
# short runs, where the machine-wide counters' tick rounding hides even a whole core of other load. It does
# not use the run's speed: a slow run that had its cores all along is not marked.
LOST_CORES = 0.25
START_S = 0.005     # per thread: the part of a run's life in which not all its threads can be running
JUDGEABLE_S = 0.02  # below this a run's life is mostly start and end: no rule can tell it was disturbed

_USAGE_FIELDS = ("user_s", "system_s", "minor_faults", "major_faults", "voluntary_switches",
                 "involuntary_switches", "peak_rss_bytes")


@dataclasses.dataclass
class Usage:
    """The child's own resource usage, as wait4 returns it for that one process (and what it waited for)."""
    user_s: float
    system_s: float
    minor_faults: int
    major_faults: int
    voluntary_switches: int
    involuntary_switches: int
    peak_rss_bytes: int

    @classmethod
    def from_rusage(cls, ru):
        # ru_maxrss is in KiB on Linux, in bytes on macOS.
        rss_unit = 1 if sys.platform == "darwin" else 1024
        return cls(ru.ru_utime, ru.ru_stime, ru.ru_minflt, ru.ru_majflt, ru.ru_nvcsw, ru.ru_nivcsw,
                   ru.ru_maxrss * rss_unit)


@dataclasses.dataclass
class CpuTimes:
    """Machine-wide CPU seconds since boot. busy is user + nice + system + irq + softirq: idle and iowait are
    time nothing ran, steal is time the hypervisor ran something else instead of this guest (not work done
    here), and guest/guest_nice are already counted inside user/nice."""
    busy_s: float
    steal_s: float  # None on a kernel whose cpu line stops before the steal column
    cpus: int
    tick_hz: int


def _clock_ticks():
    try:
        return os.sysconf("SC_CLK_TCK")
    except (AttributeError, ValueError, OSError):
        return 100


def read_cpu_times(path="/proc/stat"):
    """CpuTimes from the aggregate cpu line of /proc/stat, or None when there is no such file or it cannot be
    read as one."""
    try:
        with open(path) as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError):
        return None
    total = next((line.split()[1:] for line in lines if line.split()[:1] == ["cpu"]), None)
    cpus = sum(1 for line in lines if line.startswith("cpu") and line[3:4].isdigit())
    if total is None or len(total) < 7 or not cpus:
        return None
    try:
        ticks = [int(v) for v in total]
    except ValueError:
        return None
    hz = _clock_ticks()
    user, nice, system, _idle, _iowait, irq, softirq = ticks[:7]
    steal = ticks[7] / hz if len(ticks) > 7 else None
    return CpuTimes((user + nice + system + irq + softirq) / hz, steal, cpus, hz)


def read_vmstat(path="/proc/vmstat"):
    """The VMSTAT_COUNTERS this kernel has, by name. A counter the kernel lacks is absent, not 0: absent means
    unknown. An unreadable file gives an empty dict."""
    found = {}
    try:
        with open(path) as f:
            for line in f:
                parts = line.split()
                if len(parts) == 2 and parts[0] in VMSTAT_COUNTERS:
                    try:
                        found[parts[0]] = int(parts[1])
                    except ValueError:
                        pass
    except (OSError, UnicodeDecodeError):
        return {}
    return found


def _read(path):
    try:
        with open(path) as f:
            return f.read().strip()
    except (OSError, UnicodeDecodeError):
        return None


def _bracketed(text):
    """The selected choice of a sysfs setting shown as 'always [madvise] never'."""
    if text and "[" in text and "]" in text:
        return text[text.index("[") + 1:text.index("]")]
    return None


# Feature bits the balloon device offers the guest (their numbers as the device defines them).
_BALLOON_BITS = (("balloon_deflate_on_oom", 2), ("balloon_free_page_hint", 3), ("balloon_free_page_reporting", 5))


def memory_facts(sys_root="/sys"):
    """What the kernel and hypervisor do with free memory, for machine.csv: an ordered dict of strings.

    Huge pages decide how many faults a fill takes; a virtio balloon with free page reporting hands freed guest
    memory back to the host, so a later fill of the same memory pays again for the host to back it; DAMON,
    when running, may page out memory it finds cold. Each value that cannot be read is empty, with the reason
    in memory_notes."""
    facts, notes = {}, []
    thp = os.path.join(sys_root, "kernel", "mm", "transparent_hugepage")
    for name in ("enabled", "defrag"):
        value = _bracketed(_read(os.path.join(thp, name)))
        facts["thp_" + name] = value or ""
        if value is None:
            notes.append(f"transparent huge page {name} setting not readable")

    facts.update(virtio_balloon="", **{name: "" for name, _ in _BALLOON_BITS})
    driver = os.path.join(sys_root, "bus", "virtio", "drivers", "virtio_balloon")
    if not os.path.isdir(os.path.join(sys_root, "bus")):
        notes.append("no device buses visible: balloon unknown")
    else:
        devices = sorted(d for d in _listdir(driver) if d.startswith("virtio"))
        facts["virtio_balloon"] = "yes" if devices else "no"
        bits = _read(os.path.join(driver, devices[0], "features")) if devices else None
        if bits and set(bits) <= {"0", "1"}:
            for name, bit in _BALLOON_BITS:  # one character per feature bit, bit 0 first
                facts[name] = "yes" if len(bits) > bit and bits[bit] == "1" else "no"
        elif devices:
            notes.append("balloon feature bits not readable")
    order = _read(os.path.join(sys_root, "module", "page_reporting", "parameters", "page_reporting_order"))
    facts["page_reporting_order"] = order or ""
    if order is None:
        notes.append("no free page reporting order shown")

    facts["damon"] = _damon(os.path.join(sys_root, "kernel", "mm", "damon", "admin", "kdamonds"), notes)
    facts["memory_notes"] = "; ".join(notes)
    return facts


def _damon(kdamonds, notes):
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
    for k in sorted(d for d in _listdir(kdamonds) if d.isdigit()):
        state = _read(os.path.join(kdamonds, k, "state"))
        if state is None:
            notes.append("DAMON state not readable (root only)")
            return ""
        if state != "on":
            continue
        contexts = os.path.join(kdamonds, k, "contexts")
        for c in sorted(d for d in _listdir(contexts) if d.isdigit()):
            schemes = os.path.join(contexts, c, "schemes")
            actions = [_read(os.path.join(schemes, s, "action")) or "?"
                       for s in sorted(d for d in _listdir(schemes) if d.isdigit())]
            running.append(" ".join([_read(os.path.join(contexts, c, "operations")) or "?", *actions]))
    return "on: " + ", ".join(running) if running else "off"


def _listdir(path):
    try:
        return os.listdir(path)
    except OSError:
        return []


@dataclasses.dataclass
class Snapshot:
    """The machine's counters at one moment: take one before starting the child, one after reaping it."""
    cpu: CpuTimes  # None where /proc/stat is missing
    vmstat: dict

    @classmethod
    def take(cls, stat_path="/proc/stat", vmstat_path="/proc/vmstat"):
        return cls(read_cpu_times(stat_path), read_vmstat(vmstat_path))


# The CSV columns of a record, in order.
FIELDS = ("watched_s", "cpus_allowed", "machine_cpus", "tick_hz", *_USAGE_FIELDS, "machine_busy_s", "steal_s",
          "other_load_s", *("vm_" + c for c in VMSTAT_COUNTERS), "interference_notes")


@dataclasses.dataclass
class Interference:
    """One run's interference record. watched_s is the tool's own wall clock between the two snapshots;
    cpus_allowed is how many CPUs the child was given, so other load can be read against the CPUs it left
    free. Any field the platform did not offer is None and named in notes."""
    watched_s: float
    cpus_allowed: int
    machine_cpus: int = None
    tick_hz: int = None
    user_s: float = None
    system_s: float = None
    minor_faults: int = None
    major_faults: int = None
    voluntary_switches: int = None
    involuntary_switches: int = None
    peak_rss_bytes: int = None
    machine_busy_s: float = None
    steal_s: float = None
    other_load_s: float = None  # machine busy minus the child's user + system: everyone else's CPU time
    vm: dict = dataclasses.field(default_factory=dict)  # counter deltas, by VMSTAT_COUNTERS name
    notes: str = ""

    @classmethod
    def build(cls, before, after, usage, wall_s, cpus_allowed):
        rec, notes = cls(wall_s, cpus_allowed), []
        if usage is not None:
            for f in _USAGE_FIELDS:
                setattr(rec, f, getattr(usage, f))
        else:
            notes.append("no resource usage of the child")
        if before.cpu and after.cpu:
            rec.machine_cpus, rec.tick_hz = after.cpu.cpus, after.cpu.tick_hz
            rec.machine_busy_s = after.cpu.busy_s - before.cpu.busy_s
            if usage is not None:
                rec.other_load_s = rec.machine_busy_s - usage.user_s - usage.system_s
            if before.cpu.steal_s is not None and after.cpu.steal_s is not None:
                rec.steal_s = after.cpu.steal_s - before.cpu.steal_s
            else:
                notes.append("no steal time")
        else:
            notes.append("no machine CPU times")
        rec.vm = {c: after.vmstat[c] - before.vmstat[c] for c in VMSTAT_COUNTERS
                  if c in before.vmstat and c in after.vmstat}
        missing = [c for c in VMSTAT_COUNTERS if c not in rec.vm]
        if missing:
            notes.append("no vmstat " + " ".join(missing))
        rec.notes = "; ".join(notes)
        return rec

    def values(self):
        """The record flat, by FIELDS: numbers as numbers, None where the platform gave nothing."""
        values = dataclasses.asdict(self)
        values.update({"vm_" + c: self.vm.get(c) for c in VMSTAT_COUNTERS}, interference_notes=self.notes)
        return {f: values[f] for f in FIELDS}

    def row(self):
        """A flat CSV row: FIELDS to strings, None to ''."""
        return {f: "" if v is None else f"{v:.6f}" if isinstance(v, float) else str(v)
                for f, v in self.values().items()}


def tick_allowance(cpus, tick_hz):
    """CPU-seconds of rounding in a difference of two /proc/stat readings: each CPU's counter is a whole
    number of ticks (USER_HZ, usually 100 per second) and is charged a tick at a time, so it can be up to
    one tick off at each end. The child's own usage is counted in nanoseconds and adds nothing."""
    return 2 * cpus / tick_hz


def too_short_to_watch(wall_s, cpus, tick_hz, load_cores=LOAD_CORES):
    """True when a whole core of other load over the run would still hide inside the tick rounding, so
    disturbed() saying nothing about the run is no evidence that it was quiet (about 45 ms on two CPUs at
    100 ticks per second)."""
    return (1.0 - load_cores) * wall_s <= tick_allowance(cpus, tick_hz)


def lost_cpu(rec, threads):
    """CPU-seconds a team of threads did not get over its life, or None when that cannot be said (no usage,
    an unknown team, or more threads than CPUs, which must share them)."""
    if rec.user_s is None or not threads or rec.watched_s is None or threads > (rec.cpus_allowed or 0):
        return None
    return threads * rec.watched_s - rec.user_s - rec.system_s


def disturbed(rec, wall_s=None, load_cores=LOAD_CORES, steal_cores=STEAL_CORES, threads=None,
              lost_cores=LOST_CORES, life_s=None):
    """A short reason when other load or steal over the run exceeded its threshold, or (given the team's
    size) the team got less CPU than its cores by over lost_cores, else None. None also when the record lacks
    the fields to judge (no claim either way). wall_s defaults to the record's own watched time. Each
    threshold is cores x wall time plus the rounding of its readings, so rounding alone never marks a short
    run on an idle machine. life_s: the lifetime of a run of the program that did no work, where it was
    measured: its start and end, in which only one of the team's threads can be busy (an instrumented build
    starts for tens of milliseconds); START_S per thread where not. A run whose life beyond that is under
    JUDGEABLE_S is not judged by its team's CPU time."""
    wall_s = rec.watched_s if wall_s is None else wall_s
    if wall_s is None or wall_s <= 0:
        return None
    reasons = []
    lost = lost_cpu(rec, threads)
    if life_s is None:
        allowance, working = START_S * (threads or 1), wall_s
    else:
        allowance, working = (threads - 1) * life_s + START_S if threads else 0.0, wall_s - life_s
    if lost is not None and working >= JUDGEABLE_S and lost > lost_cores * wall_s + allowance:
        reasons.append(f"kept off its cores: {lost:.2g} CPU-s short ({lost / wall_s:.2f} cores)")
    if rec.machine_cpus is None or rec.tick_hz is None:
        return "; ".join(reasons) or None
    rounding = tick_allowance(rec.machine_cpus, rec.tick_hz)
    if rec.other_load_s is not None and rec.other_load_s > load_cores * wall_s + rounding:
        reasons.append(f"other load {rec.other_load_s:.2f} CPU-s ({rec.other_load_s / wall_s:.1f} cores)")
    if rec.steal_s is not None and rec.steal_s > steal_cores * wall_s + rounding:
        reasons.append(f"steal {rec.steal_s:.2g} s")
    return "; ".join(reasons) or None

"""What else happened while a program ran: a record taken around the child process, outside its
timed window, since a run's own time cannot say it was disturbed (docs/noise.md, "The interference record")."""
import contextlib
import dataclasses
import os
import re
import resource
import sys
import time
from typing import Dict, List, Optional, Sequence, Tuple, Union

from ompsuite.platform.files import listdir, read_small

# Machine-wide memory events that explain a slow fill (docs/noise.md, "The interference record").
VMSTAT_COUNTERS = ("pgfault", "pgmajfault", "thp_fault_alloc", "thp_fault_fallback", "compact_stall",
                   "compact_fail", "allocstall_normal", "pgscan_direct", "pgsteal_direct",
                   "balloon_inflate", "balloon_deflate")

# disturbed()'s thresholds in cores, beyond /proc/stat's tick rounding; why these values: docs/noise.md.
LOAD_CORES = 0.10   # others' CPU time: an idle VM uses a few hundredths of a core, any real program far more
STEAL_CORES = 0.02  # the hypervisor's: 2% lost slows a serial run by about 2%, the comparison's noise
LOST_CORES = 0.25   # the team's own CPU time short of threads x wall: judges runs too short for the others
START_S = 0.005     # per thread: the part of a run's life in which not all its threads can be running
JUDGEABLE_S = 0.02  # below this a run's life is mostly start and end: no rule can tell it was disturbed


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
    def from_rusage(cls, ru: resource.struct_rusage) -> "Usage":
        return cls(ru.ru_utime, ru.ru_stime, ru.ru_minflt, ru.ru_majflt, ru.ru_nvcsw, ru.ru_nivcsw,
                   ru.ru_maxrss * (1 if sys.platform == "darwin" else 1024))  # ru_maxrss: KiB, on macOS bytes


@dataclasses.dataclass
class CpuTimes:
    """Machine-wide CPU seconds since boot, busy and steal as docs/noise.md defines them (the guest
    columns are already counted inside user and nice)."""
    busy_s: float
    steal_s: Optional[float]  # None on a kernel whose cpu line stops before the steal column
    cpus: int
    tick_hz: int


def read_cpu_times(path: str = "/proc/stat") -> Optional[CpuTimes]:
    """CpuTimes from the aggregate cpu line of /proc/stat, or None where there is none to read."""
    lines = (read_small(path) or "").splitlines()
    total = next((line.split()[1:] for line in lines if line.split()[:1] == ["cpu"]), None)
    cpus = sum(1 for line in lines if line.startswith("cpu") and line[3:4].isdigit())
    if total is None or len(total) < 7 or not cpus:
        return None
    try:
        ticks = [int(v) for v in total]
    except ValueError:
        return None
    hz = 100  # the usual USER_HZ, where there is no such setting
    with contextlib.suppress(AttributeError, ValueError, OSError):
        hz = os.sysconf("SC_CLK_TCK")
    user, nice, system, _idle, _iowait, irq, softirq = ticks[:7]
    steal = ticks[7] / hz if len(ticks) > 7 else None
    return CpuTimes((user + nice + system + irq + softirq) / hz, steal, cpus, hz)


def read_vmstat(path: str = "/proc/vmstat") -> dict[str, int]:
    """The VMSTAT_COUNTERS this kernel has, by name: one it lacks (or an unreadable file) is absent, not 0."""
    found: dict[str, int] = {}
    for line in (read_small(path) or "").splitlines():
        parts = line.split()
        if len(parts) == 2 and parts[0] in VMSTAT_COUNTERS:
            with contextlib.suppress(ValueError):
                found[parts[0]] = int(parts[1])
    return found


@dataclasses.dataclass
class Snapshot:
    """The machine's counters at one moment: take one before starting the child, one after reaping it."""
    cpu: Optional[CpuTimes]  # None where /proc/stat is missing
    vmstat: dict[str, int]

    @classmethod
    def take(cls, stat_path: str = "/proc/stat", vmstat_path: str = "/proc/vmstat") -> "Snapshot":
        return cls(read_cpu_times(stat_path), read_vmstat(vmstat_path))


# The CSV columns of a record, in order.
FIELDS = ("watched_s", "cpus_allowed", "machine_cpus", "tick_hz", *(f.name for f in dataclasses.fields(Usage)),
          "machine_busy_s", "steal_s", "other_load_s", *("vm_" + c for c in VMSTAT_COUNTERS), "interference_notes")


@dataclasses.dataclass
class Interference:
    """One run's interference record (docs/files.md, "runs.csv"); a field the platform lacks: None, in notes."""
    watched_s: float
    cpus_allowed: int
    machine_cpus: Optional[int] = None
    tick_hz: Optional[int] = None
    user_s: Optional[float] = None
    system_s: Optional[float] = None
    minor_faults: Optional[int] = None
    major_faults: Optional[int] = None
    voluntary_switches: Optional[int] = None
    involuntary_switches: Optional[int] = None
    peak_rss_bytes: Optional[int] = None
    machine_busy_s: Optional[float] = None
    steal_s: Optional[float] = None
    other_load_s: Optional[float] = None  # machine busy minus the child's user + system: everyone else's CPU time
    vm: dict[str, int] = dataclasses.field(default_factory=dict)  # counter deltas, by VMSTAT_COUNTERS name
    notes: str = ""

    @classmethod
    def build(cls, before: Snapshot, after: Snapshot, usage: Optional[Usage], wall_s: float,
              cpus_allowed: int) -> "Interference":
        rec, notes = cls(wall_s, cpus_allowed, **(dataclasses.asdict(usage) if usage is not None else {})), []
        if usage is None:
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
        if missing := [c for c in VMSTAT_COUNTERS if c not in rec.vm]:
            notes.append("no vmstat " + " ".join(missing))
        rec.notes = "; ".join(notes)
        return rec

    def values(self) -> dict[str, Union[int, float, str, None]]:
        """The record flat, by FIELDS: numbers as numbers, None where the platform gave nothing."""
        values = dataclasses.asdict(self)
        values.update({"vm_" + c: self.vm.get(c) for c in VMSTAT_COUNTERS}, interference_notes=self.notes)
        return {f: values[f] for f in FIELDS}

    def row(self) -> dict[str, str]:
        """A flat CSV row: FIELDS to strings, None to ''."""
        return {f: "" if v is None else f"{v:.6f}" if isinstance(v, float) else str(v)
                for f, v in self.values().items()}


def tick_allowance(cpus: int, tick_hz: int) -> float:
    """CPU-seconds of rounding in a difference of two /proc/stat readings (docs/noise.md, "Disturbed runs")."""
    return 2 * cpus / tick_hz


def too_short_to_watch(wall_s: float, cpus: int, tick_hz: int, load_cores: float = LOAD_CORES) -> bool:
    """True when a whole core of other load would hide inside the tick rounding: disturbed() saying
    nothing is then no evidence."""
    return (1.0 - load_cores) * wall_s <= tick_allowance(cpus, tick_hz)


def disturbed(rec: Interference, load_cores: float = LOAD_CORES, steal_cores: float = STEAL_CORES,
              threads: Optional[int] = None, lost_cores: float = LOST_CORES,
              life_s: Optional[float] = None) -> Optional[str]:
    """A short reason for each rule the run broke (docs/noise.md, "Disturbed runs"), else None (also
    for a record that lacks the fields). life_s: the measured life of a run that did no work, when only
    one thread can be busy (an instrumented build's start: tens of ms); START_S a thread if not measured."""
    wall_s = rec.watched_s
    if wall_s is None or wall_s <= 0:
        return None
    reasons = []
    if life_s is None:
        allowance, working = START_S * (threads or 1), wall_s
    else:
        allowance, working = (threads - 1) * life_s + START_S if threads else 0.0, wall_s - life_s
    # The CPU-seconds a team did not get; unknown for an unknown team, or more threads than CPUs (they share).
    if (rec.user_s is not None and rec.system_s is not None and threads and threads <= (rec.cpus_allowed or 0)
            and working >= JUDGEABLE_S):
        if (lost := threads * wall_s - rec.user_s - rec.system_s) > lost_cores * wall_s + allowance:
            reasons.append(_broke(LOST, lost / wall_s, lost_cores))
    if rec.machine_cpus is not None and rec.tick_hz is not None:
        rounding = tick_allowance(rec.machine_cpus, rec.tick_hz)
        for rule, used_s, threshold in ((LOAD, rec.other_load_s, load_cores), (STEAL, rec.steal_s, steal_cores)):
            if used_s is not None and used_s > threshold * wall_s + rounding:
                reasons.append(_broke(rule, used_s / wall_s, threshold))
    return "; ".join(reasons) or None


# The three rules, by the words a run's reason starts with, and the option that sets each.
LOAD, LOST, STEAL = "other load", "kept off its cores", "steal"
RULE_OPTIONS = {LOAD: "--disturbed-load", LOST: "--disturbed-lost", STEAL: "--disturbed-steal"}
_BROKEN = re.compile(rf"({'|'.join(RULE_OPTIONS)}): (\d+(?:\.\d+)?) cores over (\d+(?:\.\d+)?)")


def _broke(rule: str, cores: float, threshold: float) -> str:
    return f"{rule}: {cores:.2f} cores over {threshold:.2f} ({RULE_OPTIONS[rule]})"


def rules_broken(reasons: Sequence[str]) -> Dict[str, Tuple[int, float, str]]:
    """Per rule that disturbed runs broke, from their reasons: in how many runs, their mean figure
    in cores (each run's over its own life) and the threshold, in the order the rules are named."""
    seen: Dict[str, List[float]] = {}
    limit: Dict[str, str] = {}
    for text in reasons:
        for rule, cores, threshold in _BROKEN.findall(text):
            seen.setdefault(rule, []).append(float(cores))
            limit[rule] = threshold
    return {rule: (len(seen[rule]), sum(seen[rule]) / len(seen[rule]), limit[rule])
            for rule in RULE_OPTIONS if rule in seen}


def broken_text(reasons: Sequence[str]) -> str:
    """The rules the runs broke, each with the runs its figure covers: 'other load in 3 runs,
    mean 0.93 cores over 0.10 (--disturbed-load)'; the first reason where none is a rule's."""
    if not (rules := rules_broken(reasons)):
        return reasons[0] if reasons else ""
    return "; ".join(f"{rule} in {n} run{'' if n == 1 else 's'}, {'mean ' if n > 1 else ''}{cores:.2f} cores "
                     f"over {limit} ({RULE_OPTIONS[rule]})" for rule, (n, cores, limit) in rules.items())


LOOK_S = 2.0  # the look before the first timed run: long enough for a tenth of a core to pass the ticks


def look(load_cores: float = LOAD_CORES, steal_cores: float = STEAL_CORES, seconds: float = LOOK_S,
         sys_root: str = "/sys/devices/system/cpu", stat_path: str = "/proc/stat") -> str:
    """One line on whether this machine's figures can be trusted (docs/noise.md, "A look before anything is timed")."""
    before = read_cpu_times(stat_path)
    started = time.monotonic()
    time.sleep(seconds)
    after = read_cpu_times(stat_path)
    wall = time.monotonic() - started
    seen, wrong = [], []
    if before and after:
        rounding = tick_allowance(after.cpus, after.tick_hz) / wall
        steal_s = None if before.steal_s is None or after.steal_s is None else after.steal_s - before.steal_s
        for rule, used_s, threshold, unit in ((LOAD, after.busy_s - before.busy_s, load_cores, " cores"),
                                              (STEAL, steal_s, steal_cores, "")):
            if used_s is not None:
                seen.append(f"{rule} {used_s / wall:.2f}{unit}")
                if used_s / wall > threshold + rounding:
                    wrong.append(_broke(rule, used_s / wall, threshold))
    governors = sorted({read_small(os.path.join(sys_root, c, "cpufreq", "scaling_governor")) or ""
                        for c in listdir(sys_root) if re.fullmatch(r"cpu\d+", c)} - {""})
    seen.append(f"governor {'/'.join(governors)}" if governors else "no governor readable")
    if governors and governors != ["performance"]:
        wrong.append(f"governor {'/'.join(governors)} changes the clock with the load (performance keeps it)")
    smt = read_small(os.path.join(sys_root, "smt", "active")) or ""
    seen.append({"1": "SMT on", "0": "SMT off"}.get(smt, "SMT unknown"))
    if not wrong:
        quiet = not (before and after) or (after.busy_s - before.busy_s) / wall <= LOAD_CORES + rounding
        return (f"machine: {'quiet' if quiet else 'busy, within the thresholds given,'} over {wall:.0f} s "
                f"({', '.join(seen)}): its figures can be trusted")
    return (f"machine: BUSY over {wall:.0f} s ({', '.join(seen)}): {'; '.join(wrong)}. Runs it disturbs are "
            "replaced, then marked untrusted: stop the other work, or use fewer threads (--threads)")

import mmap
import os
import resource
import subprocess
import sys
import tempfile
import textwrap
import unittest
import unittest.mock

from ompsuite.platform import interference as I

HZ = os.sysconf("SC_CLK_TCK")


def stat_text(user, nice, system, idle, iowait, irq, softirq, steal, guest, cpus=2):
    line = f"{user} {nice} {system} {idle} {iowait} {irq} {softirq} {steal} {guest} 0"
    return "".join([f"cpu  {line}\n", *(f"cpu{i} 0 0 0 0 0 0 0 0 0 0\n" for i in range(cpus)),
                    "intr 123 0 0\nctxt 4567\nbtime 1700000000\n"])


class Files(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.dir = tmp.name

    def write(self, rel, text):
        path = os.path.join(self.dir, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "w") as f:
            f.write(text)
        return path


def usage(user_s, system_s, minor=0, rss=0):
    return I.Usage(user_s, system_s, minor, 0, 1, 1, rss)


class RecordTest(Files):
    def test_other_load_and_steal_from_proc_stat(self):
        before = self.write("a/stat", stat_text(1000, 50, 300, 9000, 100, 10, 20, 5, 400))
        # Over the run: user +150 (of which guest +100, already inside user), system +30, irq +2, softirq +3,
        # iowait +50 and steal +20 (neither is work done here): busy 185 ticks.
        after = self.write("b/stat", stat_text(1150, 50, 330, 9100, 150, 12, 23, 25, 500))
        cpu = I.read_cpu_times(after)
        self.assertEqual((cpu.cpus, cpu.tick_hz), (2, HZ))
        rec = I.Interference.build(I.Snapshot(I.read_cpu_times(before), {}), I.Snapshot(cpu, {}),
                                   usage(80 / HZ, 12 / HZ), 100 / HZ, 2)
        self.assertAlmostEqual(rec.machine_busy_s, 185 / HZ)
        self.assertAlmostEqual(rec.steal_s, 20 / HZ)
        self.assertAlmostEqual(rec.other_load_s, 93 / HZ)
        self.assertEqual(rec.machine_cpus, 2)
        if HZ == 100:
            self.assertEqual(I.disturbed(rec), "other load: 0.93 cores over 0.10 (--disturbed-load); "
                                               "steal: 0.20 cores over 0.02 (--disturbed-steal)")

        self.assertIsNone(I.read_cpu_times(os.path.join(self.dir, "missing")))
        self.assertIsNone(I.read_cpu_times(self.write("c/stat", "cpu  1 2 x\ncpu0 1\n")))
        blind = I.Interference.build(I.Snapshot(None, {}), I.Snapshot(None, {}), usage(0.8, 0.1), 1.0, 2)
        self.assertIsNone(blind.other_load_s)
        self.assertIn("no machine CPU times", blind.notes)
        self.assertIsNone(I.disturbed(blind))

    def test_vmstat_deltas_and_row(self):
        before = self.write("a/vmstat", "nr_free_pages 9\npgfault 1000\npgmajfault 3\nthp_fault_alloc 7\n")
        after = self.write("b/vmstat", "nr_free_pages 2\npgfault 61000\npgmajfault 3\n")
        self.assertEqual(I.read_vmstat(before), {"pgfault": 1000, "pgmajfault": 3, "thp_fault_alloc": 7})
        self.assertEqual(I.read_vmstat(os.path.join(self.dir, "missing")), {})
        cpu = I.CpuTimes(10.0, 1.0, 2, 100)
        rec = I.Interference.build(I.Snapshot(cpu, I.read_vmstat(before)), I.Snapshot(cpu, I.read_vmstat(after)),
                                   usage(0.5, 0.25, 60000, 300 << 20), 0.8, 1)
        self.assertEqual(rec.vm, {"pgfault": 60000, "pgmajfault": 0})
        self.assertIn("thp_fault_alloc", rec.notes)

        row = rec.row()
        self.assertEqual(tuple(row), I.FIELDS)
        self.assertTrue(all(isinstance(v, str) for v in row.values()))
        self.assertEqual((row["vm_pgfault"], row["vm_pgmajfault"], row["vm_thp_fault_alloc"]), ("60000", "0", ""))
        self.assertEqual(row["peak_rss_bytes"], str(300 << 20))
        self.assertEqual((rec.values()["minor_faults"], rec.values()["vm_thp_fault_alloc"]), (60000, None))


def record(wall_s, other_load_s, steal_s, cpus=2, hz=100):
    return I.Interference(wall_s, cpus, machine_cpus=cpus, tick_hz=hz, other_load_s=other_load_s, steal_s=steal_s)


class LookTest(Files):
    """The look before anything is timed: what it says of a busy and of a quiet machine."""

    def look(self, busy_s, steal_s, governors, smt, load_cores=I.LOAD_CORES):
        root = tempfile.mkdtemp(dir=self.dir)
        for k, g in enumerate(governors):
            self.write(f"{root}/cpu{k}/cpufreq/scaling_governor", g + "\n")
        self.write(f"{root}/smt/active", smt)
        # The stat file as it reads before the look, then after it: a counter per call.
        readings = iter([I.CpuTimes(100.0, 5.0, 2, 100), I.CpuTimes(100.0 + busy_s, 5.0 + steal_s, 2, 100)])
        with unittest.mock.patch.object(I, "read_cpu_times", lambda path: next(readings)), \
                unittest.mock.patch.object(I.time, "sleep"), unittest.mock.patch.object(I.time, "monotonic",
                                                                                     side_effect=[0.0, 2.0]):
            return I.look(load_cores, sys_root=root)

    def test_busy_and_quiet(self):
        busy = self.look(2.4, 0.0, ["performance", "performance"], "0")
        self.assertRegex(busy, r"^machine: BUSY over 2 s \(other load 1\.20 cores, steal 0\.00, governor "
                               r"performance, SMT off\): other load: 1\.20 cores over 0\.10 \(--disturbed-load\)\. ")
        self.assertNotIn("--disturbed-steal", busy)
        stolen = self.look(0.0, 0.5, ["powersave", "performance"], "1")
        self.assertIn("steal: 0.25 cores over 0.02 (--disturbed-steal)", stolen)
        self.assertIn("governor performance/powersave changes the clock", stolen)
        self.assertIn("SMT on", stolen)
        admitted = self.look(2.4, 0.0, [], "", load_cores=4.0)  # the user accepts the load: not called quiet
        self.assertTrue(admitted.startswith("machine: busy, within the thresholds given, over 2 s"), admitted)
        quiet = self.look(0.02, 0.0, [], "")  # a VM: no governor, no SMT file
        self.assertEqual(quiet, "machine: quiet over 2 s (other load 0.01 cores, steal 0.00, no governor readable, "
                                "SMT unknown): its figures can be trusted")


class DisturbedTest(unittest.TestCase):
    def test_rule(self):
        self.assertIsNone(I.disturbed(record(2.0, 0.05, 0.0)))  # kernel threads on an idle VM
        self.assertEqual(I.disturbed(record(1.0, 0.93, 0.0)), "other load: 0.93 cores over 0.10 (--disturbed-load)")
        self.assertEqual(I.disturbed(record(10.0, 1.2, 0.0)), "other load: 0.12 cores over 0.10 (--disturbed-load)")
        self.assertIsNone(I.disturbed(record(10.0, 0.8, 0.0)))  # the threshold is a load, not CPU-seconds
        self.assertEqual(I.disturbed(record(1.0, 0.0, 0.2)), "steal: 0.20 cores over 0.02 (--disturbed-steal)")
        self.assertIsNone(I.disturbed(record(1.0, 0.0, 0.05)))
        self.assertEqual(I.disturbed(record(1.0, 0.0, 0.2), steal_cores=0.5), None)
        # 1 ms run on an idle machine: one tick on each CPU (0.02 CPU-s) is rounding, not load.
        self.assertIsNone(I.disturbed(record(0.001, 0.019, 0.01)))
        self.assertTrue(I.too_short_to_watch(0.001, 2, 100))
        self.assertTrue(I.too_short_to_watch(0.04, 2, 100))
        self.assertFalse(I.too_short_to_watch(0.05, 2, 100))
        self.assertIsNone(I.disturbed(I.Interference(1.0, 2)))

    def test_lost_cpu_judges_short_runs(self):
        # A 45 ms run of two threads: the tick rounding (0.04 CPU-s) hides a hog from the machine's
        # counters, but the team's own CPU time shows half a core missing.
        hogged = I.Interference(0.045, 2, machine_cpus=2, tick_hz=100, other_load_s=0.03, user_s=0.065, system_s=0.0)
        self.assertIsNone(I.disturbed(hogged))
        self.assertEqual(I.disturbed(hogged, threads=2), "kept off its cores: 0.56 cores over 0.25 (--disturbed-lost)")
        quiet = I.Interference(0.045, 2, user_s=0.082, system_s=0.001)  # its start: 7 ms at one thread
        self.assertIsNone(I.disturbed(quiet, threads=2))
        self.assertIsNone(I.disturbed(quiet, threads=4))  # more threads than CPUs: they must share


@unittest.skipUnless(hasattr(os, "wait4") and sys.platform.startswith("linux"), "needs Linux wait4")
class ChildUsageTest(unittest.TestCase):
    def run_child(self, code):
        proc = subprocess.Popen([sys.executable, "-c", code])
        _, status, ru = os.wait4(proc.pid, 0)
        proc.returncode = os.waitstatus_to_exitcode(status)
        self.assertEqual(proc.returncode, 0)
        return I.Usage.from_rusage(ru)

    @unittest.skipUnless(hasattr(mmap, "MADV_NOHUGEPAGE"), "needs madvise")
    def test_rss_and_faults_are_the_childs_own(self):
        # Small pages forced, so each 4 KiB touched is one fault whatever the huge page setting.
        big = self.run_child(textwrap.dedent("""
            import mmap
            m = mmap.mmap(-1, 200 << 20)
            m.madvise(mmap.MADV_NOHUGEPAGE)
            for i in range(0, len(m), 4096):
                m[i] = 1
            """))
        self.assertGreaterEqual(big.peak_rss_bytes, 200 << 20)
        self.assertGreaterEqual(big.minor_faults, (200 << 20) // 4096)
        self.assertGreater(big.user_s + big.system_s, 0)
        small = self.run_child("pass")
        # The kernel starts a child's peak at this process's own (the memory they shared until
        # its exec), so the small child is small only beside what this process ever held.
        own = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
        self.assertLess(small.peak_rss_bytes, max(big.peak_rss_bytes // 4, own + (16 << 20)))
        self.assertLess(small.minor_faults, big.minor_faults // 4)


if __name__ == "__main__":
    unittest.main()

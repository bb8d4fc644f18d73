"""Black-box test of calibrate at its quick size: the CSV's form, its figures and their order."""
import math
import os
import sys
import unittest

import reference as ref

HEADER = "figure,threads,median,low95,high95,unit,note"
MACHINE = {"timer_tick": "s", "add_latency": "s", "mul_latency": "s", "mul_independent": "s"}
MEMORY = {"first_touch": "s/GB", "write_touched": "s/GB"}
CONSTRUCTS = ("fork_join", "critical", "reduction", "static_loop", "dynamic_chunk")
THREADS = (1, 2)


def calibrate(args, prefix=()):
    cmd = [*prefix, os.environ["SUITE_CALIBRATE"], *args]
    return ref.run(cmd[0], cmd[1:])


class Calibration(unittest.TestCase):
    def quick_run(self):
        """Medians by (figure, threads) of one checked quick run."""
        proc = calibrate(["--quick", "--threads", ",".join(map(str, THREADS))])
        self.assertEqual(proc.returncode, 0, f"stderr {proc.stderr!r}")
        lines = proc.stdout.splitlines()
        self.assertEqual(lines[0], HEADER)
        rows = {}
        for line in lines[1:]:
            fields = line.split(",")
            self.assertEqual(len(fields), 7, f"row {line!r}")
            key = (fields[0], int(fields[1]))
            self.assertNotIn(key, rows, "a figure twice")
            rows[key] = fields[2:]
        units = {(f, 1): u for f, u in MACHINE.items()}
        units.update({(f, t): u for f, u in MEMORY.items() for t in THREADS})
        units.update({(f, t): "s" for f in CONSTRUCTS for t in THREADS})
        self.assertEqual(set(rows), set(units))

        parallel = len(os.sched_getaffinity(0)) >= 2
        medians = {}
        for (figure, threads), (median, low, high, unit, note) in rows.items():
            with self.subTest(figure=figure, threads=threads):
                self.assertEqual(unit, units[figure, threads])
                if threads > 1 and not parallel:
                    # A team larger than the machine is not measured, and the note says why.
                    self.assertEqual((median, low, high), ("", "", ""))
                    self.assertIn("processor", note)
                    continue
                m, lo, hi = float(median), float(low), float(high)
                self.assertTrue(all(map(math.isfinite, (m, lo, hi))) and lo <= m <= hi, (m, lo, hi))
                if figure in CONSTRUCTS[1:]:
                    # Extras over an empty region may be noise around or even below zero (under a
                    # sanitizer, say): then they say so.
                    if lo <= 0:
                        self.assertRegex(note, "not distinguishable from zero|below zero")
                else:
                    self.assertGreater(lo, 0.0)
                if figure == "first_touch":
                    self.assertIn("huge pages", note)
                medians[figure, threads] = m
        return medians

    def test_quick_run(self):
        medians = self.quick_run()
        if os.environ.get("SUITE_SANITIZE") == "1":
            return  # instrumented code keeps no order between these costs
        # The order of two measured costs; on a busy machine one run can be swamped by others'
        # work, so the order must show in one of three runs (a swapped figure fails all three).
        for attempt in range(3):
            disorder = []
            if medians["mul_latency", 1] < medians["mul_independent", 1]:
                disorder.append("mul_latency < mul_independent")
            for threads in THREADS:
                if ("first_touch", threads) in medians and \
                        medians["first_touch", threads] <= medians["write_touched", threads]:
                    disorder.append(f"first_touch <= write_touched at {threads} threads")
            if not disorder:
                return
            if attempt < 2:
                medians = self.quick_run()
        self.fail(f"{', '.join(disorder)}: {medians}")

    def test_refusals(self):
        for args in (["--threads", "0"], ["--threads", "1,,2"], ["--repeats", "x"], ["--repeats"],
                     ["--buffer-mib=-1"], ["--buffer-mb", "256"], ["--fast"]):
            with self.subTest(args=args):
                proc = calibrate(args)
                self.assertEqual(proc.returncode, 2, f"stderr {proc.stderr!r}")
                self.assertEqual(proc.stdout, "")
                self.assertRegex(proc.stderr, r"\Acalibrate: [^\n]+\n\Z")
        if os.environ.get("SUITE_SANITIZE") == "1":
            return  # the sanitizer's runtime needs more address space than any limit leaves
        # 4 GiB of buffer within 2 GB of address space: the allocation fails, and says so.
        proc = calibrate(["--quick", "--buffer-mib", "4096"], prefix=("prlimit", "--as=2000000000"))
        self.assertEqual(proc.returncode, 1, f"stderr {proc.stderr!r}")
        self.assertEqual(proc.stdout, "")
        # Progress lines come first; the failure is the last line.
        self.assertRegex(proc.stderr.splitlines()[-1], r"^calibrate: cannot allocate the 4096 MiB buffer: ")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

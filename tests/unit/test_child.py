import os
import signal
import sys
import tempfile
import time
import unittest

from ompsuite.platform.child import run_child
from ompsuite.errors import Interrupted, SuiteError


def gone(pid, within_s=3.0):
    """Whether the process has ended (a zombie waiting for init counts as ended)."""
    deadline = time.monotonic() + within_s
    while time.monotonic() < deadline:
        try:
            with open(f"/proc/{pid}/stat") as f:
                if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                    return True
        except FileNotFoundError:
            return True
        time.sleep(0.02)
    return False


class Runs(unittest.TestCase):
    def test_output_status_and_the_childs_own_rusage(self):
        busy = run_child([sys.executable, "-c", "import time\nt = time.process_time()\n"
                          "while time.process_time() - t < 0.25: pass\nprint('done')"])
        small = run_child(["sh", "-c", "printf 'out\\377'; echo err >&2; exit 3"])
        self.assertEqual((busy.stdout, busy.returncode), ("done\n", 0))
        self.assertEqual((small.stdout, small.stderr, small.returncode), ("out\ufffd", "err\n", 3))
        self.assertFalse(small.timed_out or small.over_cap)
        cpu = [r.rusage.ru_utime + r.rusage.ru_stime for r in (busy, small)]
        self.assertGreaterEqual(cpu[0], 0.25)
        self.assertLess(cpu[1], cpu[0] - 0.2, "the second child's rusage holds the first one's CPU time")

    def test_timeout_stops_the_whole_group(self):
        for name, script, status in (("honours TERM", "sleep 30 & echo $!; wait", -signal.SIGTERM),
                                     ("ignores TERM", "trap '' TERM; sleep 30 & echo $!; wait", -signal.SIGKILL)):
            with self.subTest(name):
                r = run_child(["sh", "-c", script], timeout_s=0.2, grace_s=0.15)
                self.assertTrue(r.timed_out)
                self.assertEqual(r.returncode, status)
                self.assertTrue(gone(int(r.stdout)), "the grandchild outlived the stop")

    def test_leftovers_of_a_finished_child_are_stopped_without_waiting_for_them(self):
        r = run_child(["sh", "-c", "sleep 30 & echo $!"], timeout_s=10)
        self.assertFalse(r.timed_out)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(gone(int(r.stdout)))

    def test_an_interruption_while_waiting_stops_the_child_and_goes_on(self):
        def interrupt(signum, _frame):
            raise Interrupted(signum)
        old = signal.signal(signal.SIGALRM, interrupt)
        try:
            for name, trap in (("honours TERM", ""), ("ignores TERM", "trap '' TERM; ")):
                with self.subTest(name), tempfile.TemporaryDirectory() as d:
                    pids = os.path.join(d, "pids")
                    signal.setitimer(signal.ITIMER_REAL, 0.2)
                    with self.assertRaises(Interrupted):
                        run_child(["sh", "-c", f"{trap}echo $$ > {pids}; sleep 30 & echo $! >> {pids}; wait"],
                                  grace_s=0.15)
                    with open(pids) as f:
                        leader, grandchild = map(int, f.read().split())
                    self.assertRaises(ProcessLookupError, os.kill, leader, 0)  # reaped, not a zombie
                    self.assertTrue(gone(grandchild))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)


class StartFailures(unittest.TestCase):
    def test_each_says_why(self):
        with tempfile.TemporaryDirectory() as d:
            plain, script = os.path.join(d, "plain"), os.path.join(d, "script")
            with open(plain, "w") as f:
                f.write("echo hi\n")
            with open(script, "w") as f:
                f.write("#!/no/such/shell\n")
            os.chmod(script, 0o755)
            for argv, why in (([os.path.join(d, "missing")], "no such file"), ([plain], "not executable"),
                              ([d], "it is a folder, not a program"), (["no-such-program-here"], "no such program on the PATH"),
                              ([script], "its interpreter /no/such/shell does not exist")):
                with self.subTest(why), self.assertRaises(SuiteError) as e:
                    run_child(argv)
                self.assertEqual(str(e.exception), f"cannot start {argv[0]}: {why}")
                self.assertEqual(e.exception.status, 2)


if __name__ == "__main__":
    unittest.main()

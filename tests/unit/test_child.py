import os
import signal
import subprocess
import sys
import tempfile
import time
import unittest
from unittest import mock

from ompsuite.platform import child
from ompsuite.platform.child import run_child, run_tool
from ompsuite.errors import Interrupted, SuiteError


def gone(pid, within_s=30.0):
    """Whether the process has ended (a zombie waiting for init counts as ended); a KILL takes
    a moment to land, so it is looked for until within_s, only a failure waiting that long."""
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

    def test_a_stop_takes_the_whole_group(self):
        # Over the cap: the grandchild's pid is out before the flood that stops the child.
        r = run_child(["sh", "-c", "sleep 30 & echo $!; exec head -c 3000000 /dev/zero"], output_cap=1 << 20,
                      grace_s=0.15)
        self.assertEqual((r.over_cap, r.timed_out, len(r.stdout.encode())), ("stdout", False, 1 << 20))
        self.assertTrue(gone(int(r.stdout.split()[0])), "the grandchild outlived the stop")
        # Past the limit: TERM, then KILL for a child that ignores TERM (from its start: no race
        # with a trap of its own).
        for name, disposition, status in (("honours TERM", signal.SIG_DFL, -signal.SIGTERM),
                                          ("ignores TERM", signal.SIG_IGN, -signal.SIGKILL)):
            with self.subTest(name):
                old = signal.signal(signal.SIGTERM, disposition)
                try:
                    r = run_child(["sleep", "30"], timeout_s=0.2, grace_s=0.15)
                finally:
                    signal.signal(signal.SIGTERM, old)
                self.assertEqual((r.timed_out, r.returncode), (True, status))

    def test_leftovers_of_a_finished_child_are_stopped_without_waiting_for_them(self):
        r = run_child(["sh", "-c", "sleep 30 & echo $!"], timeout_s=60)
        self.assertFalse(r.timed_out)
        self.assertEqual(r.returncode, 0)
        self.assertTrue(gone(int(r.stdout)))

    @unittest.skipUnless(child._become_subreaper(), "the kernel offers no child subreaper here")
    def test_what_a_program_leaves_outside_its_group_is_stopped(self):
        # A daemon in a session of its own that holds the tool's pipes, and its own child: both
        # outside the program's group, both orphans once it ends.
        with tempfile.TemporaryDirectory() as d:
            pids = os.path.join(d, "pids")
            script = (f"setsid sh -c 'sleep 30 & echo $! $$ > {pids}; exec sleep 31' & "
                      f"while [ ! -s {pids} ]; do sleep 0.01; done; cat {pids}")
            for how, cap, tail in (("ends by itself", 1 << 20, ""), ("stopped at its cap", 4, "; cat /dev/zero")):
                with self.subTest(how):
                    before = child._children()
                    r = run_child(["sh", "-c", script + tail], timeout_s=60, grace_s=0.15, output_cap=cap)
                    self.assertEqual(r.over_cap, "stdout" if tail else "")
                    with open(pids) as f:
                        left = [int(p) for p in f.read().split()]
                    os.remove(pids)
                    self.assertEqual(len(left), 2)
                    for pid in left:
                        self.assertTrue(gone(pid), f"{pid}, left in a session of its own, outlived the run")
                    self.assertEqual(child._children(), before, "an orphan was left unreaped")

    def test_a_tool_keeps_the_end_of_a_long_log(self):
        r = run_child(["sh", "-c", "seq 1 100000; seq 1 100000 >&2; echo last >&2"], output_cap=1000,
                      keep_stdout=False, tail=True)
        self.assertEqual((r.returncode, r.stdout, r.over_cap), (0, "", "stderr"))
        self.assertEqual(len(r.stderr), 1000)
        self.assertTrue(r.stderr.endswith("\n99999\n100000\nlast\n"), r.stderr[-40:])

    def test_a_tool_stopped_is_one_line_naming_it_and_the_limit(self):
        for argv, kw, message in (
                (["sleep", "30"], {"timeout_s": 0.2}, "building x ran past its 0.2-second limit and was stopped"),
                (["head", "-c", "5000", "/dev/zero"], {"timeout_s": 60, "output_cap": 1000},
                 "building x printed more than 1000 bytes on stdout and was stopped")):
            with self.subTest(message), self.assertRaises(SuiteError) as e:
                run_tool(argv, "building x", **kw)
            self.assertEqual(str(e.exception), message)
        self.assertEqual(run_tool(["sh", "-c", "exit 3"], "x", 60).returncode, 3)  # the caller judges a status

    def test_an_interruption_while_waiting_stops_the_child_and_goes_on(self):
        def interrupt(signum, _frame):
            raise Interrupted(signum)
        old = signal.signal(signal.SIGALRM, interrupt)
        try:
            for name, trap in (("honours TERM", ""), ("ignores TERM", "trap '' TERM; ")):
                with self.subTest(name), tempfile.TemporaryDirectory() as d:
                    pids = os.path.join(d, "pids")
                    # The child interrupts the tool itself once both pids are written.
                    with self.assertRaises(Interrupted):
                        run_child(["sh", "-c", f"{trap}echo $$ > {pids}; sleep 30 & echo $! >> {pids}; "
                                               "kill -ALRM $PPID; wait"], grace_s=0.15)
                    with open(pids) as f:
                        leader, grandchild = map(int, f.read().split())
                    self.assertRaises(ProcessLookupError, os.kill, leader, 0)  # reaped, not a zombie
                    self.assertTrue(gone(grandchild))
            # A signal handled while Popen waits for the exec: Popen raises with the child
            # started but never handed over.
            started = []

            class SignalledWhileStarting(subprocess.Popen):
                def _execute_child(self, *args, **kw):
                    super()._execute_child(*args, **kw)
                    started.append(self)
                    raise Interrupted(signal.SIGTERM)
            with mock.patch.object(child.subprocess, "Popen", SignalledWhileStarting), self.assertRaises(Interrupted):
                run_child(["sleep", "30"])
            self.assertRaises(ProcessLookupError, os.kill, started[0].pid, 0)
            started[0].returncode = -signal.SIGKILL  # reaped by the sweep: the lost Popen need not warn
        finally:
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


class Sandbox(unittest.TestCase):
    """A user's program in the sandbox: it writes only in its scratch folder, sees no process of
    the tool's, and what it leaves ends with it; without a sandbox the run says so once and goes on."""

    def test_what_the_program_can_reach(self):
        from ompsuite.platform import sandbox
        if sandbox.unavailable():
            self.skipTest(sandbox.unavailable())
        with tempfile.TemporaryDirectory(dir=os.path.expanduser("~")) as outside, \
                tempfile.TemporaryDirectory(dir="/var/tmp") as system:  # neither shared nor hidden: read-only
            scratch = sandbox.scratch("test")
            try:
                mark = f"{3000 + os.getpid() % 1000}.{os.getpid()}"
                script = (f'touch {outside}/x {system}/x; touch here; '
                          f'kill -0 {os.getpid()} || echo unseen; (setsid sleep {mark} &); kill -SEGV $$')
                argv = sandbox.wrap(["sh", "-c", script], scratch, [outside])
                done = run_child(argv, timeout_s=30)
                self.assertEqual(os.listdir(scratch), ["here"], done.stderr)
            finally:
                sandbox.remove(scratch)
            self.assertEqual(os.listdir(outside) + os.listdir(system), [])
        self.assertIn("unseen", done.stdout)
        self.assertEqual(sandbox.signalled(done.returncode, argv), -signal.SIGSEGV)
        self.assertEqual(child.signal_name(signal.SIGRTMIN + 2), "SIGRTMIN+2")
        self.assertFalse([p for p in os.listdir("/proc") if p.isdigit() and mark in _cmdline(p)])

    def test_a_kept_sandbox_serves_each_run_alone(self):
        # One sandbox for many runs: what a run leaves (files, processes) is gone before the next, its
        # keeper cannot be stopped or killed from inside, and a run past its limit ends it alone.
        from ompsuite.platform import sandbox
        if sandbox.unavailable():
            self.skipTest(sandbox.unavailable())
        mark = f"{4000 + os.getpid() % 1000}.{os.getpid()}"
        runs = (f'touch /tmp/x "$HOME/y"; mkdir -p /tmp/shut/in; chmod 0 /tmp/shut; kill -0 {os.getpid()} || echo unseen; (setsid sleep {mark} &); '
                'kill -STOP $PPID; kill -KILL $PPID; kill -SEGV $$', 'ls -A /tmp "$HOME"', 'trap "" TERM; sleep 60',
                'echo after')
        with mock.patch.dict(sandbox._kept, clear=True):
            try:
                done = [sandbox.run(["/bin/sh", "-c", script], [], os.environ, 5 if "sleep 60" in script else 60,
                                    0.2, 1 << 20) for script in runs]
                self.assertEqual(len(sandbox._kept), 1)
                self.assertFalse([p for p in os.listdir("/proc") if p.isdigit() and mark in _cmdline(p)])
                with self.assertRaisesRegex(SuiteError, "^cannot start /no/such/program: no such file$"):
                    sandbox.run(["/no/such/program"], [], os.environ, 60, 0.2, 1 << 20)
            finally:
                sandbox._close_kept()
        self.assertEqual((done[0].stdout, done[0].returncode), ("unseen\n", -signal.SIGSEGV))
        self.assertEqual((done[1].stdout, done[1].returncode), ("/tmp:\n\n/tmp:\n", 0))  # $HOME is /tmp there
        self.assertTrue(done[2].timed_out)
        self.assertEqual((done[3].stdout, done[3].returncode), ("after\n", 0))

    def test_without_one_the_run_goes_on_said_once(self):
        from ompsuite.platform import sandbox
        with mock.patch.object(sandbox, "unavailable", lambda: "bubblewrap is not installed"), \
                mock.patch.dict(sandbox._said, once=False), mock.patch.object(sandbox, "progress") as said:
            self.assertEqual([sandbox.wrap(["prog", "1"], "/tmp") for _ in range(2)], [["prog", "1"]] * 2)
        self.assertEqual(said.call_count, 1)
        self.assertIn("with your rights", said.call_args[0][0])


def _cmdline(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().decode(errors="replace")
    except OSError:
        return ""

import os
import signal
import unittest
from unittest import mock

from ompsuite.platform import machine, signals
from ompsuite.errors import Interrupted


class Signals(unittest.TestCase):
    def setUp(self):
        self.addCleanup(signals.restore, signals.install())

    def test_a_shielded_block_runs_to_its_end_and_the_signal_is_not_lost(self):
        done = False
        with self.assertRaises(Interrupted) as e:
            with signals.shielded() as shield:
                os.kill(os.getpid(), signal.SIGTERM)
                os.kill(os.getpid(), signal.SIGTERM)
                done = True
        self.assertTrue(done)
        self.assertEqual(shield.names, ["SIGTERM", "SIGTERM"])
        self.assertEqual(e.exception.status, 143)
        with signals.shielded() as shield:  # the stop is under way now: reported, not raised again
            os.kill(os.getpid(), signal.SIGUSR1)
        self.assertEqual(shield.names, ["SIGUSR1"])

    def test_each_stop_signal_is_caught_and_an_ignored_one_stays_ignored(self):
        signal.signal(signal.SIGHUP, signal.SIG_IGN)  # as under nohup
        signals.install()
        for signum in (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                       signal.SIGALRM, signal.SIGXCPU):
            with self.subTest(signal.Signals(signum).name):
                if signum == signal.SIGHUP:
                    self.assertEqual(signal.getsignal(signum), signal.SIG_IGN)
                    continue
                signals.install()
                with self.assertRaises(Interrupted) as e:
                    os.kill(os.getpid(), signum)
                self.assertEqual(e.exception.status, 128 + signum)

    def test_no_handler_of_a_failure_swallows_a_stop(self):
        # A batch system's SIGTERM while the tools ask git or the compiler: the study stops, not a
        # fact that reads "unknown (interrupted by SIGTERM)".
        def stopped(*args, **kw):
            raise Interrupted(signal.SIGTERM)
        with mock.patch.object(machine, "run_tool", stopped), \
                mock.patch.object(machine, "own_build_tree", lambda *a: "/tree"), \
                mock.patch.object(machine, "_read_cache", lambda *a: "/usr/bin/c++"):
            for ask in (lambda: machine.commit("/tree"), lambda: machine.compiler("/tree/bin")):
                with self.assertRaises(Interrupted):
                    ask()


if __name__ == "__main__":
    unittest.main()

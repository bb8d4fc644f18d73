import os
import signal
import unittest

from ompsuite.platform import signals
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


if __name__ == "__main__":
    unittest.main()

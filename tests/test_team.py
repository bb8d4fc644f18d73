"""Black-box tests of teamtally: line set, the orderings the program promises, and the total."""
import re
import sys
import unittest

import reference as ref

DONE = "Thread -1 is done! Total= 4.999995e+11\n"


def run_team(test, threads, env_extra=None):
    proc = ref.run(ref.program("teamtally"), threads=threads, env_extra=env_extra)
    test.assertEqual(proc.returncode, 0, f"status {proc.returncode}, stderr {proc.stderr!r}")
    test.assertEqual(proc.stderr, "")
    return proc.stdout.splitlines(keepends=True)


class Team(unittest.TestCase):
    def test_one_thread(self):
        self.assertEqual(run_team(self, 1), ["Nested parallelism is not supported\n", "Number of threads = 1\n",
                                             "Thread 0 is starting...\n", DONE])

    def test_teams(self):
        # Orderings that show only sometimes need many runs to surface.
        for threads in (2, 3, 8):
            for attempt in range(200):
                lines = run_team(self, threads)
                with self.subTest(threads=threads, attempt=attempt):
                    self.assertEqual(lines[0], "Nested parallelism is not supported\n")
                    self.assertEqual(lines[-1], DONE)
                    body = lines[1:-1]
                    self.assertEqual(len(body), threads + 1, f"lines: {lines!r}")
                    counts = [ln for ln in body if ln.startswith("Number of threads")]
                    self.assertEqual(counts, [f"Number of threads = {threads}\n"])
                    starts = [int(m.group(1)) for ln in body
                              for m in [re.fullmatch(r"Thread (\d+) is starting\.\.\.\n", ln)] if m]
                    self.assertEqual(sorted(starts), list(range(threads)), f"lines: {lines!r}")
                    self.assertLess(body.index(counts[0]), body.index("Thread 0 is starting...\n"))

    def test_nesting_setting(self):
        cases = [({}, "not supported"), ({"OMP_NESTED": "true"}, "supported"),
                 ({"OMP_MAX_ACTIVE_LEVELS": "2"}, "supported")]
        for env, word in cases:
            with self.subTest(env=env):
                self.assertEqual(run_team(self, 2, env)[0], f"Nested parallelism is {word}\n")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

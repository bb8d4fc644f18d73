"""Every program reports a standard output it could not write as a failure, in one line."""
import errno
import os
import re
import sys
import unittest

import reference as ref
from test_recurrence import small


class OutputFailure(unittest.TestCase):
    def test_full_device(self):
        if not os.path.exists("/dev/full"):
            self.skipTest("no /dev/full on this system")
        runs = [(name, ref.program(name), ("1000",)) for name in ("quadplain", "quadguard", "quadmerge")]
        runs += [(name, small(name, 1000), ()) for name in ("growplain", "growsplit")]
        runs.append(("teamtally", ref.program("teamtally"), ()))
        for name, path, args in runs:
            with self.subTest(program=name):
                with open("/dev/full", "w") as full:
                    proc = ref.run(path, args, threads=2, stdout=full)
                self.assertEqual(proc.returncode, 1, f"status; stderr {proc.stderr!r}")
                self.assertRegex(proc.stderr, rf"\A{name}: [^\n]*{re.escape(os.strerror(errno.ENOSPC))}\n\Z")


if __name__ == "__main__":
    unittest.main(argv=sys.argv)

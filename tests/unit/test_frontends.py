"""The front ends under a Python older than the tools need: one line naming both versions and
status 2, never a traceback. An old interpreter is faked by a shim that sets sys.version_info
before running the script; real old ones are tried too where installed (pyenv's, python2)."""
import glob
import os
import shutil
import subprocess
import sys
import unittest

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
FRONT_ENDS = ("runsuite", "scaling", "compare")
SHIM = ("import runpy, sys; sys.version_info = (3, 8, 10, 'final', 0); sys.argv = sys.argv[1:]; "
        "runpy.run_path(sys.argv[0], run_name='__main__')")


def old_interpreters():
    # pyenv's shims on PATH fail for versions not selected: its interpreters are taken directly.
    found = {shutil.which(name) for name in ("python2", "python2.7", "python3.6", "python3.7", "python3.8")}
    found = {p for p in found if p and f"{os.sep}shims{os.sep}" not in p}
    root = os.environ.get("PYENV_ROOT") or os.path.expanduser("~/.pyenv")
    found.update(p for p in glob.glob(os.path.join(root, "versions", "*", "bin", "python"))
                 if os.path.basename(os.path.dirname(os.path.dirname(p))).startswith(("2.", "3.6.", "3.7.", "3.8.")))
    return sorted(p for p in found if p)


class OldPython(unittest.TestCase):
    def test_every_front_end_names_the_version_needed(self):
        cases = [([sys.executable, "-c", SHIM], r"3\.8\.10")]
        cases += [([python], r"[23]\.\d+\.\d+") for python in old_interpreters()]
        for command, version in cases:
            for name in FRONT_ENDS:
                with self.subTest(name, python=command[0]):
                    proc = subprocess.run([*command, os.path.join(ROOT, name), "--help"], capture_output=True,
                                          text=True, timeout=60, env=dict(os.environ, PYTHONDONTWRITEBYTECODE="1"))
                    self.assertEqual((proc.returncode, proc.stdout), (2, ""), proc.stderr)
                    self.assertRegex(proc.stderr, rf"^{name}: needs Python 3\.9 or later; this is Python "
                                                  rf"{version} \(.+\)\n$")

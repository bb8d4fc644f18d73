"""The tools' type annotations, checked strictly by mypy for the oldest Python the tools take.
Skipped (status 77) where mypy is not installed, except under CI, which installs it."""
import os
import shutil
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    mypy = shutil.which("mypy")
    if mypy is None:
        print("mypy is not installed (Debian package mypy)", file=sys.stderr)
        return 1 if os.environ.get("CI") else 77
    # No cache: it would be written into the source tree, and the check takes seconds anyway.
    return subprocess.run([mypy, "--strict", "--python-version", "3.9", "--cache-dir", os.devnull, "ompsuite"],
                          cwd=ROOT).returncode


if __name__ == "__main__":
    sys.exit(main())

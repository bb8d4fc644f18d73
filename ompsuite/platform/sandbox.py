"""The sandbox a user's (a student's) code is built, race-checked and run in: bubblewrap with every
namespace of its own. The whole file system is read-only (the suite's trees, the class folder),
the home folder and /tmp are empty private ones, the working folder is a private scratch folder,
there is no network, and the program is an unprivileged user in a PID namespace: it cannot see,
signal or stop the tool, and every process it starts ends with it. Where bubblewrap or user
namespaces are missing, the code runs as before, with the user's rights, said once."""
import functools
import os
import shutil
import subprocess
import tempfile
from typing import List, Optional, Sequence

from ompsuite.platform.console import progress

BWRAP = "bwrap"
NOBODY = "65534"
# A status above this from the sandbox is a signal's (bubblewrap passes on 128 + its number).
SIGNALLED = 128


def _command(argv: Sequence[str], scratch: str, share: Sequence[str]) -> List[str]:
    home = os.path.expanduser("~")
    cmd = [BWRAP, "--die-with-parent", "--new-session", "--unshare-all", "--uid", NOBODY, "--gid", NOBODY,
           "--cap-drop", "ALL", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc", "--tmpfs", "/tmp"]
    if home not in ("/", "") and os.path.isdir(home):
        cmd += ["--tmpfs", home]
    for path in (*share, scratch):  # after the home folder's tmpfs: they may lie in it
        cmd += ["--ro-bind" if path != scratch else "--bind", path, path]
    return [*cmd, "--chdir", scratch, "--setenv", "HOME", scratch, "--setenv", "TMPDIR", "/tmp", "--", *argv]


@functools.lru_cache(maxsize=None)
def unavailable() -> str:
    """Why no sandbox can be had here ("" when it can): tried once, with a program that does nothing."""
    if shutil.which(BWRAP) is None:
        return "bubblewrap is not installed (Debian: apt-get install bubblewrap)"
    with tempfile.TemporaryDirectory(prefix="ompsuite-try-") as d:
        try:
            done = subprocess.run(_command(["true"], d, ()), stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=30)
        except (OSError, subprocess.TimeoutExpired) as e:
            return f"bubblewrap cannot be started ({e})"
    if done.returncode != 0:
        said = done.stderr.decode(errors="replace").strip().splitlines()
        return f"bubblewrap cannot make one here ({said[-1] if said else f'status {done.returncode}'})"
    return ""


_said = {"once": False}


def wrap(argv: Sequence[str], scratch: str, share: Sequence[str] = ()) -> List[str]:
    """argv to run in the sandbox with scratch as its writable working folder; share: folders
    hidden by the sandbox's empty home folder that the code must read. As it is where none can
    be had (said once)."""
    why = unavailable()
    if not why:
        return _command(argv, scratch, share)
    if not _said["once"]:
        _said["once"] = True
        progress(f"no sandbox for the given programs: {why}; they are built and run with your rights "
                 "(docs/class.md says what that risks)")
    return list(argv)


def signalled(returncode: Optional[int], argv: Sequence[str]) -> Optional[int]:
    """The code's own returncode (negative for a signal) from what the sandbox ended with."""
    if argv and argv[0] == BWRAP and returncode is not None and SIGNALLED < returncode <= SIGNALLED + 64:
        return SIGNALLED - returncode
    return returncode


def scratch(prefix: str) -> str:
    """A private working folder (removed with remove())."""
    return tempfile.mkdtemp(prefix=f"ompsuite-{prefix}-")


def remove(folder: str) -> None:
    shutil.rmtree(folder, ignore_errors=True)

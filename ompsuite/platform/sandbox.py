"""The sandbox a user's (a student's) code is built, race-checked and run in: bubblewrap with every
namespace of its own. The file system is read-only, the home folder and /tmp are empty, the
working folder is a private scratch folder; no network; an unprivileged user in a PID namespace
of its own, so it cannot see, signal or stop the tool, and all it starts ends with it. Where
bubblewrap or user namespaces are missing, the code runs as before, with the user's rights."""
import functools
import os
import shutil
import subprocess
import tempfile
from typing import List, Optional, Sequence

from ompsuite.escape import printable
from ompsuite.platform.console import progress

BWRAP = "bwrap"
TMPFS_BYTES = 64 << 20  # each empty folder's room, in memory: a program cannot fill a disk


def _command(argv: Sequence[str], scratch: Optional[str], share: Sequence[str]) -> List[str]:
    home = os.path.expanduser("~")
    cmd = [BWRAP, "--die-with-parent", "--new-session", "--unshare-all", "--uid", "65534", "--gid", "65534",
           "--cap-drop", "ALL", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"]
    for empty in ("/tmp", *([home] if home != "/" and os.path.isdir(home) else [])):
        cmd += ["--size", str(TMPFS_BYTES), "--tmpfs", empty]
    for path in share:  # after the empty home and /tmp: they may lie in them
        cmd += ["--ro-bind", path, path]
    where = scratch or "/tmp"
    return [*cmd, *(["--bind", where, where] if scratch else []), "--chdir", where, "--setenv", "HOME", where,
            "--setenv", "TMPDIR", "/tmp", "--", *argv]


@functools.lru_cache(maxsize=None)
def unavailable() -> str:
    """Why no sandbox can be had here ("" when it can), from one try."""
    if shutil.which(BWRAP) is None:
        return "bubblewrap is not installed (Debian: apt-get install bubblewrap)"
    with tempfile.TemporaryDirectory() as d:
        try:
            done = subprocess.run(_command(["true"], d, ()), stdin=subprocess.DEVNULL, capture_output=True,
                                  timeout=30)
        except (OSError, subprocess.TimeoutExpired) as e:
            return f"bubblewrap cannot be started ({e})"
    said = done.stderr.decode(errors="replace").strip().splitlines()
    return f"bubblewrap fails here ({printable(said[-1] if said else done.returncode, 50)})" if done.returncode else ""


_said = {"once": False}


def wrap(argv: Sequence[str], scratch: Optional[str], share: Sequence[str] = ()) -> List[str]:
    """argv run in the sandbox, its working folder scratch (writable; None: its empty /tmp), the
    folders in share visible (read-only) though in the home folder or /tmp; argv as it is (said
    once) without a sandbox."""
    why = unavailable()
    if not why:
        return _command(argv, scratch, share)
    if not _said["once"]:
        _said["once"] = True
        progress(f"no sandbox for the given programs: {why}\n  they are built and run with your rights "
                 "(docs/class.md says what that risks)")
    return list(argv)


def signalled(returncode: Optional[int], argv: Sequence[str]) -> Optional[int]:
    """The code's own returncode, negative for a signal (the sandbox ends with 128 + its number)."""
    if argv[:1] == [BWRAP] and returncode is not None and 128 < returncode <= 128 + 64:
        return 128 - returncode
    return returncode


def scratch(prefix: str) -> str:
    return tempfile.mkdtemp(prefix=f"ompsuite-{prefix}-")


def remove(folder: str) -> None:
    shutil.rmtree(folder, ignore_errors=True)

"""The sandbox a user's (a student's) code is built, race-checked and run in: bubblewrap with every
namespace of its own (docs/class.md, "The sandbox", says what it hides and what its lack risks)."""
import atexit
import functools
import os
import shutil
import subprocess
import sys
import tempfile
from typing import Dict, List, Mapping, Optional, Sequence, Tuple

from ompsuite.errors import SuiteError
from ompsuite.escape import printable
from ompsuite.platform import keeper
from ompsuite.platform.child import ChildResult, Kept, run_child
from ompsuite.platform.console import progress

BWRAP = "bwrap"
TMPFS_BYTES = 64 << 20  # each empty folder's room, in memory: a program cannot fill a disk


def _empties() -> List[str]:
    """The folders the sandbox hides behind empty ones of its own: /tmp and the home folder."""
    home = os.path.expanduser("~")
    return ["/tmp", *([home] if home != "/" and os.path.isdir(home) else [])]


def _command(argv: Sequence[str], scratch: Optional[str], share: Sequence[str], pid1: bool = False) -> List[str]:
    cmd = [BWRAP, "--die-with-parent", "--new-session", "--unshare-all", *(["--as-pid-1"] if pid1 else []),
           "--uid", "65534", "--gid", "65534",
           "--cap-drop", "ALL", "--ro-bind", "/", "/", "--dev", "/dev", "--proc", "/proc"]
    for empty in _empties():
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


_kept: Dict[Tuple[str, ...], Optional[Kept]] = {}  # by the folders shared; None: it could not be kept


def run(argv: Sequence[str], share: Sequence[str], env: Mapping[str, str], timeout_s: Optional[float],
        grace_s: float, output_cap: int) -> ChildResult:
    """run_child for argv in a sandbox kept between runs (its working folder, /tmp and home empty
    at each run's start), share visible as in wrap. Where it cannot be kept (said once), each run
    has a sandbox of its own; without one, it runs as wrap says."""
    key = tuple(share)
    kept = _kept.get(key)
    if not unavailable() and (key not in _kept or (kept is not None and kept.proc is None)):
        python = os.path.realpath(sys.executable)
        shared = [*share, os.path.dirname(os.path.abspath(keeper.__file__)), sys.base_prefix]
        try:
            kept = _kept[key] = Kept(lambda fd: _command([python, "-I", "-S", os.path.abspath(keeper.__file__),
                                                          str(fd), *_empties()], None, shared, pid1=True))
        except SuiteError as e:
            kept = _kept[key] = None
            progress(f"the sandbox cannot be kept between runs: {e}; each run starts its own")
    if kept is not None:
        return kept.run(argv, dict(env, HOME="/tmp", TMPDIR="/tmp"), timeout_s, grace_s, output_cap)
    argv = wrap(argv, None, share)
    done = run_child(argv, env=env, timeout_s=timeout_s, grace_s=grace_s, output_cap=output_cap)
    done.returncode = signalled(done.returncode, argv)
    return done


@atexit.register
def _close_kept() -> None:
    for kept in _kept.values():
        if kept is not None:
            kept.close()


def signalled(returncode: Optional[int], argv: Sequence[str]) -> Optional[int]:
    """The code's own returncode, negative for a signal (the sandbox ends with 128 + its number)."""
    if argv[:1] == [BWRAP] and returncode is not None and 128 < returncode <= 128 + 64:
        return 128 - returncode
    return returncode


def scratch(prefix: str) -> str:
    return tempfile.mkdtemp(prefix=f"ompsuite-{prefix}-")


def remove(folder: str) -> None:
    shutil.rmtree(folder, ignore_errors=True)

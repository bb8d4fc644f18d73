"""A kept sandbox's PID 1 (python3 -I -S keeper.py FD FOLDER...; docs/class.md, "The sandbox"): runs each
program asked over socket FD, then ends all it left, empties FOLDERs and reports. As PID 1 without handlers,
not dumpable, nothing inside can signal, stop or trace it. Standard library only: it runs without the package."""
import contextlib
import ctypes
import json
import os
import select
import signal
import socket
import sys
import time
from typing import Any, Dict, List

_PR_SET_DUMPABLE = 4  # from linux/prctl.h
_POLL_S = 0.005  # how often a run's end is looked for where pidfd_open is missing


def _end_all() -> None:
    """Every other process in the namespace killed and reaped: as PID 1, all are its children by
    now, and kill(-1) reaches them all but itself."""
    while True:
        with contextlib.suppress(ProcessLookupError):
            os.kill(-1, signal.SIGKILL)
        try:
            os.waitpid(-1, 0)
        except ChildProcessError:
            return


def _empty(folder: str) -> None:
    """What runs left in folder removed; folders the sandbox mounted in it (another device) are
    left as they are."""
    device = os.lstat(folder).st_dev
    for entry in os.scandir(folder):
        if not entry.is_dir(follow_symlinks=False):
            os.unlink(entry.path)
        elif entry.stat(follow_symlinks=False).st_dev == device:
            os.chmod(entry.path, 0o700)  # a run may have closed its own folder to its owner
            _empty(entry.path)
            with contextlib.suppress(OSError):  # it holds a mounted folder
                os.rmdir(entry.path)


def _run(sock: socket.socket, request: Dict[str, Any], fds: List[int], folders: List[str]) -> Dict[str, Any]:
    exec_r, exec_w = os.pipe()  # closed by a successful exec: an errno on it is a failed one
    pid = os.fork()
    if pid == 0:
        try:
            os.setsid()
            os.dup2(fds[0], 1)
            os.dup2(fds[1], 2)
            os.dup2(os.open(os.devnull, os.O_RDONLY), 0)
            os.execve(request["argv"][0], request["argv"], request["env"])
        except OSError as e:
            os.write(exec_w, str(e.errno).encode())
        os._exit(127)
    for fd in (exec_w, *fds):
        os.close(fd)
    failed = os.read(exec_r, 16)
    os.close(exec_r)
    ends: List[int] = []
    with contextlib.suppress(AttributeError, OSError):  # a kernel before 5.3, or a Python built for one: polled
        ends.append(os.pidfd_open(pid))
    stop_at = None
    while not failed and os.waitid(os.P_PID, pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is None:
        # Until it ends, or the tools ask it to stop: TERM, then KILL after the grace.
        waits = [w for w in (None if ends else _POLL_S, stop_at and stop_at - time.monotonic()) if w is not None]
        if waits and min(waits) <= 0:
            break
        if sock in select.select([sock, *ends], [], [], min(waits, default=None))[0]:
            if not sock.recv(16):  # the tools are gone
                _end_all()
                sys.exit(0)
            for sig in (signal.SIGTERM, signal.SIGCONT):
                with contextlib.suppress(ProcessLookupError):
                    os.killpg(pid, sig)
            stop_at = time.monotonic() + request["grace_s"]
    os.kill(pid, signal.SIGKILL)  # a no-op on the zombie of one that ended
    _, status, usage = os.wait4(pid, 0)
    for fd in ends:
        os.close(fd)
    _end_all()
    for folder in folders:
        _empty(folder)
    if failed:
        return {"errno": int(failed)}
    return {"status": os.waitstatus_to_exitcode(status), "rusage": list(usage)}


def main() -> None:
    if os.getpid() != 1:  # kill(-1) reaches all a user may signal but in a namespace of its own
        sys.exit("keeper: not PID 1 of a PID namespace of its own")
    sock = socket.socket(fileno=int(sys.argv[1]))
    sock.set_inheritable(False)
    ctypes.CDLL(None).prctl(_PR_SET_DUMPABLE, 0, 0, 0, 0)
    sock.send(b"ready")
    while True:
        message, fds, _, _ = socket.recv_fds(sock, 1 << 20, 2)
        if not message:
            return
        for fd in fds:
            os.set_inheritable(fd, False)
        sock.send(json.dumps(_run(sock, json.loads(message), fds, sys.argv[2:])).encode())


if __name__ == "__main__":
    main()

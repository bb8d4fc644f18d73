"""Running one child program with a time limit and a cap on what it prints, and always reaping it
and whatever it left behind (docs/commands.md, "Nothing left behind" and "Stopping").
"""
import contextlib
import ctypes
import dataclasses
import errno
import functools
import itertools
import json
import os
import resource
import select
import selectors
import shutil
import signal
import socket
import stat
import subprocess
import sys
import time
from typing import Callable, Iterable, List, Mapping, Optional, Sequence, Union

from ompsuite.errors import SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.platform.files import listdir

_CHUNK = 65536
_POLL_S = 0.02  # how often the child's end is looked for where pidfd_open is missing
_PR_SET_CHILD_SUBREAPER = 36  # from linux/prctl.h
_SWEEP_ROUNDS = 100  # an orphan's own children become orphans when it dies: a few rounds, bounded

Argument = Union[str, "os.PathLike[str]"]


@dataclasses.dataclass
class ChildResult:
    """What one child did: returncode negative for a signal, as in subprocess; rusage its own wait4 record
    (both None only when something else reaped it first); over_cap the stream that passed the cap, or ""."""
    argv: list[str]
    stdout: str
    stderr: str
    returncode: Optional[int]
    rusage: Optional[resource.struct_rusage]
    wall_s: float
    timed_out: bool = False
    over_cap: str = ""


def run_child(argv: Sequence[Argument], env: Optional[Mapping[str, str]] = None, timeout_s: Optional[float] = None,
              grace_s: float = 2.0, output_cap: int = 1 << 20, cwd: Optional[str] = None,
              keep_stdout: bool = True, tail: bool = False, memory_cap: Optional[int] = None) -> ChildResult:
    """Run argv (standard input /dev/null), stopped past timeout_s or output_cap bytes on a stream
    (tail: keeps the last bytes and goes on, as a build log's end says what failed). Never raises for
    what the child does; one that cannot be started is a SuiteError saying why."""
    args = [os.fspath(a) for a in argv]
    reaping = _become_subreaper()
    before = _children()
    start = time.monotonic()
    try:
        child = _Child(_start(args, env, cwd, keep_stdout, memory_cap))
    except BaseException:
        # A signal handled while Popen waits for the exec (the child may be running by then)
        # raises without handing the child over; or no file descriptor was left for it. Either
        # way the new child must not outlive this: it is found among this process's children.
        _sweep(before)
        raise
    try:
        try:
            try:
                how = child.collect(start, timeout_s, output_cap, tail)
            except BaseException:
                child.stop(grace_s)
                raise
            if how == "exited":
                child.kill_and_reap()  # leftovers of a finished program: the leader's zombie still holds the group
            else:
                child.stop(grace_s)
            wall_s = time.monotonic() - start
        finally:
            child.close()
    finally:
        if reaping:
            _sweep(before)
    return ChildResult(args, child.text("stdout"), child.text("stderr"), child.status, child.rusage,
                       wall_s, how == "timeout", child.over_cap)


def run_tool(argv: Sequence[Argument], what: str, timeout_s: float, env: Optional[Mapping[str, str]] = None,
             cwd: Optional[str] = None, output_cap: int = 1 << 20, keep_stdout: bool = True,
             tail: bool = False) -> ChildResult:
    """run_child for a helper program (docs/commands.md, "What runs"): one stopped at its limit or
    output cap is a SuiteError naming it and why. Its status and output are the caller's to judge."""
    done = run_child(argv, env=env, timeout_s=timeout_s, output_cap=output_cap, cwd=cwd,
                     keep_stdout=keep_stdout, tail=tail)
    if done.timed_out:
        raise SuiteError(f"{what} ran past its {timeout_s:g}-second limit and was stopped")
    if done.over_cap and not tail:
        mib, rest = divmod(output_cap, 1 << 20)
        size = f"{mib} MiB" if mib and not rest else f"{output_cap} bytes"
        raise SuiteError(f"{what} printed more than {size} on {done.over_cap} and was stopped")
    return done


def signal_name(signum: int) -> str:
    """SIGSEGV, SIGRTMIN+2, or "signal 99": any number a child's status can carry."""
    with contextlib.suppress(ValueError):
        return signal.Signals(signum).name
    if signal.SIGRTMIN <= signum <= signal.SIGRTMAX:
        return f"SIGRTMIN+{signum - signal.SIGRTMIN}"
    return f"signal {signum}"


class _Streams:
    """A child's standard output and error, read as they come with a cap, until end_fd (a pidfd, or
    a keeper's socket) is readable; without one, until has_exited() says so."""

    def __init__(self, streams: Mapping[str, int], end_fd: Optional[int]) -> None:
        self.over_cap = ""
        self.out = {"stdout": bytearray(), "stderr": bytearray()}
        self.end_fd = end_fd
        self.selector = selectors.DefaultSelector()
        for name, fd in streams.items():
            os.set_blocking(fd, False)
            self.selector.register(fd, selectors.EVENT_READ, name)
        if end_fd is not None:
            self.selector.register(end_fd, selectors.EVENT_READ, None)

    def has_exited(self) -> bool:
        return False

    def text(self, name: str) -> str:
        return bytes(self.out[name]).decode("utf-8", errors="replace")

    def collect(self, start: float, timeout_s: Optional[float], cap: int, tail: bool) -> str:
        """Read both streams until the child ends ("exited"), its time is up ("timeout") or a stream
        goes over the cap ("cap"). The child is left unreaped, so its group id stays its own."""
        deadline = None if timeout_s is None else start + timeout_s
        while True:
            wait = None if deadline is None else deadline - time.monotonic()
            if wait is not None and wait <= 0:
                return "timeout"
            if self.end_fd is None:
                wait = _POLL_S if wait is None else min(wait, _POLL_S)
            exited = False
            for key, _ in self.selector.select(wait):
                if key.data is None:
                    exited = True
                elif not self._read(key.fd, key.data, cap, tail):
                    return "cap"
            if exited or (self.end_fd is None and self.has_exited()):
                # All it wrote before it ended is in the pipes: take that, not waiting for a writer it left.
                for key in list(self.selector.get_map().values()):
                    if key.data is not None:
                        while self._read(key.fd, key.data, cap, tail, drain=True):
                            pass
                        if self.over_cap and not tail:
                            return "cap"
                return "exited"

    def _read(self, fd: int, name: str, cap: int, tail: bool, drain: bool = False) -> bool:
        """One read; False when it put the stream over the cap (unless tail) or (drain) found nothing."""
        try:
            data = os.read(fd, _CHUNK)
        except BlockingIOError:
            return not drain
        if not data:
            self.selector.unregister(fd)
            return not drain
        buf = self.out[name]
        if tail:
            buf += data
            if len(buf) > cap:
                del buf[:len(buf) - cap]
                self.over_cap = name
            return True
        room = cap - len(buf)
        buf += data[:max(room, 0)]
        if len(data) > room:
            self.over_cap = name
            return False
        return True


class _Child(_Streams):
    def __init__(self, proc: "subprocess.Popen[bytes]") -> None:
        self.proc = proc
        self.pid = proc.pid  # also the process group's id (start_new_session)
        self.status: Optional[int] = None
        self.rusage: Optional[resource.struct_rusage] = None
        self.reaped = False
        self.pidfd: Optional[int] = None
        with contextlib.suppress(AttributeError, OSError):  # an older kernel or Python: poll instead
            self.pidfd = os.pidfd_open(self.pid)
        super().__init__({name: f.fileno() for name, f in (("stdout", proc.stdout), ("stderr", proc.stderr)) if f},
                         self.pidfd)

    def has_exited(self) -> bool:
        """Whether the child has ended, leaving it unreaped (WNOWAIT)."""
        if self.reaped:
            return True
        with contextlib.suppress(ChildProcessError):
            return os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
        return True  # reaped by something else

    def signal_group(self, signum: int) -> None:
        if self.reaped:
            return  # the group id may belong to another process by now
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(self.pid, signum)

    def stop(self, grace_s: float) -> None:
        """SIGTERM to the group (and SIGCONT, so that a stopped child can act on it), SIGKILL after
        grace_s (or once an interruption cuts it short), then reap; a no-op once reaped."""
        try:
            self.signal_group(signal.SIGTERM)
            self.signal_group(signal.SIGCONT)
            deadline = time.monotonic() + grace_s
            while not self.has_exited() and (left := deadline - time.monotonic()) > 0:
                if self.pidfd is not None:
                    select.select([self.pidfd], [], [], left)
                else:
                    time.sleep(min(left, _POLL_S))
        finally:
            self.kill_and_reap()

    def kill_and_reap(self) -> None:
        """SIGKILL to the whole group (members that outlived the leader or ignored TERM), then reap
        the leader. An interruption meanwhile is held back until the child is reaped."""
        _held(itertools.repeat(self._kill_and_reap_once))

    def _kill_and_reap_once(self) -> bool:
        if not self.reaped:
            self.signal_group(signal.SIGKILL)
            with contextlib.suppress(ChildProcessError):  # reaped by something else: status stays None
                _, status, self.rusage = os.wait4(self.pid, 0)
                self.status = os.waitstatus_to_exitcode(status)
            self.reaped = True
            # Popen must not wait for it again (its pid may be reused) nor warn that it still runs.
            self.proc.returncode = self.status if self.status is not None else -signal.SIGKILL
        return True

    def close(self) -> None:
        self.selector.close()
        for f in (self.proc.stdout, self.proc.stderr):
            if f is not None:
                f.close()
        if self.pidfd is not None:
            os.close(self.pidfd)


def _held(steps: Iterable[Callable[[], bool]]) -> None:
    """Take steps until one returns True (or none is left). An exception meanwhile (an interruption)
    is held back until then, so that what the steps clean up is not left half done."""
    pending: Optional[BaseException] = None
    for step in steps:
        try:
            if step():
                break
        except BaseException as e:
            pending = pending or e
    if pending is not None:
        raise pending


# -- Orphans ---------------------------------------------------------------------------------------

@functools.lru_cache(maxsize=None)
def _become_subreaper() -> bool:
    """Once per process: ask Linux for the orphans of its children's trees; False where it cannot."""
    if not sys.platform.startswith("linux"):
        return False
    with contextlib.suppress(OSError, AttributeError):
        libc = ctypes.CDLL(None, use_errno=True)
        return bool(libc.prctl(_PR_SET_CHILD_SUBREAPER, ctypes.c_ulong(1), ctypes.c_ulong(0),
                               ctypes.c_ulong(0), ctypes.c_ulong(0)) == 0)
    return False


def _children() -> set[int]:
    """The pids of this process's children, living or not yet reaped."""
    found: set[int] = set()
    with contextlib.suppress(OSError, ValueError):
        for task in os.listdir("/proc/self/task"):
            with open(f"/proc/self/task/{task}/children") as f:
                found.update(int(p) for p in f.read().split())
        return found
    # A kernel without the children files: every process's parent, from its stat line.
    me = os.getpid()
    for name in listdir("/proc"):
        if name.isdigit():
            with contextlib.suppress(OSError, ValueError, IndexError), open(f"/proc/{name}/stat") as f:
                if int(f.read().rsplit(")", 1)[1].split()[1]) == me:
                    found.add(int(name))
    return found


def _sweep(before: set[int]) -> None:
    """Kill and reap every child not there before the program started (an interruption held back): the
    tools start one program at a time, so each is an orphan it left, adopted as subreaper."""
    own_group = os.getpgrp()

    def one_round() -> bool:
        orphans = _children() - before
        for pid in orphans:
            # Unreaped, the orphan holds its pid and its group's id: neither can name another process.
            with contextlib.suppress(ProcessLookupError, PermissionError):
                group = os.getpgid(pid)
                if group != own_group:
                    os.killpg(group, signal.SIGKILL)
                os.kill(pid, signal.SIGKILL)
            with contextlib.suppress(ChildProcessError):
                os.waitpid(pid, 0)
        return not orphans
    _held(one_round for _ in range(_SWEEP_ROUNDS))


# -- A kept sandbox --------------------------------------------------------------------------------

_KEEPER_SLACK_S = 5.0  # how long past a stopped program's grace the keeper may take to answer


class Kept:
    """A sandbox kept for many runs (docs/class.md, "The sandbox"), its PID 1 platform/keeper.py;
    command(fd) is the argv that starts it with its end of the socket as fd. A run the keeper cannot
    finish ends the whole sandbox; proc is None then."""

    def __init__(self, command: Callable[[int], List[str]]) -> None:
        self.sock, theirs = socket.socketpair(socket.AF_UNIX, socket.SOCK_SEQPACKET)
        with theirs:
            self.proc: Optional["subprocess.Popen[bytes]"] = _start(command(theirs.fileno()), None, None, False,
                                                                    pass_fds=(theirs.fileno(),))
        if not select.select([self.sock], [], [], 30)[0] or self.sock.recv(16) != b"ready":
            said = self.close()
            raise SuiteError(f"its keeper did not start ({printable(said or 'no answer in 30 s', 80)})")

    def run(self, argv: Sequence[str], env: Mapping[str, str], timeout_s: Optional[float], grace_s: float,
            output_cap: int) -> ChildResult:
        """run_child's ChildResult for argv in the sandbox; returncode None if the sandbox ended first."""
        out_r, out_w = os.pipe()
        err_r, err_w = os.pipe()
        streams = _Streams({"stdout": out_r, "stderr": err_r}, self.sock.fileno())
        reply: dict[str, object] = {}
        start = time.monotonic()
        try:
            try:
                request = json.dumps({"argv": list(argv), "env": dict(env), "grace_s": grace_s}).encode()
                socket.send_fds(self.sock, [request], [out_w, err_w])
            finally:
                os.close(out_w)
                os.close(err_w)
            how = streams.collect(start, timeout_s, output_cap, False)
            if how != "exited":
                self.sock.send(b"stop")
            if select.select([self.sock], [], [], None if how == "exited" else grace_s + _KEEPER_SLACK_S)[0]:
                reply = json.loads(self.sock.recv(1 << 16) or b"{}")
            wall_s = time.monotonic() - start
            if not reply:
                self.close()
        except BaseException:
            self.close()  # the sandbox ends, and all in it
            raise
        finally:
            streams.selector.close()
            os.close(out_r)
            os.close(err_r)
        if "errno" in reply:
            number = int(str(reply["errno"]))
            raise _not_started(argv[0], OSError(number, os.strerror(number)), env, None)
        usage = reply.get("rusage")
        return ChildResult(list(argv), streams.text("stdout"), streams.text("stderr"),
                           int(str(reply["status"])) if "status" in reply else None,
                           resource.struct_rusage(usage) if isinstance(usage, list) else None,
                           wall_s, how == "timeout", streams.over_cap)

    def close(self) -> str:
        """End the sandbox (its keeper ends all in it when the socket closes; killed if it does not
        within a few seconds); returns the last line it said on standard error."""
        proc, self.proc = self.proc, None
        self.sock.close()
        if proc is None:
            return ""

        def end(proc: "subprocess.Popen[bytes]", sig: Optional[int]) -> bool:
            try:
                if sig is not None:
                    os.killpg(proc.pid, sig)
                proc.wait(_KEEPER_SLACK_S)
            except subprocess.TimeoutExpired:
                return False
            except ProcessLookupError:
                pass
            return True
        try:
            _held(functools.partial(end, proc, sig) for sig in (None, signal.SIGKILL))
        finally:
            if proc.returncode is None:
                proc.wait()
            said = proc.stderr.read().decode(errors="replace").strip() if proc.stderr and proc.returncode else ""
            if proc.stderr:
                proc.stderr.close()
        return said.splitlines()[-1] if said else ""


# -- Starting --------------------------------------------------------------------------------------

def _start(argv: list[str], env: Optional[Mapping[str, str]], cwd: Optional[str], keep_stdout: bool,
           memory_cap: Optional[int] = None, pass_fds: Sequence[int] = ()) -> "subprocess.Popen[bytes]":
    limit = None if memory_cap is None else functools.partial(resource.setrlimit, resource.RLIMIT_AS,
                                                              (memory_cap, memory_cap))
    try:
        return subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL,
                                stdout=subprocess.PIPE if keep_stdout else subprocess.DEVNULL,
                                stderr=subprocess.PIPE, start_new_session=True, pass_fds=pass_fds,
                                preexec_fn=limit)
    except OSError as e:
        raise _not_started(argv[0], e, env, cwd) from None
    except ValueError:  # "embedded null byte": a NUL cannot be passed to a program
        raise SuiteError(f"cannot start {printable(argv[0])}: an argument or the environment holds a NUL "
                         "character", 2) from None


_USAGE_ERRNOS = {errno.ENOENT, errno.EACCES, errno.EPERM, errno.ENOEXEC, errno.ENOTDIR, errno.ELOOP,
                 errno.ENAMETOOLONG, errno.EISDIR, errno.E2BIG}


def _not_started(program: str, err: OSError, env: Optional[Mapping[str, str]], cwd: Optional[str]) -> SuiteError:
    """The failure to start program, its status 2 where the user named what cannot be started."""
    return SuiteError(f"cannot start {printable(program)}: {_why_not_started(program, err, env, cwd)}",
                      2 if err.errno in _USAGE_ERRNOS else 1)


def _why_not_started(program: str, err: OSError, env: Optional[Mapping[str, str]], cwd: Optional[str]) -> str:
    """An honest reason, from the error and a look at the file itself."""
    if cwd is not None and err.filename == cwd:
        return f"its working folder {printable(cwd)}: {os_reason(err)}"
    path: Optional[str]
    if os.sep in program:
        path = program if cwd is None else os.path.join(cwd, program)
    else:
        path = shutil.which(program, mode=os.F_OK, path=os.pathsep.join(os.get_exec_path(env)))
        if path is None and err.errno == errno.ENOENT:
            return "no such program on the PATH"
    if err.errno == errno.ENOENT and path is not None:
        if os.path.exists(path):  # the file is there: what is missing is what runs it
            with contextlib.suppress(OSError), open(path, "rb") as f:
                first = f.readline(256)
                if first.startswith(b"#!") and (words := first[2:].split()):
                    return f"its interpreter {printable(os.fsdecode(words[0]))} does not exist"
            return "the loader it needs does not exist"
        return "a link to a missing file" if os.path.lexists(path) else "no such file"
    if err.errno in (errno.EACCES, errno.EPERM) and path is not None:
        try:
            st = os.stat(path)
        except PermissionError:
            return "permission denied (a folder on its path cannot be searched)"
        except OSError:
            return os_reason(err)
        if stat.S_ISDIR(st.st_mode):
            return "it is a folder, not a program"
        if not stat.S_ISREG(st.st_mode):
            return "not a regular file"
        if not _has_x_bit(st):
            return "not executable"
        return "permission denied"
    return os_reason(err)


def _has_x_bit(st: os.stat_result) -> bool:
    """Whether the permission bits give us execute permission (root: any x bit)."""
    if os.geteuid() == 0:
        return bool(st.st_mode & 0o111)
    if st.st_uid == os.geteuid():
        return bool(st.st_mode & stat.S_IXUSR)
    if st.st_gid == os.getegid() or st.st_gid in os.getgroups():
        return bool(st.st_mode & stat.S_IXGRP)
    return bool(st.st_mode & stat.S_IXOTH)

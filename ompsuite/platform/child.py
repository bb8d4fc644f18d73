"""Running one child program with a time limit and a cap on what it prints, and always reaping it.

The child runs in a session (and so a process group) of its own, so that one signal reaches all
it started. That also means Ctrl-C at the terminal no longer reaches it: whatever stops the tool
while it waits (an exception from a signal handler, KeyboardInterrupt, an OSError) stops the
child's group here, TERM and then KILL after a grace period, before the exception goes on.
The child is reaped with os.wait4, which gives its own resource use; Popen.wait would reap it
without that, and getrusage(RUSAGE_CHILDREN) mixes all children ever waited for.
"""
import dataclasses
import errno
import os
import select
import selectors
import shutil
import signal
import stat
import subprocess
import time

from ompsuite.errors import SuiteError
from ompsuite.escape import printable

_CHUNK = 65536
_POLL_S = 0.02  # how often the child's end is looked for where pidfd_open is missing


@dataclasses.dataclass
class ChildResult:
    """What one child did. returncode is negative for a signal, as in subprocess (None only when
    something else reaped the child first); rusage is the child's own os.wait4 record (None then
    too). over_cap names the stream ("stdout" or "stderr") that went over the cap, else ""."""
    argv: list
    stdout: str
    stderr: str
    returncode: int
    rusage: object
    wall_s: float
    timed_out: bool = False
    over_cap: str = ""


def run_child(argv, env=None, timeout_s=None, grace_s=2.0, output_cap=1 << 20, cwd=None):
    """Run argv (standard input from /dev/null) and return a ChildResult; never raises for what
    the child does. Past timeout_s, or once a stream goes over output_cap bytes (the rest is not
    kept), the child's group gets SIGTERM, then SIGKILL after grace_s. When the child ends by
    itself, anything left in its group is killed. A child that cannot be started is a SuiteError
    saying why (no such file, not executable, permission denied, ...), status 2 for those."""
    argv = [os.fspath(a) for a in argv]
    if not argv:
        raise ValueError("run_child needs a program to run")
    if timeout_s is not None and timeout_s <= 0:
        raise ValueError("timeout_s must be positive or None")
    start = time.monotonic()
    proc = _start(argv, env, cwd)
    try:
        child = _Child(proc)
    except BaseException:  # out of file descriptors, say: the child must not outlive this
        proc.kill()
        proc.wait()
        raise
    try:
        try:
            how = child.collect(start, timeout_s, output_cap)
        except BaseException:
            child.stop(grace_s)
            raise
        if how == "exited":
            child.kill_and_reap()  # leftovers of a finished program: the leader's zombie still holds the group
        else:
            child.stop(grace_s)
    finally:
        child.close()
    return ChildResult(argv, child.text("stdout"), child.text("stderr"), child.status, child.rusage,
                       time.monotonic() - start, how == "timeout", child.over_cap)


class _Child:
    def __init__(self, proc):
        self.proc = proc
        self.pid = proc.pid  # also the process group's id (start_new_session)
        self.status = self.rusage = None
        self.reaped = False
        self.over_cap = ""
        self.out = {"stdout": bytearray(), "stderr": bytearray()}
        try:
            self.pidfd = os.pidfd_open(self.pid)
        except (AttributeError, OSError):  # an older kernel or Python: poll instead
            self.pidfd = None
        self.selector = selectors.DefaultSelector()
        for name in self.out:
            f = getattr(proc, name)
            os.set_blocking(f.fileno(), False)
            self.selector.register(f.fileno(), selectors.EVENT_READ, name)
        if self.pidfd is not None:
            self.selector.register(self.pidfd, selectors.EVENT_READ, None)

    def text(self, name):
        return bytes(self.out[name]).decode("utf-8", errors="replace")

    def collect(self, start, timeout_s, cap):
        """Read both streams until the child ends ("exited"), its time is up ("timeout") or a stream
        goes over the cap ("cap"). The child is left unreaped, so its group id stays its own."""
        deadline = None if timeout_s is None else start + timeout_s
        while True:
            wait = None if deadline is None else deadline - time.monotonic()
            if wait is not None and wait <= 0:
                return "timeout"
            if self.pidfd is None:
                wait = _POLL_S if wait is None else min(wait, _POLL_S)
            exited = False
            for key, _ in self.selector.select(wait):
                if key.data is None:
                    exited = True
                elif not self._read(key.fd, key.data, cap):
                    return "cap"
            if exited or (self.pidfd is None and self.has_exited()):
                # All the child wrote before it ended is in the pipes now: take what is there,
                # without waiting for a writer it may have left behind.
                for key in list(self.selector.get_map().values()):
                    if key.data is not None:
                        while self._read(key.fd, key.data, cap, drain=True):
                            pass
                        if self.over_cap:
                            return "cap"
                return "exited"

    def _read(self, fd, name, cap, drain=False):
        """One read; False when it put the stream over the cap or (drain) found nothing more."""
        try:
            data = os.read(fd, _CHUNK)
        except BlockingIOError:
            return not drain
        if not data:
            self.selector.unregister(fd)
            return not drain
        buf = self.out[name]
        room = cap - len(buf)
        buf += data[:max(room, 0)]
        if len(data) > room:
            self.over_cap = name
            return False
        return True

    def has_exited(self):
        """Whether the child has ended, leaving it unreaped (WNOWAIT)."""
        if self.reaped:
            return True
        try:
            return os.waitid(os.P_PID, self.pid, os.WEXITED | os.WNOHANG | os.WNOWAIT) is not None
        except ChildProcessError:
            return True

    def _wait_exit(self, timeout):
        deadline = time.monotonic() + timeout
        while not self.has_exited():
            left = deadline - time.monotonic()
            if left <= 0:
                return False
            if self.pidfd is not None:
                select.select([self.pidfd], [], [], left)
            else:
                time.sleep(min(left, _POLL_S))
        return True

    def signal_group(self, signum):
        if self.reaped:
            return  # the group id may belong to another process by now
        try:
            os.killpg(self.pid, signum)
        except (ProcessLookupError, PermissionError):
            pass

    def stop(self, grace_s):
        """SIGTERM to the group (and SIGCONT, so that a stopped child can act on it), SIGKILL after
        grace_s if the child has not ended, then reap: even when another interruption cuts the
        grace short."""
        if self.reaped:
            return
        try:
            self.signal_group(signal.SIGTERM)
            self.signal_group(signal.SIGCONT)
            self._wait_exit(grace_s)
        finally:
            self.kill_and_reap()

    def kill_and_reap(self):
        """SIGKILL to the whole group (members that outlived the leader or ignored TERM), then reap
        the leader. An interruption meanwhile is held back until the child is reaped."""
        pending = None
        while not self.reaped:
            try:
                self.signal_group(signal.SIGKILL)
                self._reap()
            except BaseException as e:
                pending = pending or e
        if pending is not None:
            raise pending

    def _reap(self):
        try:
            _, status, self.rusage = os.wait4(self.pid, 0)
            self.status = os.waitstatus_to_exitcode(status)
        except ChildProcessError:  # reaped by something else: its status is lost
            self.status = None
        self.reaped = True
        # Popen must not wait for it again (its pid may be reused) nor warn that it still runs.
        self.proc.returncode = self.status if self.status is not None else -signal.SIGKILL

    def close(self):
        self.selector.close()
        for f in (self.proc.stdout, self.proc.stderr):
            f.close()
        if self.pidfd is not None:
            os.close(self.pidfd)


def _start(argv, env, cwd):
    try:
        return subprocess.Popen(argv, env=env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, start_new_session=True)
    except OSError as e:
        status = 2 if e.errno in _USAGE_ERRNOS else 1
        raise SuiteError(f"cannot start {printable(argv[0])}: {_why_not_started(argv[0], e, env, cwd)}",
                         status) from None
    except ValueError:  # "embedded null byte": a NUL cannot be passed to a program
        raise SuiteError(f"cannot start {printable(argv[0])}: an argument or the environment holds a NUL "
                         "character", 2) from None


_USAGE_ERRNOS = {errno.ENOENT, errno.EACCES, errno.EPERM, errno.ENOEXEC, errno.ENOTDIR, errno.ELOOP,
                 errno.ENAMETOOLONG, errno.EISDIR, errno.E2BIG}


def _why_not_started(program, err, env, cwd):
    """An honest reason, from the error and a look at the file itself."""
    if cwd is not None and err.filename == cwd:
        return f"its working folder {printable(cwd)}: {_reason(err)}"
    if os.sep in program:
        path = program if cwd is None else os.path.join(cwd, program)
    else:
        path = shutil.which(program, mode=os.F_OK, path=os.pathsep.join(os.get_exec_path(env)))
        if path is None and err.errno == errno.ENOENT:
            return "no such program on the PATH"
    if err.errno == errno.ENOENT and path is not None:
        if os.path.exists(path):  # the file is there: what is missing is what runs it
            interpreter = _interpreter(path)
            return (f"its interpreter {printable(interpreter)} does not exist" if interpreter
                    else "the loader it needs does not exist")
        return "a link to a missing file" if os.path.lexists(path) else "no such file"
    if err.errno in (errno.EACCES, errno.EPERM) and path is not None:
        try:
            st = os.stat(path)
        except PermissionError:
            return "permission denied (a folder on its path cannot be searched)"
        except OSError:
            return _reason(err)
        if stat.S_ISDIR(st.st_mode):
            return "it is a folder, not a program"
        if not stat.S_ISREG(st.st_mode):
            return "not a regular file"
        if not _has_x_bit(st):
            return "not executable"
        return "permission denied"
    return _reason(err)


def _interpreter(path):
    try:
        with open(path, "rb") as f:
            first = f.readline(256)
    except OSError:
        return ""
    if not first.startswith(b"#!"):
        return ""
    words = first[2:].split()
    return os.fsdecode(words[0]) if words else ""


def _has_x_bit(st):
    """Whether the permission bits give us execute permission (root: any x bit)."""
    if os.geteuid() == 0:
        return bool(st.st_mode & 0o111)
    if st.st_uid == os.geteuid():
        return bool(st.st_mode & stat.S_IXUSR)
    if st.st_gid == os.getegid() or st.st_gid in os.getgroups():
        return bool(st.st_mode & stat.S_IXGRP)
    return bool(st.st_mode & stat.S_IXOTH)


_REASONS = {
    errno.ENOENT: "no such file", errno.EACCES: "permission denied", errno.EPERM: "permission denied",
    errno.ENOEXEC: "not a program this system can run (exec format error)",
    errno.ENOTDIR: "a part of its path is not a folder", errno.ELOOP: "a loop of symbolic links in its path",
    errno.ENAMETOOLONG: "its name is too long", errno.ETXTBSY: "it is being written (text file busy)",
    errno.E2BIG: "its arguments and environment are too long",
}


def _reason(err):
    return _REASONS.get(err.errno) or (err.strerror or str(err)).lower()

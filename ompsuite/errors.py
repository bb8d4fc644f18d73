"""The failures every layer may raise, and the words that say why the system refused something;
only the command line prints them (one line on standard error) and exits."""
import errno
import signal


class SuiteError(Exception):
    """A failure the command line reports in one line, with an exit status."""

    def __init__(self, message: str, status: int = 1) -> None:
        super().__init__(message)
        self.status = status


class Interrupted(BaseException):
    """The user (SIGINT) or the system (SIGTERM, SIGHUP, ...) asked the command to stop. Not a
    SuiteError, as KeyboardInterrupt is no Exception: no handler of a failure may swallow a stop."""

    def __init__(self, signum: int) -> None:
        super().__init__(f"interrupted by {signal.Signals(signum).name}")
        self.signum, self.status = signum, 128 + signum


class ProgramFailed(SuiteError):
    """A program of the suite (or a user's variant) exited with an error or was killed. what:
    what happened, without the program's name (a variant's failed run says it as its check)."""

    def __init__(self, message: str, status: int = 1, what: str = "") -> None:
        super().__init__(message, status)
        self.what = what or message


# One table for every message about a file or a program: the same errno reads the same everywhere.
_REASONS = {
    errno.ENOENT: "no such file or folder", errno.EACCES: "permission denied", errno.EPERM: "permission denied",
    errno.ELOOP: "a loop of symbolic links", errno.ENOTDIR: "a part of the path is not a folder",
    errno.EROFS: "read-only file system", errno.ENOSPC: "no space left on the device",
    errno.EDQUOT: "disk quota exceeded", errno.ENAMETOOLONG: "the name is too long",
    errno.EISDIR: "it is a folder", errno.EIO: "input/output error", errno.EFBIG: "file too large",
    errno.ENOEXEC: "not a program this system can run (exec format error)",
    errno.ETXTBSY: "it is being written (text file busy)",
    errno.E2BIG: "its arguments and environment are too long",
}


def os_reason(err: OSError) -> str:
    return _REASONS.get(err.errno or 0) or (err.strerror or str(err)).lower()

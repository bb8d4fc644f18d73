"""The failures every layer may raise. The command line turns them into one line on standard
error and an exit status; nothing below it prints or exits."""
import signal


class SuiteError(Exception):
    """A failure the command line reports in one line, with an exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Interrupted(SuiteError):
    """The user (SIGINT) or the system (SIGTERM, SIGHUP, ...) asked the command to stop."""

    def __init__(self, signum):
        name = signal.Signals(signum).name
        super().__init__(f"interrupted by {name}", 128 + signum)
        self.signum = signum


class ProgramFailed(SuiteError):
    """A program of the suite (or a user's variant) exited with an error or was killed."""

"""The failures the tools report in one line, with an exit status."""
import signal


class SuiteError(Exception):
    """A failure the command line reports in one line, with an exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Interrupted(SuiteError):
    """A signal (Ctrl-C, or one sent by a shell or batch system) asked the command to stop."""

    def __init__(self, signum):
        super().__init__(f"interrupted by {signal.Signals(signum).name}", 128 + signum)
        self.signum = signum

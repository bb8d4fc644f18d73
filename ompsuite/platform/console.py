"""The command-line layer's own plumbing: progress lines, signals, and the wrapper that turns
every expected failure into one line on standard error and an exit status."""
import contextlib
import io
import os
import signal
import sys
import textwrap
from typing import Callable, Optional, Protocol, Sequence

from ompsuite.errors import Interrupted, SuiteError, os_reason
from ompsuite.escape import printable
from ompsuite.platform import signals


class Job(Protocol):
    """What RunProgress needs of a planned run."""
    @property
    def program(self) -> str: ...
    @property
    def series(self) -> object: ...
    @property
    def problem_size(self) -> int: ...
    @property
    def threads(self) -> Optional[int]: ...


_live: dict[str, str] = {"line": ""}  # the progress line now shown in place on a terminal, if any


def _write(text: str) -> None:
    # Standard error closed: the message has nowhere to go, the run goes on.
    with contextlib.suppress(OSError, ValueError, AttributeError):
        sys.stderr.write(text)
        sys.stderr.flush()


def progress(message: str, wrap: bool = True) -> None:
    """One line of progress or warning on standard error (standard output holds the results), escaped;
    a line shown in place is cleared first and shown again after it."""
    message = "\n".join(wrapped(printable(line)) if wrap else printable(line) for line in message.split("\n"))
    _write(("\r\033[K" if _live["line"] else "") + message + "\n" + _live["line"])


WIDTH = 100  # every line the tools print fits a terminal this wide


def wrapped(line: str, width: int = WIDTH) -> str:
    """A long line as several that fit the width, the rest indented under the first."""
    return "\n".join(textwrap.wrap(line, width, subsequent_indent="    ", break_on_hyphens=False)) or line


def output(text: str) -> None:
    """Text for standard output, never run together with a progress line shown in place."""
    if _live["line"]:
        _write("\r\033[K")
    sys.stdout.write(text)
    sys.stdout.flush()
    _write(_live["line"])  # nothing when no line is shown


class RunProgress:
    """Where a list of runs stands, shown as docs/commands.md ("Progress") says."""

    def __init__(self, jobs: Sequence[Job], live: Optional[bool] = None) -> None:
        self.jobs = jobs
        self.live = False
        with contextlib.suppress(AttributeError, ValueError):  # standard error closed
            self.live = sys.stderr.isatty() if live is None else live
        self.times: dict[tuple[str, object, int, Optional[int]], list[float]] = {}

    @staticmethod
    def _key(job: Job) -> tuple[str, object, int, Optional[int]]:
        return job.program, job.series, job.problem_size, job.threads

    def estimate(self, k: int) -> tuple[float, int]:
        """Seconds the runs from index k on should take, from runs of the same program and size (the
        same team first), and how many have no such run yet: not guessed, a 16 GB fill is no pi run."""
        left, untimed = 0.0, 0
        for job in self.jobs[k:]:
            same = self.times.get(self._key(job)) or [
                t for key, ts in self.times.items() if (key[0], key[2]) == (job.program, job.problem_size) for t in ts]
            if same:
                left += sum(same) / len(same)
            else:
                untimed += 1
        return left, untimed

    def start(self, k: int, label: str) -> None:
        """Run number k (from 1) is starting."""
        if not self.live:
            progress(label)
            return
        left, untimed = self.estimate(k - 1)
        known = len(self.jobs) - (k - 1) - untimed
        took = f"{left:.0f} s" if left < 90 else f"{left / 60:.0f} min" if left < 5400 else f"{left / 3600:.1f} h"
        eta = f", about {took} left" if known else ""
        if known and untimed:
            eta += f" and {untimed} run{'' if untimed == 1 else 's'} not yet timed"
        _live["line"] = f"{k - 1}/{len(self.jobs)} done{eta}; now {label.split('] ', 1)[-1]}"[:99]
        _write("\r\033[K" + _live["line"])

    def done(self, k: int, seconds: float) -> None:
        self.times.setdefault(self._key(self.jobs[k - 1]), []).append(seconds)

    def close(self) -> None:
        if self.live and _live["line"]:
            _live["line"] = ""
            _write("\r\033[K")


def run_main(prog: str, main: Callable[..., Optional[int]], *args: object) -> None:
    """Run a command's main: expected failures become one line on stderr and an exit status,
    never a traceback; SIGTERM, SIGHUP and the like stop it as cleanly as Ctrl-C."""
    signals.install()
    # A terminal or pipe that cannot show a character (PYTHONIOENCODING=ascii) gets an escape.
    for stream in (sys.stdout, sys.stderr):
        with contextlib.suppress(AttributeError, ValueError, OSError):
            if isinstance(stream, io.TextIOWrapper):
                stream.reconfigure(errors="backslashreplace")
    if sys.stdout is None:  # started with standard output closed: nowhere to put the results
        print(f"{prog}: standard output is closed", file=sys.stderr)
        sys.exit(1)
    try:
        status = main(*args)
        sys.stdout.flush()
    except (SuiteError, Interrupted) as e:
        status = _failed(prog, str(e), e.status)
    except KeyboardInterrupt:  # a SIGINT that came before the handlers were in place
        status = _failed(prog, "interrupted by SIGINT", 128 + signal.SIGINT)
    except BrokenPipeError:
        status = _failed(prog, "standard output was closed (broken pipe)", 1)
    except OSError as e:  # writing a result failed (a full disk, say): say so, never a traceback
        status = _failed(prog, f"cannot write {printable(e.filename) if e.filename else 'standard output'}: "
                               f"{os_reason(e)}", 1)
    signals.ignore()
    sys.exit(status)


def _failed(prog: str, message: str, status: int) -> int:
    """The failure said as the tool's last words; status back, for its exit."""
    # Whatever was left in stdout's buffer may belong to a closed pipe: drop it quietly.
    with contextlib.suppress(OSError):
        sys.stdout.flush()
    with contextlib.suppress(OSError):
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    progress(f"{prog}: {message}", wrap=False)  # a failure is one line, whatever it quotes
    return status

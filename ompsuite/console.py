"""The command-line layer's own plumbing: progress lines, signals, and the wrapper that turns
every expected failure into one line on standard error and an exit status."""
import os
import signal
import sys

from .errors import Interrupted, SuiteError


def progress(message):
    """One line of progress or warning on standard error (never standard output: that holds
    the results, and may be a pipe to another tool)."""
    try:
        print(message, file=sys.stderr, flush=True)
    except (OSError, ValueError, AttributeError):
        pass  # standard error closed: the message has nowhere to go, the run goes on


def _raise_interrupted(signum, _frame):
    raise Interrupted(signum)


def run_main(prog, main, *args):
    """Run a command's main: expected failures become one line on stderr and an exit status,
    never a traceback. SIGTERM and SIGHUP are turned into the same clean stop as Ctrl-C."""
    for signum in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(signum, _raise_interrupted)
    if sys.stdout is None:  # started with standard output closed: nowhere to put the results
        print(f"{prog}: standard output is closed", file=sys.stderr)
        sys.exit(1)
    try:
        status = main(*args)
        sys.stdout.flush()
    except SuiteError as e:
        status = e.status
        _last_words(prog, str(e))
    except KeyboardInterrupt:
        status = 128 + signal.SIGINT
        _last_words(prog, "interrupted by SIGINT")
    except BrokenPipeError:
        status = 1
        _last_words(prog, "standard output was closed (broken pipe)")
    except OSError as e:  # writing a result failed (a full disk, say): say so, never a traceback
        status = 1
        _last_words(prog, f"cannot write {e.filename or 'standard output'}: {e.strerror or e}")
    sys.exit(status)


def _last_words(prog, message):
    # Whatever was left in stdout's buffer may belong to a closed pipe: drop it quietly.
    try:
        sys.stdout.flush()
    except OSError:
        pass
    try:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
    except OSError:
        pass
    progress(f"{prog}: {message}")

"""What every command shares: option types, progress lines, signals and the error wrapper."""
import argparse
import os
import signal
import sys


MAX_THREADS = 4096  # the largest team the calibration measures


class SuiteError(Exception):
    """A failure the command line reports in one line, with an exit status."""

    def __init__(self, message, status=1):
        super().__init__(message)
        self.status = status


class Interrupted(SuiteError):
    """The user (SIGINT) or the system (SIGTERM, SIGHUP) asked the command to stop."""

    def __init__(self, signum):
        name = signal.Signals(signum).name
        super().__init__(f"interrupted by {name}", 128 + signum)
        self.signum = signum


def _raise_interrupted(signum, _frame):
    raise Interrupted(signum)


def whole_number(text, low=1, high=None):
    """argparse type: a whole number (1e8 and 100000000 alike) within low .. high."""
    try:
        value = float(text) if any(c in text for c in ".eE") else int(text)
        if value != int(value):
            raise ValueError
        value = int(value)
    except (ValueError, OverflowError):
        raise argparse.ArgumentTypeError(f"'{text}' is not a whole number") from None
    if value < low:
        raise argparse.ArgumentTypeError(f"must be at least {low}, got {value}")
    if high is not None and value > high:
        raise argparse.ArgumentTypeError(f"must be at most {high}, got {value}")
    return value


def count_option(low=1, high=None):
    return lambda text: whole_number(text, low, high)


def thread_list(text):
    """argparse type: comma-separated thread counts, each at least 1; sorted, no repeats."""
    try:
        counts = [int(t) for t in text.split(",")]
    except ValueError:
        raise argparse.ArgumentTypeError(f"'{text}' is not a comma-separated list of thread counts") from None
    if min(counts) < 1 or max(counts) > MAX_THREADS:
        raise argparse.ArgumentTypeError(f"thread counts must be from 1 to {MAX_THREADS}, got '{text}'")
    return sorted(set(counts))


def default_threads():
    """1, 2, 4, ... up to the processor count, and the processor count itself."""
    cores = os.cpu_count() or 1
    counts, t = [], 1
    while t <= cores:
        counts.append(t)
        t *= 2
    return sorted(set(counts + [cores]))


def progress(message):
    print(message, file=sys.stderr, flush=True)


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
    print(f"{prog}: {message}", file=sys.stderr, flush=True)

"""The signals that stop a job made one clean stop (docs/commands.md, "Stopping"): after install(),
the first raises Interrupted(signum) in the main thread; those after it, or inside shielded(), are
only recorded, as batch systems send them in bursts."""
import signal
from types import FrameType
from typing import Callable, Iterable, Literal, Optional, Union

from ompsuite.errors import Interrupted

Handler = Union[Callable[[int, Optional[FrameType]], object], int, signal.Handlers, None]

# Who sends each: docs/commands.md, "Stopping".
STOP_SIGNALS = (signal.SIGTERM, signal.SIGHUP, signal.SIGINT, signal.SIGQUIT, signal.SIGUSR1, signal.SIGUSR2,
                signal.SIGALRM, signal.SIGXCPU)


class _State:
    exception: Callable[[int], BaseException] = Interrupted
    stopping: Optional[int] = None  # the signal that raised, once one has
    depth = 0                       # shielded() blocks open
    received: list[int] = []        # signals that did not raise, in order


_state = _State()


def install(handler_exception: Callable[[int], BaseException] = Interrupted,
            signals: Iterable[int] = STOP_SIGNALS) -> dict[int, Handler]:
    """Make each of signals raise handler_exception(signum), the first time, but one ignored as the
    tool started (nohup); returns the handlers it replaced, for restore(). A second call starts afresh."""
    _state.exception, _state.stopping, _state.depth, _state.received = handler_exception, None, 0, []
    previous: dict[int, Handler] = {s: h for s in signals if (h := signal.getsignal(s)) != signal.SIG_IGN}
    for signum in previous:
        signal.signal(signum, _handler)
    return previous


def restore(previous: dict[int, Handler]) -> None:
    """Put back the handlers install() returned."""
    for signum, handler in previous.items():
        signal.signal(signum, handler)


def ignore(signals: Iterable[int] = STOP_SIGNALS) -> None:
    """Ignore signals from now on. For the tool's last moment, once it has said its last words:
    the interpreter's shutdown puts the default handlers back, and a late signal of a burst would
    then end the tool by that signal instead of with its exit status."""
    for signum in signals:
        signal.signal(signum, signal.SIG_IGN)


def _handler(signum: int, _frame: Optional[FrameType]) -> None:
    if _state.depth or _state.stopping is not None:
        _state.received.append(signum)
        return
    _state.stopping = signum
    raise _state.exception(signum)


class shielded:
    """with shielded() as shield: a block signals cannot cut short; shield.signals lists those that
    came. The first then raises when the block ends normally outside a stop, so that it is not lost;
    otherwise none raises: the caller reports them."""

    signals: list[int]

    def __enter__(self) -> "shielded":
        self.signals = []
        self._start = len(_state.received)
        _state.depth += 1
        return self

    def __exit__(self, exc_type: Optional[type[BaseException]], *_: object) -> Literal[False]:
        _state.depth -= 1
        self.signals = _state.received[self._start:]
        if self.signals and exc_type is None and _state.depth == 0 and _state.stopping is None:
            _state.stopping = self.signals[0]
            del _state.received[self._start]  # it raises now, so it is no longer one that did not
            raise _state.exception(self.signals[0])
        return False

    @property
    def names(self) -> list[str]:
        return [signal.Signals(s).name for s in self.signals]

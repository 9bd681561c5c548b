"""SIGINT and SIGTERM held back while the package's own code runs."""

import _thread
import signal
import sys
import threading
from types import FrameType
from typing import Any, Callable, Optional

# The signals that end a program by an exception raised in its main thread.
# SIGINT, which comes in storms, is put back last.
_INTERRUPTS = (signal.SIGTERM, signal.SIGINT)


class Interrupts:
    """SIGINT and SIGTERM, held back while a given frame runs.

    For the `with` block, a handler of its own takes the place of each one
    that is a Python function. It records the signal while `frame` is on the
    stack, or after `settle(keep=True)`, and otherwise hands it on at once.
    `release()` hands on what was recorded; `release(covered=lines)` also
    hands on what comes while the frame stands on one of `lines`, until
    `hold()`: lines whose failure the frame's cleanup covers. Leaving the
    block puts the handlers back and does the same, unless `settle` was
    called.

    The handler decides, not a flag set on the way in: a pending handler runs
    at any call, and on entering an `except` clause (3.10), before any line
    could set one. Python runs signal handlers in the main thread only,
    whichever thread the signal reached, and only there can they raise, so
    nothing is held, or needs to be, in another thread. A signal ignored or
    left to its default action is not touched.
    """

    def __init__(self, frame: FrameType) -> None:
        self._frame = frame
        self._previous: dict[int, Callable[[int, Any], Any]] = {}
        self._caught: list[int] = []
        self._settled = False
        self._kept = False
        self._ended = False
        self._covered: tuple[int, ...] = ()

    def __enter__(self) -> "Interrupts":
        if threading.current_thread() is threading.main_thread():
            try:
                for signum in _INTERRUPTS:
                    handler = signal.getsignal(signum)
                    if callable(handler):
                        self._previous[signum] = handler
                        try:
                            signal.signal(signum, self._handle)
                        except ValueError:  # the main thread of another interpreter
                            del self._previous[signum]
                            break
            except BaseException:  # raised by the handler of a signal pending before
                self.__exit__(*sys.exc_info())
                raise
        return self

    def _handle(self, signum: int, frame: Optional[FrameType]) -> None:
        running = frame
        while running is not None and running is not self._frame:
            running = running.f_back
        if self._kept or (running is not None and running.f_lineno not in self._covered):
            self._caught.append(signum)
        else:
            self._caught.clear()  # outrun by this one
            self._previous[signum](signum, frame)

    def _restored(self, signum: int) -> Callable[[int, Any], Any]:
        """The handler to put back: the one found on entry, or, where that is
        a block's that ended first (blocks left out of order), that block's."""
        handler = self._previous[signum]
        owner = getattr(handler, "__self__", None)
        while isinstance(owner, Interrupts) and owner._ended:
            handler = owner._previous[signum]
            owner = getattr(handler, "__self__", None)
        return handler

    def release(self, *, covered: tuple[int, ...] = ()) -> None:
        """Hands each signal recorded to its handler now, and those that come
        while the frame stands on one of the `covered` lines, until `hold()`."""
        self._covered = covered
        caught, self._caught = self._caught, []
        for signum in dict.fromkeys(caught):
            self._previous[signum](signum, None)

    def hold(self) -> None:
        """Records signals again while the frame runs."""
        self._covered = ()

    def settle(self, *, keep: bool = False) -> None:
        """The outcome is known: what is recorded is dropped when the block
        ends, or, with `keep`, held for the life of the process."""
        self._settled = True
        self._kept = keep

    def __exit__(self, exc_type: Optional[type[BaseException]], *exc_info: object) -> None:
        if self._kept:
            return
        try:
            self._ended = True
            for signum in self._previous:
                # A handler the caller put in place meanwhile stays.
                if signal.getsignal(signum) == self._handle:
                    signal.signal(signum, self._restored(signum))
        finally:
            if self._settled:
                self._caught.clear()
            if exc_type is GeneratorExit:
                # Closed by the collector, perhaps, where nothing can be
                # raised: the signals are raised again, to be handled later.
                for signum in dict.fromkeys(self._caught):
                    _thread.interrupt_main(signal.Signals(signum))
                self._caught.clear()
            self.release()

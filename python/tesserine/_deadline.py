"""The budget of one render: its limits, its deadline, and the part being rendered.

The budget lives in a context variable, so that renders in several threads, and a render
started from inside another one, each keep their own.
"""

from __future__ import annotations

import signal
import sys
import threading
import time
from collections.abc import Iterator
from contextlib import contextmanager
from contextvars import ContextVar
from dataclasses import dataclass
from types import FrameType

from ._errors import RenderTimeoutError
from ._limits import DEFAULT_LIMITS, Limits


@dataclass
class Budget:
    limits: Limits
    #: time.monotonic() past which the render stops; None for no limit.
    deadline: float | None
    #: The part being rendered, for messages.
    part: str = ""
    #: False once the render is over, so that a late alarm does nothing.
    running: bool = True

    @property
    def max_output(self) -> int:
        limit = self.limits.max_output_size
        return sys.maxsize if limit is None else limit

    def expired(self) -> RenderTimeoutError:
        return RenderTimeoutError(f"{self.part}: ran out of time after {self.limits.timeout:g} seconds")

    def check(self) -> None:
        if self.deadline is not None and time.monotonic() >= self.deadline:
            raise self.expired()


_current: ContextVar[Budget | None] = ContextVar("tesserine_render_budget", default=None)


def current() -> Budget:
    """The budget of the render in progress; outside a render, the default limits and no deadline."""
    # A budget of its own each time: callers record the part they work on in it.
    return _current.get() or Budget(DEFAULT_LIMITS, None, running=False)


def _alarm_is_free() -> bool:
    # The timer and the handler are process-wide: use them only where nobody else does.
    return (
        hasattr(signal, "setitimer")
        and threading.current_thread() is threading.main_thread()
        and signal.getsignal(signal.SIGALRM) == signal.SIG_DFL
        and signal.getitimer(signal.ITIMER_REAL) == (0.0, 0.0)
    )


@contextmanager
def _backstop(budget: Budget, seconds: float) -> Iterator[None]:
    """Raise the timeout inside the interpreter when the deadline passes, wherever the
    template is: cooperative checks cannot see a loop that calls nothing of ours."""

    def on_alarm(signum: int, frame: FrameType | None) -> None:
        if budget.running:
            raise budget.expired()

    signal.signal(signal.SIGALRM, on_alarm)
    signal.setitimer(signal.ITIMER_REAL, max(seconds, 1e-6))
    try:
        yield
    finally:
        # The alarm may still arrive while this block runs: the flag makes it harmless
        # from here on, and the timer is off before the default action (ending the
        # process) is back.
        try:
            budget.running = False
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, signal.SIG_DFL)


@contextmanager
def render_budget(limits: Limits) -> Iterator[Budget]:
    """The budget of one render() call, current for its duration."""
    timeout = limits.timeout
    budget = Budget(limits, None if timeout is None else time.monotonic() + timeout)
    token = _current.set(budget)
    try:
        if timeout is not None and _alarm_is_free():
            with _backstop(budget, timeout):
                yield budget
        else:
            yield budget
    finally:
        budget.running = False
        _current.reset(token)

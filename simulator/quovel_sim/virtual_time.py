"""An asyncio event loop whose clock jumps ahead instead of waiting.

Timeouts, back-offs and delays in code under test (its own, bleak's,
bleak-retry-connector's) then cost no wall-clock time, and a run is
deterministic: ``loop.time()`` only moves when every task is waiting.
"""

from __future__ import annotations

import asyncio
import selectors
from collections.abc import Coroutine
from typing import Any, TypeVar

T = TypeVar("T")


class VirtualTimeLoop(asyncio.SelectorEventLoop):
    """A selector loop that advances its clock to the next timer when idle.

    Sockets and pipes still work (they are polled without waiting), so a
    thread calling ``call_soon_threadsafe`` still wakes it. ``max_time``
    stops a run whose only remaining work is timers that never end it.
    """

    def __init__(self, start: float = 0.0, max_time: float = 10.0**7) -> None:
        self._virtual_now = start
        self._max_time = max_time
        super().__init__(_SkippingSelector(self))

    def time(self) -> float:
        return self._virtual_now

    def _advance(self, seconds: float) -> None:
        self._virtual_now += seconds
        if self._virtual_now > self._max_time:
            raise RuntimeError(f"virtual time passed {self._max_time} s: something waits for an event that never comes")


class _SkippingSelector(selectors.DefaultSelector):
    def __init__(self, loop: VirtualTimeLoop) -> None:
        super().__init__()
        self._loop = loop

    def select(self, timeout: float | None = None) -> list[tuple[selectors.SelectorKey, int]]:
        ready = super().select(0)
        if ready or timeout == 0:
            return ready
        if timeout is None:
            # No timer at all: only another thread can make progress.
            return super().select(None)
        self._loop._advance(timeout)
        return []


def run(main: Coroutine[Any, Any, T]) -> T:
    """``asyncio.run(main)`` on a :class:`VirtualTimeLoop`."""
    return asyncio.run(main, loop_factory=VirtualTimeLoop)

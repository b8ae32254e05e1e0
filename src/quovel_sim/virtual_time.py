"""An asyncio event loop whose clock jumps ahead instead of waiting.

Timeouts, back-offs and delays in code under test (its own, bleak's,
bleak-retry-connector's) then cost no wall-clock time, and a run is
deterministic: ``loop.time()`` only moves when every task is waiting.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import selectors
from collections.abc import Callable, Coroutine
from typing import Any, TypeVar, TypeVarTuple

T = TypeVar("T")
Ts = TypeVarTuple("Ts")


class VirtualTimeLoop(asyncio.SelectorEventLoop):
    """A selector loop that advances its clock to the next timer when idle.

    Sockets and pipes still work (they are polled without waiting), so a
    thread calling ``call_soon_threadsafe`` still wakes it; while a job given
    to ``run_in_executor`` runs, the loop waits for it in real time instead
    of skipping ahead. ``max_time`` stops a run whose only remaining work is
    timers that never end it.
    """

    def __init__(self, start: float = 0.0, max_time: float = 10.0**7) -> None:
        self._virtual_now = start
        self._max_time = max_time
        self._executor_jobs = 0
        super().__init__(_SkippingSelector(self))

    def run_in_executor(
        self, executor: concurrent.futures.Executor | None, func: Callable[[*Ts], T], *args: *Ts
    ) -> asyncio.Future[T]:
        future = super().run_in_executor(executor, func, *args)
        self._executor_jobs += 1
        future.add_done_callback(self._executor_job_done)
        return future

    def _executor_job_done(self, _future: asyncio.Future[Any]) -> None:
        self._executor_jobs -= 1

    async def shutdown_default_executor(self, timeout: float | None = None) -> None:
        # Its threads are joined in real time too.
        self._executor_jobs += 1
        try:
            await super().shutdown_default_executor(timeout)
        finally:
            self._executor_jobs -= 1

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
        if timeout is None or self._loop._executor_jobs:
            # No timer at all, or a thread at work: only it can make progress.
            return super().select(timeout)
        self._loop._advance(timeout)
        return []


def run(main: Coroutine[Any, Any, T]) -> T:
    """``asyncio.run(main)`` on a :class:`VirtualTimeLoop`."""
    return asyncio.run(main, loop_factory=VirtualTimeLoop)

"""Connection slots shared as one pool by the locks of a process.

A Bluetooth adapter or proxy can hold only a few links at once (a proxy
commonly 3). :class:`SlotPool` keeps the clients given it from squandering
them: a call that needs a connection and finds every slot that can reach its
lock busy lets go at once of every link held idle on those slots, then waits
until a slot frees, woken by the change itself (the host's allocation report,
or a link of this process going down), never on a fixed rhythm; its deadline
bounds the wait. A freed slot goes to one waiter, in the order they came:
connects already granted count against the free slots until the host shows
them. With nobody waiting, links are held as ``Timing.hold_link`` says.

Two ways to know the slots:

- ``SlotPool(limit=N)``: this process is alone on one adapter with N slots
  and counts its own links (connecting, in use, held, going down).
- ``SlotPool(source=...)``: the host reports slots per adapter or proxy
  (a :class:`SlotSource`; Home Assistant's Bluetooth stack does).
"""

from __future__ import annotations

import asyncio
from collections.abc import Callable, Collection, Sequence
from typing import Protocol

__all__ = ["SlotPool", "SlotSource"]

_ADAPTER = "adapter"
# After the stack refused a slot the count said was free, and nothing has
# changed since: ask again after bleak-retry-connector's own back-off for a
# missing slot, as without a pool (another program may hold the slot).
RECHECK_AFTER_REFUSAL = 4.0


class SlotSource(Protocol):
    """What a host tells the pool about its adapters and proxies.

    A source may also offer ``allocated(source) -> Collection[str] | None``:
    the addresses holding a slot of ``source`` (connecting or connected),
    upper case, or None when it does not say. With it the pool counts a
    granted connection only until the host shows it, and lets go only the
    idle links on the sources a waiter needs; without it, a granted
    connection counts until it is made, and an idle link is taken to occupy
    every source that can reach its lock.
    """

    def sources_for(self, address: str) -> Sequence[str]:
        """The adapters or proxies that can connect to ``address`` now."""
        ...

    def free_slots(self, source: str) -> int | None:
        """Free connection slots of ``source``; None when unknown (never waited on)."""
        ...

    def subscribe(self, callback: Callable[[], None]) -> Callable[[], None]:
        """Call ``callback`` whenever allocations change; returns what unsubscribes."""
        ...


class _Counted:
    """One adapter with ``limit`` slots, counted from this process's own links."""

    def __init__(self, limit: int) -> None:
        self.limit = limit
        self.holders: dict[SlotTicket, str] = {}

    def sources_for(self, address: str) -> Sequence[str]:
        return (_ADAPTER,)

    def free_slots(self, source: str) -> int | None:
        return self.limit - len(self.holders)

    def allocated(self, source: str) -> Collection[str] | None:
        return set(self.holders.values())

    def subscribe(self, callback: Callable[[], None]) -> Callable[[], None]:
        # The pool hears of its own links going down without being told.
        return lambda: None


class _Waiter:
    __slots__ = ("address", "after", "granted", "sources", "ticket")

    def __init__(self, address: str, sources: Sequence[str], after: int) -> None:
        self.address = address
        self.sources = sources
        # A waiter refused by the stack is granted nothing before the next change.
        self.after = after
        self.granted: asyncio.Future[None] = asyncio.get_running_loop().create_future()
        self.ticket: SlotTicket | None = None


class SlotTicket:
    """One connection's claim on a slot, from the grant until the link is down."""

    __slots__ = ("_closed", "_idle_release", "_pool", "_sources", "address", "connected")

    def __init__(self, pool: SlotPool, address: str, sources: Sequence[str]) -> None:
        self._pool = pool
        self.address = address
        self._sources = sources
        self.connected = False
        self._closed = False
        self._idle_release: Callable[[], None] | None = None

    def hold(self, release: Callable[[], None]) -> None:
        """The link is held idle; ``release`` lets it go (called when another lock waits)."""
        self._idle_release = release

    def busy(self) -> None:
        """The link is in use again."""
        self._idle_release = None

    def wanted(self) -> bool:
        """Whether a call waits for a slot this link could give back."""
        return self._pool._wanted(self)

    def close(self) -> None:
        """The connection failed or the link is down: the slot is free again."""
        if not self._closed:
            self._closed = True
            self._idle_release = None
            self._pool._closed(self)


class SlotPool:
    """Connection slots shared by the LockClients given it (one per adapter set / per Home Assistant)."""

    def __init__(self, limit: int | None = None, *, source: SlotSource | None = None) -> None:
        if (limit is None) == (source is None):
            raise ValueError("a SlotPool needs either a limit or a source")
        if limit is not None and limit < 1:
            raise ValueError(f"a connection limit must be at least 1, not {limit}")
        self._counted = _Counted(limit) if limit is not None else None
        self._source: SlotSource = self._counted if self._counted is not None else source  # type: ignore[assignment]
        self._allocated: Callable[[str], Collection[str] | None] = getattr(
            self._source, "allocated", lambda _source: None
        )
        self._waiters: list[_Waiter] = []
        self._tickets: set[SlotTicket] = set()
        self._changes = 0
        self._unsubscribe: Callable[[], None] | None = None

    def __repr__(self) -> str:
        if self._counted is not None:
            return f"SlotPool(limit={self._counted.limit})"
        return f"SlotPool(source={self._source!r})"

    @property
    def waiting(self) -> int:
        """Calls waiting for a slot now."""
        return len(self._waiters)

    async def acquire(self, address: str, *, refused: bool = False) -> SlotTicket:
        """A slot that can reach ``address``: at once if one is free (or the host
        cannot tell), else when one frees. ``refused``: the stack just said no
        slot though one seemed free, so wait for the next change first (or
        ``RECHECK_AFTER_REFUSAL`` seconds, when nothing changes).
        Bound it with a timeout; ``busy_sources`` says what it waited on."""
        address = address.upper()
        sources = tuple(self._source.sources_for(address))
        waiter = _Waiter(address, sources, self._changes + 1 if refused else 0)
        self._waiters.append(waiter)
        self._watch()
        recheck = (
            asyncio.get_running_loop().call_later(RECHECK_AFTER_REFUSAL, self._recheck, waiter) if refused else None
        )
        try:
            self._pump()
            if not waiter.granted.done():
                self._release_idle(sources)
                self._pump()
            await waiter.granted
        except BaseException:
            if waiter.ticket is not None:
                # Granted as it was given up: the slot goes back.
                waiter.ticket.close()
            raise
        finally:
            if recheck is not None:
                recheck.cancel()
            if waiter in self._waiters:
                self._waiters.remove(waiter)
            self._watch()
        assert waiter.ticket is not None
        return waiter.ticket

    def busy_sources(self, address: str) -> list[str]:
        """The adapters or proxies that could reach ``address``, for messages."""
        return list(self._source.sources_for(address.upper()))

    # The pool's own bookkeeping.

    def _watch(self) -> None:
        """Listen to the host only while a call waits."""
        if self._waiters and self._unsubscribe is None:
            self._unsubscribe = self._source.subscribe(self._changed)
        elif not self._waiters and self._unsubscribe is not None:
            self._unsubscribe()
            self._unsubscribe = None

    def _recheck(self, waiter: _Waiter) -> None:
        waiter.after = 0
        self._pump()

    def _changed(self) -> None:
        self._changes += 1
        self._pump()

    def _closed(self, ticket: SlotTicket) -> None:
        self._tickets.discard(ticket)
        if self._counted is not None:
            self._counted.holders.pop(ticket, None)
        self._changed()

    def _free(self) -> dict[str, int] | None:
        """Free slots per known source after the grants the host does not show yet."""
        free: dict[str, int] = {}
        for ticket in self._tickets:
            for source in ticket._sources:
                free.setdefault(source, 0)
        for waiter in self._waiters:
            for source in waiter.sources:
                free.setdefault(source, 0)
        for source in list(free):
            slots = self._source.free_slots(source)
            if slots is None:
                del free[source]
            else:
                free[source] = slots
        if self._counted is not None:
            return free
        for ticket in self._tickets:
            if self._shown(ticket):
                continue
            candidates = [s for s in ticket._sources if s in free]
            if candidates:
                best = max(candidates, key=free.__getitem__)
                free[best] -= 1
        return free

    def _shown(self, ticket: SlotTicket) -> bool:
        """Whether the host already counts this connection in its allocations."""
        unknown = True
        for source in ticket._sources:
            allocated = self._allocated(source)
            if allocated is None:
                continue
            unknown = False
            if ticket.address in allocated:
                return True
        # A host that lists nothing shows a connection once it is made.
        return unknown and ticket.connected

    def _pump(self) -> None:
        """Grant free slots to waiters, first come first served."""
        if not self._waiters:
            return
        free = self._free()
        assert free is not None
        for waiter in list(self._waiters):
            if waiter.granted.done() or waiter.after > self._changes:
                continue
            known = [s for s in waiter.sources if s in free]
            if waiter.sources and len(known) < len(waiter.sources):
                self._grant(waiter)  # a source that cannot tell is never waited on
                continue
            if not waiter.sources:
                self._grant(waiter)  # nothing can reach it: connecting says why
                continue
            best = max(known, key=free.__getitem__)
            if free[best] > 0:
                free[best] -= 1
                self._grant(waiter)

    def _grant(self, waiter: _Waiter) -> None:
        ticket = waiter.ticket = SlotTicket(self, waiter.address, waiter.sources)
        self._tickets.add(ticket)
        if self._counted is not None:
            self._counted.holders[ticket] = waiter.address
        waiter.granted.set_result(None)

    def _holding(self, ticket: SlotTicket) -> Sequence[str]:
        """The sources a connection occupies (all that could carry it, when the host does not say)."""
        held = []
        for source in ticket._sources:
            allocated = self._allocated(source)
            if allocated is not None and ticket.address in allocated:
                held.append(source)
        return held or ticket._sources

    def _wanted(self, ticket: SlotTicket) -> bool:
        holding = set(self._holding(ticket))
        return any(not w.granted.done() and holding.intersection(w.sources) for w in self._waiters)

    def _release_idle(self, sources: Sequence[str]) -> None:
        """Let go every link held idle on these sources: a call waits for a slot."""
        wanted = set(sources)
        for ticket in list(self._tickets):
            release = ticket._idle_release
            if release is not None and wanted.intersection(self._holding(ticket)):
                ticket._idle_release = None
                release()
